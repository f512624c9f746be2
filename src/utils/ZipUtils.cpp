#include "utils/ZipUtils.h"

#include "platform/FileUtils.h"
#include "utils/LogFacade.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace ziputils {
namespace {

constexpr size_t kMaxNameLength = 1024;
constexpr size_t kReadPiece = 64 * 1024;
constexpr int kMaxSearchDepth = 64;
constexpr unsigned kUnixHost = 3;  // "version made by" high byte

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

class Archive {
 public:
  explicit Archive(const std::string& path) : uf_(unzOpen64(path.c_str())) {}
  ~Archive() {
    if (uf_) unzClose(uf_);
  }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  unzFile get() const { return uf_; }

 private:
  unzFile uf_;
};

struct Entry {
  std::string rawName;             // as stored, for log lines
  std::vector<std::string> parts;  // safe relative path components
  bool isDir = false;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
};

// Splits a stored name into components that cannot leave the base folder;
// false for anything that could.
bool splitEntryName(std::string name, Entry& entry) {
  std::replace(name.begin(), name.end(), '\\', '/');
  if (name.empty() || name.front() == '/') return false;
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
    return false;
  entry.isDir = name.back() == '/';
  entry.parts.clear();
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos) slash = name.size();
    std::string part = name.substr(start, slash - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") entry.parts.push_back(std::move(part));
    start = slash + 1;
  }
  // "./" alone names the base folder itself; a file needs a name.
  return entry.isDir || !entry.parts.empty();
}

