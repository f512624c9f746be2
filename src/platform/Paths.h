#pragma once
#include <string>
#include <string_view>

// The working root and its sub-folders. The root is $TARNFIELD_HOME, else
// ${XDG_DATA_HOME:-$HOME/.local/share}/Tarnfield; it is read on every call so
// a test can point it elsewhere before the first use.
namespace platform {

std::string workRoot();
std::string configDir();  // <root>/config
std::string logDir();     // <root>/log
std::string updateDir();  // <root>/Update

// Folder of the running program file (from /proc/self/exe); "." if unknown.
std::string programDir();

// "a" + "/" + "b" with exactly one separator between them.
std::string joinPath(std::string_view a, std::string_view b);

}  // namespace platform
