#pragma once
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/MessageTarget.h"

// Shared pieces of the command-line front end. Each command lives in a file
// of its own, declares its options in the command table, and runs the same
// tasks as the desktop program through the scheduler, with the console as
// the registered message target.
namespace cli {

// The exit statuses a script can rely on; --help and the README list them.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,       // the operation ran and failed
  kExitUsage = 2,        // unknown option, bad value, missing argument
  kExitNoDevice = 3,     // no device reached, or a choice between several is needed
  kExitBusy = 4,         // another process is upgrading or configuring the device
  kExitInterrupted = 5,  // stopped by SIGINT/SIGTERM
};

enum class Verbosity { Quiet, Normal, Verbose };

// One option of a command. value is null for a flag; "a|b|c" lists the only
// accepted values; any other text names the value in the help.
struct OptionSpec {
  const char* name;
  const char* value;
  const char* help;
};

struct Args {
  std::vector<std::string> words;  // positional words after the command
  std::vector<std::pair<std::string, std::string>> options;
  bool json = false;
  Verbosity verbosity = Verbosity::Normal;

  std::string option(const std::string& name, const std::string& fallback = "") const;
  bool flag(const std::string& name) const;
  bool quiet() const { return verbosity == Verbosity::Quiet; }
};

using CommandFn = int (*)(const Args& args);

struct CommandSpec {
  const char* name;
  const char* synopsis;  // the words after "kestrel-cli NAME"
  const char* summary;   // one line for the command list
  std::vector<OptionSpec> options;
  CommandFn fn;
  const char* details = "";  // extra paragraphs of the command's help
};

// Each command file registers itself with a static CommandRegistration.
struct CommandRegistration {
  explicit CommandRegistration(CommandSpec command);
};
const std::vector<CommandSpec>& commands();
const CommandSpec* findCommand(const std::string& name);

// Options every command takes, after or before its name.
const std::vector<OptionSpec>& globalOptions();

// The device-choice options of info, upgrade and wifi.
std::vector<OptionSpec> deviceOptions();

// Parses the words after the command name against its table. On a usage
// error returns false with error naming the option.
bool parseArgs(const CommandSpec& command, const std::vector<std::string>& words, Args& args, std::string& error);

std::string programHelp();
std::string commandHelp(const CommandSpec& command);
// A bash completion script built from the same table: a command's first
// word where its synopsis lists them, the values an option lists, file
// names only for a FILE, and nothing for a free value such as a name.
std::string bashCompletion();
// The manual page (roff) from the same table; "help --man" prints it for the build.
std::string manPage();
// The exit-status lines of every help text.
std::string exitStatusHelp();

// What a command line asks for, decided before anything is touched: a
// command to run with its arguments, or (command null) texts for stdout and
// stderr and the exit status, for help, versions, completion and usage errors.
struct Invocation {
  const CommandSpec* command = nullptr;
  Args args;
  int status = kExitOk;
  std::string out;
  std::string err;
};
Invocation parseCommandLine(const std::vector<std::string>& words);

// Installs logging, creates worker 0 and registers the console as the target
// of the application state and the text notifier. handler sees every message
// on the console's own thread.
class Console {
 public:
  explicit Console(std::function<void(const AppMessage&)> handler);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;
  // Starts the task and blocks until finished() was called from the handler,
  // or timeoutSeconds passed. False on time-out or when the task cannot start.
  bool runTask(int taskId, int timeoutSeconds);
  void finished();

 private:
  std::shared_ptr<QueuedMessageTarget> target_;
  std::mutex lock_;  // guards finished_
  std::condition_variable done_;
  bool finished_ = false;
};

// Waits (bounded) until worker 0 has left its task, so no worker still runs
// while the program ends.
void waitForIdleWorker();

// Error texts of UM_SHOW_TEXT go to stderr unless quiet; true when handled.
bool printShowText(const AppMessage& message, const Args& args);

// Quotes a text for JSON output; bytes that are not UTF-8 become U+FFFD so
// the output stays valid whatever a device or host sent.
std::string jsonString(const std::string& text);
// null for an empty text.
std::string jsonOrNull(const std::string& text);
std::string validUtf8(const std::string& text);

// A text from outside, made printable for the terminal.
std::string shown(const std::string& text);

// Program version, and the pass-thru library's ("not installed" when unreadable).
std::string programVersion();
std::string libraryVersion();

}  // namespace cli
