#include "utils/ConsoleLines.h"

#include <atomic>
#include <cstdio>

#include "utils/LogFacade.h"

namespace consolelines {

namespace {
std::atomic<bool> echo{false};
}  // namespace

void setEcho(bool toStderr) { echo = toStderr; }

void write(const char* sourcePath, int line, const char* function, const std::string& text) {
  logfacade::write(logfacade::kInfo, sourcePath, line, function, "%s", text.c_str());
  if (!echo) return;
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace consolelines
