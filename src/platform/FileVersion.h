#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The file version of the pass-thru library. A Linux library carries no
// version resource, so the version is read from the versioned file name the
// library resolves to: libkestrel32.so -> libkestrel32.so.1.16.0.0 gives 1.16.0.0.
namespace platform {

struct FileVersion {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t build = 0;
  uint16_t revision = 0;
};

// The last four dot-separated parts of a file name, each a decimal number that
// fits 16 bits, preceded by a part that is not a number.
std::optional<FileVersion> versionFromFileName(std::string_view fileName);

// Follows symbolic links to a regular file and reads its name's version.
std::optional<FileVersion> queryFileVersion(const std::string& path);

}  // namespace platform
