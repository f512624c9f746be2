#include "platform/ProcessIdentity.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "platform/FileUtils.h"

namespace platform {

namespace {

std::string bootId() {
  std::string text;
  if (!readFilePrefix("/proc/sys/kernel/random/boot_id", 64, text)) return "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Field 22 of /proc/PID/stat; the command name (field 2) may hold spaces and
// parentheses, so counting starts after its last ')'.
int64_t startTicks(int64_t pid) {
  std::string text;
  if (pid <= 0 || !readFilePrefix("/proc/" + std::to_string(pid) + "/stat", 4096, text)) return 0;
  size_t at = text.rfind(')');
  if (at == std::string::npos) return 0;
  for (int field = 2; field < 22; ++field) {
    at = text.find(' ', at + 1);
    if (at == std::string::npos) return 0;
  }
  return std::strtoll(text.c_str() + at + 1, nullptr, 10);
}

std::string nameOf(uid_t uid) {
  if (const passwd* pw = getpwuid(uid)) return pw->pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace

ProcessIdentity thisProcess() {
  const int64_t pid = getpid();
  return {pid, bootId(), startTicks(pid)};
}

bool isRunning(const ProcessIdentity& process) {
  if (process.pid <= 0 || process.bootId != bootId()) return false;
  const int64_t ticks = startTicks(process.pid);
  return ticks != 0 && ticks == process.startTicks;
}

std::string userDescription() {
  std::string user = nameOf(geteuid());
  const char* caller = std::getenv("SUDO_USER");
  if (caller && *caller && std::string_view(caller) != user) user += " (sudo from " + std::string(caller) + ")";
  return user;
}

}  // namespace platform
