#include "platform/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace platform {
namespace {

std::string envText(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string homeDir() {
  std::string home = envText("HOME");
  if (!home.empty()) return home;
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) {
    return found->pw_dir;
  }
  return "/tmp";
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string joinPath(std::string_view a, std::string_view b) {
  while (!a.empty() && a.back() == '/') a.remove_suffix(1);
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  std::string out(a);
  out += '/';
  out += b;
  return out;
}

std::string workRoot() {
  std::string home = envText("TARNFIELD_HOME");
  if (!home.empty()) return withoutTrailingSlashes(home);
  // A relative XDG_DATA_HOME is invalid and must be ignored.
  std::string data = envText("XDG_DATA_HOME");
  if (data.empty() || data.front() != '/') data = joinPath(homeDir(), ".local/share");
  return joinPath(data, "Tarnfield");
}

std::string configDir() { return joinPath(workRoot(), "config"); }
std::string logDir() { return joinPath(workRoot(), "log"); }
std::string updateDir() { return joinPath(workRoot(), "Update"); }

std::string programDir() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  std::string exe(buf.data(), static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::string programDataPath(std::string_view name) {
  const std::string dir = programDir();
  std::string beside = joinPath(dir, name);
  std::error_code ec;
  if (std::filesystem::exists(beside, ec)) return beside;
  const std::filesystem::path prefix = std::filesystem::path(dir).parent_path();
  return joinPath(joinPath(prefix.string(), "share/kestrel"), name);
}

}  // namespace platform
