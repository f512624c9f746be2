#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <condition_variable>
#include <mutex>

#include "app/MessageTarget.h"

// Shared pieces of the command-line front end. Each command lives in a file
// of its own and runs the same tasks as the desktop program, through the
// scheduler, with the console as the registered message target.
namespace cli {

struct Args {
  std::vector<std::string> words;  // positional words after the command
  bool json = false;
  std::string option(const std::string& name, const std::string& fallback = "") const;
  bool flag(const std::string& name) const;
  std::vector<std::pair<std::string, std::string>> options;  // --name value / --name
};

// Installs logging, creates worker 0 and registers the console as the target
// of the application state and the text notifier. handler sees every message
// on the console's own thread.
class Console {
 public:
  explicit Console(std::function<void(const AppMessage&)> handler);
  ~Console();
  // Starts the task and blocks until finished() was called from the handler,
  // or timeoutSeconds passed. False on time-out or when the task cannot start.
  bool runTask(int taskId, int timeoutSeconds);
  void finished();

 private:
  std::shared_ptr<QueuedMessageTarget> target_;
  std::mutex lock_;
  std::condition_variable done_;
  bool finished_ = false;
};

// Error and progress texts of UM_SHOW_TEXT go to stderr; true when handled.
bool printShowText(const AppMessage& message);

// Quotes a text for JSON output.
std::string jsonString(const std::string& text);

// Each command file registers itself with a static CommandRegistration.
using CommandFn = int (*)(const Args& args);
struct CommandRegistration {
  CommandRegistration(const char* name, const char* usage, CommandFn fn);
};
CommandFn findCommand(const std::string& name);
std::string commandUsage();

}  // namespace cli
