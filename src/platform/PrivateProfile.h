#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Ini files read and written the way the settings and label files expect:
// "[section]" headers and "key=value" lines, section and key names compared
// without regard to ASCII case, names and values trimmed of surrounding blanks
// and a value's one pair of matching surrounding quotes removed. Lines starting
// with ';' or '#' are comments. A write changes one key and keeps every other
// byte of the file.
//
// The files may come from anywhere, so reading is bounded: lines longer than
// kMaxProfileLine are ignored (and kept as they are on a write), and only the
// first kMaxProfileFile bytes of a file are read. A write to a larger file
// fails rather than lose its tail.
namespace platform {

constexpr size_t kMaxProfileFile = 1024 * 1024;
constexpr size_t kMaxProfileLine = 4096;

using ProfileEntries = std::vector<std::pair<std::string, std::string>>;

// --- on a buffer (what the file functions use; the fuzz target calls these) ---

// The value of the first matching key in a matching section, or nullopt.
std::optional<std::string> findProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// The text with each key set to its value: the first matching key line is
// rewritten in place, a missing key is added at the end of the first matching
// section, a missing section is appended. nullopt when a name or value cannot
// be written without changing the file's structure (empty or bracketed names,
// '=' in a key, a line break anywhere) or read back as written (a name with
// surrounding blanks).
std::optional<std::string> setProfileValues(std::string_view text, std::string_view section,
                                            const ProfileEntries& entries);

// Leading decimal digits of value, modulo 2^32; fallback when there are none.
uint32_t parseProfileInt(std::string_view value, uint32_t fallback);

// --- on files ---

// The value, or nullopt when the file, section or key is missing or the file
// cannot be read.
std::optional<std::string> readProfileValue(const std::string& file, std::string_view section,
                                            std::string_view key);

std::string getProfileString(const std::string& file, std::string_view section, std::string_view key,
                             std::string_view fallback);

uint32_t getProfileInt(const std::string& file, std::string_view section, std::string_view key,
                       uint32_t fallback);

// Creates the file, section or key as needed but never a missing folder.
// Writes go to a temporary file that replaces the old one, so a reader sees the
// old or the new file, never half of one; writers in this process are
// serialised so no update is lost. False when nothing was written.
bool writeProfileString(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value);

// Several keys of one section in one replacement of the file.
bool writeProfileStrings(const std::string& file, std::string_view section, const ProfileEntries& entries);

}  // namespace platform
