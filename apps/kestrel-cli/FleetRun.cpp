#include "FleetRun.h"

#include <cJSON.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "DeviceChoice.h"
#include "Interrupt.h"
#include "app/J2534Device.h"
#include "utils/LogFacade.h"

namespace cli {
namespace {

// A child's line longer than this is cut: a run's own lines are short.
constexpr size_t kLineLimit = 16 * 1024;
constexpr size_t kMessagesKept = 8;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

struct Member {
  J2534Device device;
  std::string link;     // "usb" or "lan"
  std::string address;  // tty path or dotted address
  std::string label;    // serial number, or the address while none is known
  pid_t pid = -1;
  int out = -1;  // the child's stdout: its result
  int err = -1;  // the child's stderr: progress and messages
  std::string result;
  std::string pendingErr;
  int percent = 0;
  std::string step;
  std::vector<std::string> messages;  // the last plain lines it wrote
  int status = -1;
  bool ended = false;
};

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

Json parseJson(const std::string& text) { return Json(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete); }

std::string stringField(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : "";
}

std::string selfPath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// Devices on USB first, then the LAN's answers not already found by USB.
J2534DeviceList findDevices(const Args& args) {
  J2534DeviceList found;
  for (const char* link : {"usb", "lan"}) {
    J2534DeviceList devices;
    int result = 0;
    if (!scanLink(args, linkType(link), devices, result, false)) {
      std::fprintf(stderr, "the %s scan did not finish; its devices are left out\n", link);
      continue;
    }
    for (const J2534Device& device : devices) {
      const bool known = !device.name.empty() && std::any_of(found.begin(), found.end(), [&](const J2534Device& f) {
        return f.name == device.name;
      });
      if (!known) found.push_back(device);
    }
  }
  return found;
}

bool spawn(Member& member, const std::string& self, const std::vector<std::string>& words) {
  std::vector<std::string> argv{self};
  argv.insert(argv.end(), words.begin(), words.end());
  // A USB device by its serial number: its tty may change before the run looks.
  const std::string& device = member.link == "usb" && !member.label.empty() ? member.label : member.address;
  for (const char* option : {"--link", member.link.c_str(), "--device", device.c_str(), "--json"}) {
    argv.emplace_back(option);
  }
  std::vector<char*> cargv;
  for (std::string& word : argv) cargv.push_back(word.data());
  cargv.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own: Ctrl-C reaches the parent alone, which hands it on
    // once; and a parent that dies stops its runs as a second Ctrl-C would.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGINT);
    if (::getppid() != parent) ::_exit(kExitInterrupted);
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (pid < 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    return false;
  }
  member.pid = pid;
  member.out = outPipe[0];
  member.err = errPipe[0];
  return true;
}

std::string tagged(const Member& member) {
  return "{\"serialNumber\":" + jsonString(member.label) + ",\"link\":\"" + member.link +
         "\",\"address\":" + jsonString(member.address);
}

// The run's last headline: indented lines only quote the log under it, and
// the log's path is the same for every device.
std::string lastMessage(const Member& member) {
  for (auto it = member.messages.rbegin(); it != member.messages.rend(); ++it) {
    if (it->empty() || *it->begin() == ' ') continue;
    return it->substr(0, it->find("; details in "));
  }
  return member.messages.empty() ? std::string() : member.messages.back();
}

// One line of a run's stderr: a progress event, or a message kept for the summary.
void takeErrLine(Member& member, const std::string& line, bool tagLines) {
  if (line.empty()) return;
  const Json event = line.front() == '{' ? parseJson(line) : Json(nullptr, cJSON_Delete);
  if (event && cJSON_IsObject(event.get())) {
    const cJSON* percent = cJSON_GetObjectItemCaseSensitive(event.get(), "percent");
    if (cJSON_IsNumber(percent)) member.percent = std::clamp(percent->valueint, 0, 100);
    const std::string text = stringField(event.get(), "text");
    if (!text.empty()) member.step = text;
    if (tagLines) std::fprintf(stderr, "%s,%s\n", tagged(member).c_str(), line.c_str() + 1);
    return;
  }
  member.messages.push_back(line);
  if (member.messages.size() > kMessagesKept) member.messages.erase(member.messages.begin());
  if (tagLines) {
    std::fprintf(stderr, "%s,\"event\":\"message\",\"text\":%s}\n", tagged(member).c_str(), jsonString(line).c_str());
  }
}

// Reads what is there; false at the end of the stream.
bool drain(int fd, std::string& into, size_t limit) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, std::min(static_cast<size_t>(n), limit - std::min(limit, into.size())));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

void readErr(Member& member, bool tagLines) {
  const bool open = drain(member.err, member.pendingErr, kLineLimit * 4);
  for (size_t end; (end = member.pendingErr.find('\n')) != std::string::npos;) {
    takeErrLine(member, member.pendingErr.substr(0, std::min(end, kLineLimit)), tagLines);
    member.pendingErr.erase(0, end + 1);
  }
  if (member.pendingErr.size() > kLineLimit) member.pendingErr.resize(kLineLimit);
  if (!open) {
    takeErrLine(member, member.pendingErr, tagLines);
    member.pendingErr.clear();
    ::close(member.err);
    member.err = -1;
  }
}

std::string fitted(std::string text, size_t width) {
  if (text.size() > width) text.resize(width);
  return text;
}

int terminalWidth() {
  winsize size{};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 100;
}

// One line per device, redrawn in place.
void draw(const std::vector<Member>& members, bool redraw) {
  const size_t width = static_cast<size_t>(terminalWidth()) - 1;
  std::string out = redraw ? "\x1b[" + std::to_string(members.size()) + "A" : "";
  for (const Member& m : members) {
    const int filled = m.percent * 20 / 100;
    char head[96];
    std::snprintf(head, sizeof head, "%-14s [%s%s] %3d%% ", shown(m.label).c_str(), std::string(filled, '#').c_str(),
                  std::string(20 - filled, '-').c_str(), m.percent);
    out += "\r\x1b[K" + fitted(head + shown(m.ended && m.status != kExitOk && !m.messages.empty() ? lastMessage(m) : m.step),
                               width) + "\n";
  }
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
}

const char* statusWord(int status) {
  switch (status) {
    case kExitOk: return "ok";
    case kExitFailed: return "failed";
    case kExitUsage: return "usage error";
    case kExitNoDevice: return "not reached";
    case kExitBusy: return "busy";
    case kExitInterrupted: return "interrupted";
    default: return "crashed";
  }
}

// What a run that ended well did ("upgraded", "up-to-date", ...), from its result.
std::string outcome(const Member& member) {
  const Json result = parseJson(member.result);
  std::string word = result ? stringField(result.get(), "result") : "";
  return word.empty() ? statusWord(member.status) : word;
}

std::string versionCell(const cJSON* record, const char* slot) {
  const cJSON* part = cJSON_GetObjectItemCaseSensitive(record, slot);
  if (!cJSON_IsObject(part)) return "-";
  std::string current = stringField(part, "current");
  const std::string latest = stringField(part, "latest");
  if (current.empty()) current = "unknown";
  if (cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(part, "upgrade"))) current += " -> " + latest;
  return current;
}


