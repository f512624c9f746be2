#pragma once
#include <string_view>

// The user's locale as a numeric locale id, the form the skin and label
// choices are keyed on.
namespace platform {

constexpr int kLocaleEnglishUs = 1033;
constexpr int kLocaleJapanese = 1041;
constexpr int kLocaleChineseChina = 2052;

// Locale id of a POSIX locale name such as "zh_CN.UTF-8" or "ja_JP@euro".
int localeIdFromName(std::string_view name);

// From the first non-empty of LC_ALL, LC_MESSAGES and LANG.
int userLocaleId();

}  // namespace platform
