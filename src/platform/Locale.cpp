#include "platform/Locale.h"

#include <cstdlib>

namespace platform {
namespace {

// True when name is lang_TERRITORY, optionally followed by .codeset or @modifier.
bool isLocale(std::string_view name, std::string_view langTerritory) {
  if (name.substr(0, langTerritory.size()) != langTerritory) return false;
  if (name.size() == langTerritory.size()) return true;
  char next = name[langTerritory.size()];
  return next == '.' || next == '@';
}

}  // namespace

int localeIdFromName(std::string_view name) {
  if (isLocale(name, "zh_CN")) return kLocaleChineseChina;
  if (isLocale(name, "ja_JP")) return kLocaleJapanese;
  return kLocaleEnglishUs;
}

int userLocaleId() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return localeIdFromName(v);
  }
  return kLocaleEnglishUs;
}

}  // namespace platform