void printSummary(const std::vector<Member>& members, bool info) {
  if (info) {
    std::printf("%-14s %-4s %-16s %-18s %-18s %s\n", "device", "link", "address", "firmware", "J2534 firmware",
                "system");
  } else {
    std::printf("%-14s %-4s %-16s %-12s %s\n", "device", "link", "address", "result", "detail");
  }
  for (const Member& m : members) {
    const Json record = parseJson(m.result);
    if (info && m.status == kExitOk && record) {
      std::printf("%-14s %-4s %-16s %-18s %-18s %s\n", shown(m.label).c_str(), m.link.c_str(), shown(m.address).c_str(),
                  shown(versionCell(record.get(), "firmware")).c_str(),
                  shown(versionCell(record.get(), "j2534Firmware")).c_str(),
                  shown(versionCell(record.get(), "system")).c_str());
      continue;
    }
    const std::string detail = m.status == kExitOk ? "" : lastMessage(m);
    std::printf("%-14s %-4s %-16s %-12s %s\n", shown(m.label).c_str(), m.link.c_str(), shown(m.address).c_str(),
                (m.status == kExitOk ? outcome(m) : std::string(statusWord(m.status))).c_str(), shown(detail).c_str());
  }
}

void printJsonSummary(const std::vector<Member>& members, size_t good) {
  std::string out = "{\"devices\":[";
  for (size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    const Json record = parseJson(m.result);
    out += std::string(i ? "," : "") + tagged(m) + ",\"exitStatus\":" + std::to_string(m.status) +
           ",\"status\":\"" + statusWord(m.status) + "\",\"result\":" +
           (record ? m.result.substr(0, m.result.find_last_not_of(" \n") + 1) : "null") +
           ",\"message\":" + jsonOrNull(lastMessage(m)) + "}";
  }
  std::printf("%s],\"devicesOk\":%zu,\"devicesFailed\":%zu}\n", out.c_str(), good, members.size() - good);
}

}  // namespace

OptionSpec allDevicesOption() {
  return {"all", nullptr, "every device found on USB and the LAN, all at the same time (a run of its own each)"};
}

