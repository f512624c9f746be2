#include "platform/FileVersion.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>

namespace platform {
namespace {

constexpr size_t kVersionParts = 4;

std::optional<uint16_t> versionPart(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(n);
}

bool allDigits(std::string_view text) {
  return text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::optional<FileVersion> versionFromFileName(std::string_view fileName) {
  size_t slash = fileName.rfind('/');
  if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);

  std::array<uint16_t, kVersionParts> parts{};
  std::string_view rest = fileName;
  for (size_t i = kVersionParts; i-- > 0;) {
    size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    auto part = versionPart(rest.substr(dot + 1));
    if (!part) return std::nullopt;
    parts[i] = *part;
    rest = rest.substr(0, dot);
  }
  // The name before the version must not itself end in a number, or a
  // five-part suffix (lib.so.1.2.3.4.5) would be read as 2.3.4.5.
  size_t dot = rest.rfind('.');
  std::string_view stem = dot == std::string_view::npos ? rest : rest.substr(dot + 1);
  if (stem.empty() || allDigits(stem)) return std::nullopt;
  return FileVersion{parts[0], parts[1], parts[2], parts[3]};
}

std::optional<FileVersion> queryFileVersion(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::nullopt;
  std::string resolved(real);
  std::free(real);
  struct stat st {};
  if (::stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return versionFromFileName(resolved);
}

}  // namespace platform
