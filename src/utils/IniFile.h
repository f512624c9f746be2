#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// One ini file read through the private-profile functions, with the
// fixed-buffer contract of its callers: a value never exceeds bufferSize - 1
// bytes.
class CIniFile {
 public:
  explicit CIniFile(std::string path);
  virtual ~CIniFile() = default;

  // The value, or fallback when the file, section or key is missing; cut to
  // bufferSize - 1 bytes without splitting a UTF-8 character (empty for 0).
  std::string getString(std::string_view section, std::string_view key, std::string_view fallback,
                        size_t bufferSize) const;

  const std::string& path() const { return path_; }

  // text cut as getString cuts a value.
  static std::string cutToBuffer(std::string text, size_t bufferSize);

 private:
  std::string path_;
};
