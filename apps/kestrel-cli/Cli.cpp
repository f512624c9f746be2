#include "Cli.h"

#include <chrono>
#include <cstdio>

#include "app/AppState.h"
#include "app/Messages.h"
#include "app/TextNotifier.h"
#include "schedule/ScheduleManager.h"
#include "utils/TextEscape.h"

namespace cli {

std::string Args::option(const std::string& name, const std::string& fallback) const {
  for (const auto& [key, value] : options) {
    if (key == name) return value;
  }
  return fallback;
}

bool Args::flag(const std::string& name) const {
  for (const auto& [key, value] : options) {
    if (key == name) return true;
  }
  return false;
}

Console::Console(std::function<void(const AppMessage&)> handler) {
  target_ = std::make_shared<QueuedMessageTarget>(std::move(handler));
  AppState::getInstance().setTarget(target_);
  TextNotifier::getInstance().setTarget(target_);
  ScheduleManager::getInstance().createWorker(kWorkerDevInfo);
}

Console::~Console() {
  AppState::getInstance().setTarget(nullptr);
  TextNotifier::getInstance().setTarget(nullptr);
  target_->shutdown();
}

bool Console::runTask(int taskId, int timeoutSeconds) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = false;
  }
  if (ScheduleManager::getInstance().runTask(taskId) != 0) return false;
  std::unique_lock<std::mutex> guard(lock_);
  return done_.wait_for(guard, std::chrono::seconds(timeoutSeconds), [&] { return finished_; });
}

void Console::finished() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = true;
  }
  done_.notify_all();
}

bool printShowText(const AppMessage& message) {
  if (message.id != UM_SHOW_TEXT) return false;
  std::fprintf(stderr, "%s\n", message.text.c_str());
  return true;
}

namespace {
struct Command {
  std::string name;
  std::string usage;
  CommandFn fn;
};
std::vector<Command>& commands() {
  static std::vector<Command> list;
  return list;
}
}  // namespace

CommandRegistration::CommandRegistration(const char* name, const char* usage, CommandFn fn) {
  commands().push_back(Command{name, usage, fn});
}

CommandFn findCommand(const std::string& name) {
  for (const Command& c : commands()) {
    if (c.name == name) return c.fn;
  }
  return nullptr;
}

std::string commandUsage() {
  std::string out;
  for (const Command& c : commands()) out += "  " + c.usage + "\n";
  return out;
}

std::string jsonString(const std::string& text) { return "\"" + jsonEscape(text) + "\""; }

}  // namespace cli
