#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "platform/FileUtils.h"

namespace platform {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view trim(std::string_view s) {
  size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

struct Line {
  size_t begin = 0;  // first byte of the content
  size_t end = 0;    // past the content, before "\r\n" or "\n"
  size_t next = 0;   // first byte of the following line
  bool hasNewline = false;
};

// Walks the lines of a text; the first line starts after a UTF-8 mark.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {
    if (text_.substr(0, kUtf8Bom.size()) == kUtf8Bom) pos_ = kUtf8Bom.size();
  }

  bool next(Line& line) {
    if (pos_ >= text_.size()) return false;
    line.begin = pos_;
    size_t nl = text_.find('\n', pos_);
    line.hasNewline = nl != std::string_view::npos;
    line.end = line.hasNewline ? nl : text_.size();
    line.next = line.hasNewline ? nl + 1 : text_.size();
    if (line.end > line.begin && text_[line.end - 1] == '\r') --line.end;
    pos_ = line.next;
    return true;
  }

  std::string_view content(const Line& line) const { return text_.substr(line.begin, line.end - line.begin); }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

enum class Kind { Blank, Other, Section, Key };

struct Parsed {
  Kind kind = Kind::Other;
  std::string_view name;
  std::string_view value;
};

Parsed classify(std::string_view line) {
  Parsed p;
  if (line.size() > kMaxProfileLine) return p;
  std::string_view t = trim(line);
  if (t.empty()) {
    p.kind = Kind::Blank;
  } else if (t.front() == '[') {
    t.remove_prefix(1);
    p.kind = Kind::Section;
    p.name = trim(t.substr(0, t.find(']')));
  } else if (t.front() != ';' && t.front() != '#') {
    size_t eq = t.find('=');
    if (eq != std::string_view::npos && eq > 0) {
      p.kind = Kind::Key;
      p.name = trim(t.substr(0, eq));
      p.value = trim(t.substr(eq + 1));
    }
  }
  return p;
}

bool hasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool writableSection(std::string_view section) {
  return !section.empty() && !hasLineBreak(section) && section.find(']') == std::string_view::npos &&
         section.size() + 2 <= kMaxProfileLine;
}

bool writableEntry(std::string_view key, std::string_view value) {
  if (key.empty() || hasLineBreak(key) || hasLineBreak(value)) return false;
  if (key.find('=') != std::string_view::npos) return false;
  if (key.front() == '[' || key.front() == ';' || key.front() == '#') return false;
  return key.size() + 1 + value.size() <= kMaxProfileLine;
}

std::string lineEndingOf(std::string_view text) {
  size_t nl = text.find('\n');
  return (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') ? "\r\n" : "\n";
}

// One key; section and key are already trimmed and checked.
std::string setOne(std::string_view text, std::string_view section, std::string_view key, std::string_view value) {
  const std::string eol = lineEndingOf(text);
  std::string entry;
  entry.append(key).append("=").append(value);

  LineReader reader(text);
  Line line;
  bool inMatch = false;
  bool inFirstMatch = false;
  bool sectionSeen = false;
  size_t insertAt = 0;
  bool insertNeedsNewline = false;
  while (reader.next(line)) {
    Parsed p = classify(reader.content(line));
    if (p.kind == Kind::Section) {
      bool match = sameName(p.name, section);
      inFirstMatch = match && !sectionSeen;
      sectionSeen = sectionSeen || match;
      inMatch = match;
    } else if (p.kind == Kind::Key && inMatch && sameName(p.name, key)) {
      std::string out(text.substr(0, line.begin));
      out += entry;
      out.append(text.substr(line.end));
      return out;
    }
    if (inFirstMatch && p.kind != Kind::Blank) {
      insertAt = line.next;
      insertNeedsNewline = !line.hasNewline;
    }
  }

  std::string out;
  if (sectionSeen) {
    out.assign(text.substr(0, insertAt));
    if (insertNeedsNewline) out += eol;
    out += entry + eol;
    out.append(text.substr(insertAt));
    return out;
  }
  out.assign(text);
  if (!out.empty()) {
    if (out.back() != '\n') out += eol;
    out += eol;
  }
  out.append("[").append(section).append("]").append(eol);
  out += entry + eol;
  return out;
}

enum class Load { Ok, Missing, Failed };

// Reads at most kMaxProfileFile bytes of a regular file. For a write the whole
// file must fit; for a read a longer file is cut after its last whole line.
Load loadFile(const std::string& path, std::string& text, bool forWrite) {
  if (!readFilePrefix(path, kMaxProfileFile, text)) return errno == ENOENT ? Load::Missing : Load::Failed;
  if (text.size() > kMaxProfileFile) {
    if (forWrite) return Load::Failed;
    text.resize(kMaxProfileFile);
    size_t lastNl = text.rfind('\n');
    text.resize(lastNl == std::string::npos ? 0 : lastNl + 1);
  }
  return Load::Ok;
}

// A settings file that is a symbolic link stays one: the write goes to its target.
std::string writeTarget(const std::string& file) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(file.c_str(), nullptr)) {
      std::string out(real);
      std::free(real);
      return out;
    }
  }
  return file;
}