int runOnEveryDevice(const Args& args, const std::vector<std::string>& words) {
  if (!args.option("link").empty() || !args.option("device").empty()) {
    std::fprintf(stderr, "--all takes no --link or --device: it runs on every device found\n");
    return kExitUsage;
  }
  const std::string self = selfPath();
  if (self.empty()) {
    std::fprintf(stderr, "cannot run on every device: the program's own path is unknown\n");
    return kExitFailed;
  }
  std::vector<std::string> childWords = words;
  for (const char* flag : {"force", "dry-run"}) {
    if (args.flag(flag)) childWords.push_back(std::string("--") + flag);
  }
  if (const std::string package = args.option("package"); !package.empty()) {
    char* absolute = ::realpath(package.c_str(), nullptr);
    childWords.push_back("--package");
    childWords.push_back(absolute ? absolute : package);
    std::free(absolute);
  }

  std::vector<Member> members;
  for (const J2534Device& device : findDevices(args)) {
    Member m;
    m.device = device;
    m.link = linkName(device.connectType);
    m.address = addressText(device);
    m.label = device.name.empty() ? m.address : device.name;
    members.push_back(std::move(m));
  }
  if (members.empty()) {
    std::fprintf(stderr, "no device found on USB or the LAN; check that they are attached and powered\n");
    return kExitNoDevice;
  }
  LOG_INFO("running %s on %zu devices", words.empty() ? "" : words.front().c_str(), members.size());

  std::atomic<bool> stopAsked{false};
  setInterruptHandler([&stopAsked] { stopAsked = true; },
                      "stopped at once: a device being upgraded may be left in its boot loader; run the upgrade "
                      "again with --force to recover it");
  for (Member& m : members) {
    if (!spawn(m, self, childWords)) {
      m.ended = true;
      m.status = kExitFailed;
      m.messages.push_back("could not start its run");
      continue;
    }
    ::fcntl(m.out, F_SETFL, O_NONBLOCK);
    ::fcntl(m.err, F_SETFL, O_NONBLOCK);
  }

  const bool lines = !args.quiet() && !args.json && ::isatty(STDERR_FILENO);
  const bool tagLines = !args.quiet() && !lines;
  bool drawn = false;
  bool stopForwarded = false;
  auto lastDraw = std::chrono::steady_clock::now() - kRedrawEvery;
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Member*, bool>> owners;  // member, is stderr
    for (Member& m : members) {
      if (m.out >= 0) {
        fds.push_back({m.out, POLLIN, 0});
        owners.emplace_back(&m, false);
      }
      if (m.err >= 0) {
        fds.push_back({m.err, POLLIN, 0});
        owners.emplace_back(&m, true);
      }
    }
    if (fds.empty()) break;
    ::poll(fds.data(), fds.size(), 200);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Member& m = *owners[i].first;
      if (owners[i].second) {
        readErr(m, tagLines);
      } else if (!drain(m.out, m.result, kLineLimit * 4)) {
        ::close(m.out);
        m.out = -1;
      }
    }
    for (Member& m : members) {
      if (m.ended || m.out >= 0 || m.err >= 0) continue;
      int status = 0;
      while (::waitpid(m.pid, &status, 0) < 0 && errno == EINTR) {
      }
      m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      m.ended = true;
      const Json record = parseJson(m.result);
      if (record && !stringField(record.get(), "serialNumber").empty()) m.label = stringField(record.get(), "serialNumber");
      LOG_INFO("device %s (%s %s): exit status %d", logfacade::escapeForLog(m.label).c_str(), m.link.c_str(),
               logfacade::escapeForLog(m.address).c_str(), m.status);
    }
    if (stopAsked && !stopForwarded) {
      stopForwarded = true;
      for (const Member& m : members) {
        if (!m.ended && m.pid > 0) ::kill(m.pid, SIGINT);
      }
    }
    const auto now = std::chrono::steady_clock::now();
    if (lines && now - lastDraw >= kRedrawEvery) {
      draw(members, drawn);
      drawn = true;
      lastDraw = now;
    }
  }
  clearInterruptHandler();
  if (lines) draw(members, drawn);

  size_t good = 0;
  std::string notWell;
  for (const Member& m : members) {
    if (m.status == kExitOk) {
      ++good;
      continue;
    }
    notWell += "\n  " + shown(m.label) + ": " + statusWord(m.status) + " (exit status " + std::to_string(m.status) + ")" +
               (lastMessage(m).empty() ? "" : ": " + shown(lastMessage(m)));
  }
  const bool info = !words.empty() && words.front() == "info";
  if (args.json) {
    printJsonSummary(members, good);
  } else {
    printSummary(members, info);
  }
  if (!notWell.empty() && !args.quiet()) {
    std::fprintf(stderr, "%zu of %zu devices ended well; these did not:%s\n", good, members.size(), notWell.c_str());
  }
  if (wasInterrupted()) return kExitInterrupted;
  return good == members.size() ? kExitOk : kExitFailed;
}

}  // namespace cli
