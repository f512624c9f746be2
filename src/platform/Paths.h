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

// A file the programs ship (skins, window labels): beside the program in a
// build folder, else <program dir>/../share/kestrel/<name>, where an installed
// program in <prefix>/bin finds it.
std::string programDataPath(std::string_view name);

// "a" + "/" + "b" with exactly one separator between them.
std::string joinPath(std::string_view a, std::string_view b);

}  // namespace platform
