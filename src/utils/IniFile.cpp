#include "utils/IniFile.h"

#include "platform/PrivateProfile.h"

#include <utility>

CIniFile::CIniFile(std::string path) : path_(std::move(path)) {}

std::string CIniFile::getString(std::string_view section, std::string_view key, std::string_view fallback,
                                size_t bufferSize) const {
  return cutToBuffer(platform::getProfileString(path_, section, key, fallback), bufferSize);
}

std::string CIniFile::cutToBuffer(std::string text, size_t bufferSize) {
  size_t limit = bufferSize ? bufferSize - 1 : 0;
  if (text.size() <= limit) return text;
  size_t cut = limit;
  // Back up over continuation bytes so the cut lands on a character boundary.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}