std::mutex& writeMutex() {
  static std::mutex m;  // serialises read-modify-write of every profile file
  return m;
}

}  // namespace

std::optional<std::string> findProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  section = trim(section);
  key = trim(key);
  if (section.empty() || key.empty()) return std::nullopt;
  LineReader reader(text);
  Line line;
  bool inMatch = false;
  while (reader.next(line)) {
    Parsed p = classify(reader.content(line));
    if (p.kind == Kind::Section) {
      inMatch = sameName(p.name, section);
    } else if (p.kind == Kind::Key && inMatch && sameName(p.name, key)) {
      return std::string(unquote(p.value));
    }
  }
  return std::nullopt;
}

std::optional<std::string> setProfileValues(std::string_view text, std::string_view section,
                                            const ProfileEntries& entries) {
  section = trim(section);
  if (!writableSection(section)) return std::nullopt;
  std::string out(text);
  for (const auto& [rawKey, value] : entries) {
    std::string_view key = trim(rawKey);
    if (!writableEntry(key, value)) return std::nullopt;
    out = setOne(out, section, key, value);
    if (out.size() > kMaxProfileFile) return std::nullopt;
  }
  return out;
}

uint32_t parseProfileInt(std::string_view value, uint32_t fallback) {
  value = trim(value);
  if (value.empty() || value.front() < '0' || value.front() > '9') return fallback;
  uint32_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') break;
    n = n * 10u + static_cast<uint32_t>(c - '0');  // wraps like the 32-bit original
  }
  return n;
}

std::optional<std::string> readProfileValue(const std::string& file, std::string_view section,
                                            std::string_view key) {
  std::string text;
  if (loadFile(file, text, false) != Load::Ok) return std::nullopt;
  return findProfileValue(text, section, key);
}

std::string getProfileString(const std::string& file, std::string_view section, std::string_view key,
                             std::string_view fallback) {
  auto v = readProfileValue(file, section, key);
  return v ? std::move(*v) : std::string(fallback);
}

uint32_t getProfileInt(const std::string& file, std::string_view section, std::string_view key,
                       uint32_t fallback) {
  auto v = readProfileValue(file, section, key);
  return v ? parseProfileInt(*v, fallback) : fallback;
}

bool writeProfileString(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value) {
  return writeProfileStrings(file, section, {{std::string(key), std::string(value)}});
}

bool writeProfileStrings(const std::string& file, std::string_view section, const ProfileEntries& entries) {
  std::lock_guard<std::mutex> lock(writeMutex());
  std::string target = writeTarget(file);
  std::string text;
  // A file that exists but cannot be read whole must not be replaced by a
  // rewrite that would drop what we could not see.
  if (loadFile(target, text, true) == Load::Failed) return false;
  auto updated = setProfileValues(text, section, entries);
  return updated && writeFileAtomically(target, *updated);
}

}  // namespace platform