// Reads and checks the entry the archive is positioned on.
int readEntry(unzFile uf, Entry& entry) {
  unz_file_info64 info{};
  char name[kMaxNameLength + 1] = {};
  int rc = unzGetCurrentFileInfo64(uf, &info, name, sizeof name, nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return rc;
  size_t length = std::min<size_t>(info.size_filename, kMaxNameLength);
  entry.rawName.assign(name, length);
  entry.compressedSize = info.compressed_size;
  entry.uncompressedSize = info.uncompressed_size;

  const char* why = nullptr;
  if (info.size_filename > kMaxNameLength) why = "name too long";
  else if (std::memchr(name, '\0', length)) why = "name with NUL";
  else if (!splitEntryName(entry.rawName, entry)) why = "path leaves the folder";
  else if (info.flag & 1) why = "encrypted";
  else {
    // Unix hosts keep st_mode in the high half; other hosts leave it zero.
    unsigned type = (info.external_fa >> 16) & S_IFMT;
    if (type == S_IFLNK) why = "symbolic link";
    else if (type != 0 && type != S_IFREG && type != S_IFDIR) why = "special file";
    else if (type == S_IFDIR && (info.version >> 8) == kUnixHost) entry.isDir = true;
  }
  if (why) {
    LOG_WARN("zip entry refused (%s): %s", why, logfacade::escapeForLog(entry.rawName).c_str());
    return kUnsafeEntry;
  }
  return UNZ_OK;
}

// Walks every entry once without inflating anything, so that a package with
// one hostile entry is refused before its first byte is written.
int checkArchive(unzFile uf, const UnzipLimits& limits) {
  uint64_t declaredTotal = 0;
  size_t count = 0;
  int rc = unzGoToFirstFile(uf);
  while (rc == UNZ_OK) {
    if (++count > limits.maxEntries) {
      LOG_WARN("zip refused: more than %zu entries", limits.maxEntries);
      return kTooManyEntries;
    }
    Entry entry;
    rc = readEntry(uf, entry);
    if (rc != UNZ_OK) return rc;
    declaredTotal += std::min<uint64_t>(entry.uncompressedSize, limits.maxTotalBytes + 1);
    if (declaredTotal > limits.maxTotalBytes) {
      LOG_WARN("zip refused: more than %llu bytes declared",
               static_cast<unsigned long long>(limits.maxTotalBytes));
      return kTooLarge;
    }
    rc = unzGoToNextFile(uf);
  }
  return rc == UNZ_END_OF_LIST_OF_FILE ? UNZ_OK : rc;
}

// Opens (creating as needed) the folder below base named by the first count
// parts, refusing to pass through a link that may already sit there.
Fd openFolder(int baseFd, const std::vector<std::string>& parts, size_t count) {
  Fd current(::dup(baseFd));
  for (size_t i = 0; i < count && current.valid(); ++i) {
    if (::mkdirat(current.get(), parts[i].c_str(), 0777) != 0 && errno != EEXIST) return Fd();
    current = Fd(::openat(current.get(), parts[i].c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return current;
}

class Extractor {
 public:
  Extractor(unzFile uf, int baseFd, uint64_t archiveSize, const UnzipLimits& limits)
      : uf_(uf), baseFd_(baseFd), archiveSize_(archiveSize), limits_(limits) {}

  int extractCurrent() {
    Entry entry;
    int rc = readEntry(uf_, entry);
    if (rc != UNZ_OK) return rc;
    if (entry.isDir) {
      if (openFolder(baseFd_, entry.parts, entry.parts.size()).valid()) return UNZ_OK;
      return writeFailed(entry, "folder");
    }
    Fd folder = openFolder(baseFd_, entry.parts, entry.parts.size() - 1);
    if (!folder.valid()) return writeFailed(entry, "folder");
    const std::string& leaf = entry.parts.back();
    Fd file(::openat(folder.get(), leaf.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.valid()) return writeFailed(entry, "open");
    rc = inflateInto(entry, file.get());
    if (rc != UNZ_OK) {
      // A half-written entry is worth nothing and must not pass for a whole one.
      file.reset();
      ::unlinkat(folder.get(), leaf.c_str(), 0);
    }
    return rc;
  }

 private:
  int inflateInto(const Entry& entry, int fd) {
    int rc = unzOpenCurrentFile(uf_);
    if (rc != UNZ_OK) return rc;
    // The archive cannot hold more compressed bytes than its own size.
    uint64_t compressed = std::max<uint64_t>(1, std::min(entry.compressedSize, archiveSize_));
    std::vector<char> buffer(kReadPiece);
    uint64_t written = 0;
    for (;;) {
      int n = unzReadCurrentFile(uf_, buffer.data(), static_cast<unsigned>(buffer.size()));
      if (n < 0) {
        unzCloseCurrentFile(uf_);
        return n;
      }
      if (n == 0) break;
      written += static_cast<uint64_t>(n);
      total_ += static_cast<uint64_t>(n);
      if (total_ > limits_.maxTotalBytes ||
          (written > limits_.ratioFloorBytes && written / compressed > limits_.maxRatio)) {
        unzCloseCurrentFile(uf_);
        LOG_WARN("zip refused: entry inflates beyond the limits: %s",
                 logfacade::escapeForLog(entry.rawName).c_str());
        return kTooLarge;
      }
      if (!platform::writeAll(fd, std::string_view(buffer.data(), static_cast<size_t>(n)))) {
        unzCloseCurrentFile(uf_);
        return writeFailed(entry, "write");
      }
    }
    rc = unzCloseCurrentFile(uf_);
    if (rc != UNZ_OK) return rc;
    if (written != entry.uncompressedSize) {
      LOG_WARN("zip entry shorter than its header says: %s",
               logfacade::escapeForLog(entry.rawName).c_str());
      return kSizeMismatch;
    }
    return UNZ_OK;
  }

  static int writeFailed(const Entry& entry, const char* step) {
    LOG_WARN("zip extract %s failed, errno %d: %s", step, errno,
             logfacade::escapeForLog(entry.rawName).c_str());
    return kWriteFailed;
  }

  unzFile uf_;
  int baseFd_;
  uint64_t archiveSize_;
  const UnzipLimits& limits_;
  uint64_t total_ = 0;
};

bool startsWithDot(const fs::path& p) {
  std::string name = p.filename().string();
  return !name.empty() && name.front() == '.';
}

std::string findIn(const fs::path& folder, const std::string& fileName, int depth) {
  if (depth > kMaxSearchDepth) return {};
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!startsWithDot(it->path())) entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  for (const auto& entry : entries) {
    auto status = entry.symlink_status(ec);
    if (ec) continue;
    if (fs::is_directory(status)) {
      std::string found = findIn(entry.path(), fileName, depth + 1);
      if (!found.empty()) return found;
    } else if (fs::is_regular_file(status) && entry.path().filename() == fileName) {
      return entry.path().string();
    }
  }
  return {};
}

}  // namespace

int unzipToFolder(const std::string& packagePath, const std::string& folder,
                  const UnzipLimits& limits) {
  Archive archive(packagePath);
  if (!archive.get()) {
    LOG_WARN("zip open failed: %s", logfacade::escapeForLog(packagePath).c_str());
    return kOpenFailed;
  }
  int rc = checkArchive(archive.get(), limits);
  if (rc != UNZ_OK) return rc;

  std::error_code ec;
  uint64_t archiveSize = fs::file_size(packagePath, ec);
  if (ec) return kOpenFailed;
  fs::create_directories(folder, ec);
  Fd base(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (ec || !base.valid()) {
    LOG_WARN("zip target folder unusable: %s", logfacade::escapeForLog(folder).c_str());
    return kWriteFailed;
  }

  Extractor extractor(archive.get(), base.get(), archiveSize, limits);
  rc = unzGoToFirstFile(archive.get());
  while (rc == UNZ_OK) {
    rc = extractor.extractCurrent();
    if (rc != UNZ_OK) return rc;
    rc = unzGoToNextFile(archive.get());
  }
  return rc == UNZ_END_OF_LIST_OF_FILE ? UNZ_OK : rc;
}

std::string findFileByName(const std::string& folder, const std::string& fileName) {
  if (fileName.empty()) return {};
  return findIn(fs::path(folder), fileName, 0);
}

int removeTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  return ec ? ec.value() : 0;
}

}  // namespace ziputils
