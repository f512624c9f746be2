#pragma once
#include <string>

// The diagnostic lines the scanners once printed on the console. They now go
// to the log; a front end that wants them on stderr too (kestrel-cli -v)
// switches the echo on. Standard output stays free for results.
namespace consolelines {

void setEcho(bool toStderr);

// Logs text at INFO with the caller's place, and echoes it when asked.
void write(const char* sourcePath, int line, const char* function, const std::string& text);

}  // namespace consolelines

#define CONSOLE_LINE(text) ::consolelines::write(__FILE__, __LINE__, __PRETTY_FUNCTION__, (text))
