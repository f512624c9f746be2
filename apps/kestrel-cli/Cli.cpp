#include "Cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/AppState.h"
#include "app/Messages.h"
#include "app/TextNotifier.h"
#include "schedule/ScheduleManager.h"
#include "utils/LogFacade.h"
#include "utils/Settings.h"
#include "utils/TextEscape.h"

#ifndef KESTREL_CLI_VERSION
#define KESTREL_CLI_VERSION "0.0.0"
#endif

namespace cli {

namespace {

using namespace std::chrono_literals;

// The task pauses after its last report; the process waits for it so no
// worker is still running while the program's statics go away.
constexpr auto kTaskEndWait = 10s;
constexpr auto kIdlePoll = 10ms;

std::vector<CommandSpec>& table() {
  static std::vector<CommandSpec> list;
  return list;
}

const OptionSpec* findOption(const std::vector<OptionSpec>& options, const std::string& name) {
  for (const OptionSpec& o : options) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

// "usb|lan" is a list of the only values; "NAME|ADDRESS" names a free value.
bool isChoiceList(const std::string& text) {
  if (text.find('|') == std::string::npos) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '|'; });
}

bool isChoice(const OptionSpec& o) { return o.value && isChoiceList(o.value); }

// The words of a choice list, for compgen.
std::string choiceWords(std::string list) {
  std::replace(list.begin(), list.end(), '|', ' ');
  return list;
}

// "firmware|system" as the synopsis's first word: the command's first word is one of them.
std::string firstWordChoices(const CommandSpec& command) {
  const std::string synopsis = command.synopsis;
  const std::string first = synopsis.substr(0, synopsis.find(' '));
  return isChoiceList(first) ? choiceWords(first) : "";
}

bool acceptsChoice(const OptionSpec& o, const std::string& value) {
  std::string choices = std::string("|") + o.value + "|";
  return !value.empty() && choices.find("|" + value + "|") != std::string::npos;
}

std::string optionSynopsis(const OptionSpec& o) {
  std::string text = std::string("--") + o.name;
  if (o.value) text += std::string(" ") + o.value;
  return text;
}

void appendOptionHelp(std::string& out, const std::vector<OptionSpec>& options) {
  for (const OptionSpec& o : options) {
    std::string left = "  " + optionSynopsis(o);
    if (left.size() < 30) left.resize(30, ' ');
    else left += "\n" + std::string(30, ' ');
    out += left + o.help + "\n";
  }
}

const char kExitHelp[] =
    "exit status:\n"
    "  0  success (also: nothing to do, the device is already up to date)\n"
    "  1  the operation failed (the message says which step)\n"
    "  2  usage error: unknown option, bad value, missing argument\n"
    "  3  no device reached, or several found and none chosen\n"
    "  4  busy: another process is upgrading or configuring the device\n"
    "  5  interrupted by SIGINT/SIGTERM\n";

}  // namespace

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

CommandRegistration::CommandRegistration(CommandSpec command) {
  // Alphabetical, whatever order the files' statics are built in.
  auto& list = table();
  auto at = std::find_if(list.begin(), list.end(),
                         [&](const CommandSpec& c) { return std::strcmp(c.name, command.name) > 0; });
  list.insert(at, std::move(command));
}

const std::vector<CommandSpec>& commands() { return table(); }

const CommandSpec* findCommand(const std::string& name) {
  for (const CommandSpec& c : table()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

const std::vector<OptionSpec>& globalOptions() {
  static const std::vector<OptionSpec> options = {
      {"help", nullptr, "show this help (also -h)"},
      {"verbose", nullptr, "also show the scanners' and tasks' diagnostic lines on stderr (also -v)"},
      {"quiet", nullptr, "print results only: no progress, no hints (also -q)"},
  };
  return options;
}

std::vector<OptionSpec> deviceOptions() {
  return {{"link", "usb|lan|wifi|bt", "for this run, look for the device on this link"},
          {"device", "NAME|ADDRESS", "for this run, the device of that name, address or port (with --link)"}};
}

bool parseArgs(const CommandSpec& command, const std::vector<std::string>& words, Args& args, std::string& error) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "-v" || word == "--verbose") {
      args.verbosity = Verbosity::Verbose;
      continue;
    }
    if (word == "-q" || word == "--quiet") {
      args.verbosity = Verbosity::Quiet;
      continue;
    }
    if (word == "-h") {
      args.options.emplace_back("help", "");
      continue;
    }
    if (word.rfind("--", 0) != 0) {
      if (word.size() > 1 && word[0] == '-') {
        error = "unknown option " + word;
        return false;
      }
      args.words.push_back(word);
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    bool hasValue = false;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    const OptionSpec* o = findOption(command.options, name);
    if (!o) o = findOption(globalOptions(), name);
    if (!o) {
      error = "unknown option --" + name + " for '" + command.name + "'";
      return false;
    }
    if (!o->value) {
      if (hasValue) {
        error = "option --" + name + " takes no value";
        return false;
      }
    } else if (!hasValue) {
      if (i + 1 >= words.size()) {
        error = "option --" + name + " needs a value (" + o->value + ")";
        return false;
      }
      value = words[++i];
      hasValue = true;
    }
    if (isChoice(*o) && !acceptsChoice(*o, value)) {
      error = "bad value '" + value + "' for --" + name + " (expected " + o->value + ")";
      return false;
    }
    if (name == "json") args.json = true;
    args.options.emplace_back(name, value);
  }
  return true;
}

std::string programHelp() {
  std::string out =
      "usage: kestrel-cli COMMAND [options]\n"
      "       kestrel-cli help [COMMAND] | --version\n\n"
      "Finds, reads and upgrades the pass-thru device, and sets its Wi-Fi.\n\ncommands:\n";
  for (const CommandSpec& c : table()) {
    std::string left = std::string("  ") + c.name;
    left.resize(14, ' ');
    out += left + c.summary + "\n";
  }
  out += "  help          show the options of one command (help COMMAND)\n"
         "  completion    print a bash completion script (completion bash)\n";
  out += "\noptions of every command:\n";
  appendOptionHelp(out, globalOptions());
  out += "  --version                   print the program's and the pass-thru library's versions\n\n";
  out += kExitHelp;
  out += "\n'kestrel-cli help COMMAND' shows the options of one command.\n";
  return out;
}

std::string exitStatusHelp() { return kExitHelp; }

std::string commandHelp(const CommandSpec& command) {
  std::string out = std::string("usage: kestrel-cli ") + command.name + " " + command.synopsis + "\n\n" + command.summary + "\n";
  if (command.details && *command.details) out += std::string("\n") + command.details;
  if (!command.options.empty()) {
    out += "\noptions:\n";
    appendOptionHelp(out, command.options);
  }
  out += "\n";
  out += kExitHelp;
  return out;
}

std::string bashCompletion() {
  std::string names;
  for (const CommandSpec& c : table()) names += std::string(names.empty() ? "" : " ") + c.name;
  // Without -o default, an empty reply offers nothing: no file names for a free value.
  std::string out =
      "# bash completion for kestrel-cli; load with: source <(kestrel-cli completion bash)\n"
      "_kestrel_cli() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd=${COMP_WORDS[1]}\n"
      "  COMPREPLY=()\n"
      "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
      "    COMPREPLY=($(compgen -W \"" + names + " help completion --help --version\" -- \"$cur\")); return\n"
      "  fi\n"
      "  case \"$cmd\" in\n"
      "    help) [ \"$COMP_CWORD\" -eq 2 ] && COMPREPLY=($(compgen -W \"" + names + "\" -- \"$cur\"));;\n"
      "    completion) [ \"$COMP_CWORD\" -eq 2 ] && COMPREPLY=($(compgen -W \"bash\" -- \"$cur\"));;\n";
  for (const CommandSpec& c : table()) {
    std::string flags = "--help --verbose --quiet";
    std::string values;
    for (const OptionSpec& o : c.options) {
      flags += std::string(" --") + o.name;
      if (!o.value) continue;
      std::string reply;
      if (isChoice(o)) {
        reply = " COMPREPLY=($(compgen -W \"" + choiceWords(o.value) + "\" -- \"$cur\"));";
      } else if (std::strcmp(o.value, "FILE") == 0) {
        reply = " COMPREPLY=($(compgen -f -- \"$cur\"));";
      }
      values += std::string("      --") + o.name + ")" + reply + " return;;\n";
    }
    std::string words;
    if (const std::string first = firstWordChoices(c); !first.empty()) {
      words = "      if [ \"$COMP_CWORD\" -eq 2 ]; then COMPREPLY=($(compgen -W \"" + first +
              "\" -- \"$cur\")); return; fi\n";
    }
    out += std::string("    ") + c.name + ")\n      case \"$prev\" in\n" + values + "      esac\n" + words +
           "      COMPREPLY=($(compgen -W \"" + flags + "\" -- \"$cur\"));;\n";
  }
  out += "  esac\n}\ncomplete -F _kestrel_cli kestrel-cli\n";
  return out;
}

namespace {

Invocation usageError(const std::string& error, const std::string& usage) {
  Invocation call;
  call.status = kExitUsage;
  call.err = "kestrel-cli: " + error + "\n" + usage;
  return call;
}

Invocation printed(const std::string& text) {
  Invocation call;
  call.out = text;
  return call;
}

}  // namespace

Invocation parseCommandLine(const std::vector<std::string>& argv) {
  std::vector<std::string> leading;
  size_t i = 0;
  for (; i < argv.size() && argv[i].rfind('-', 0) == 0; ++i) leading.push_back(argv[i]);
  for (const std::string& word : leading) {
    if (word == "--version") {
      return printed("kestrel-cli " + programVersion() + "\npass-thru library " + libraryVersion() + "\n");
    }
    if (word == "--help" || word == "-h") return printed(programHelp());
    if (word != "-v" && word != "--verbose" && word != "-q" && word != "--quiet") {
      return usageError("unknown option " + word, "see 'kestrel-cli --help'\n");
    }
  }
  if (i >= argv.size()) return usageError("no command given", programHelp());
  const std::string& name = argv[i];
  std::vector<std::string> words = leading;
  words.insert(words.end(), argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());

  if (name == "help") {
    if (words.empty()) return printed(programHelp());
    if (words.size() == 1 && words[0] == "--man") return printed(manPage());
    const CommandSpec* command = findCommand(words.back());
    if (!command) return usageError("no command '" + words.back() + "'", "see 'kestrel-cli --help'\n");
    return printed(commandHelp(*command));
  }
  if (name == "completion") {
    if (words.size() != 1 || words[0] != "bash") return usageError("only 'completion bash' is offered", "");
    return printed(bashCompletion());
  }
  const CommandSpec* command = findCommand(name);
  if (!command) return usageError("no command '" + name + "'", "see 'kestrel-cli --help'\n");
  Invocation call;
  std::string error;
  if (!parseArgs(*command, words, call.args, error)) {
    return usageError(error, std::string("usage: kestrel-cli ") + command->name + " " + command->synopsis + "\n");
  }
  if (call.args.flag("help")) return printed(commandHelp(*command));
  call.command = command;
  return call;
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

void waitForIdleWorker() {
  auto end = std::chrono::steady_clock::now() + kTaskEndWait;
  while (ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) != -1 &&
         std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(kIdlePoll);
  }
}

bool printShowText(const AppMessage& message, const Args& args) {
  if (message.id != UM_SHOW_TEXT) return false;
  if (!args.quiet()) std::fprintf(stderr, "%s\n", message.text.c_str());
  return true;
}

std::string validUtf8(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(text[i + k]) >> 6) == 0x2;
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    }
  }
  return out;
}

std::string jsonString(const std::string& text) { return "\"" + jsonEscape(validUtf8(text)) + "\""; }

std::string jsonOrNull(const std::string& text) { return text.empty() ? "null" : jsonString(text); }

std::string shown(const std::string& text) { return logfacade::escapeForLog(text, 128); }

std::string programVersion() { return KESTREL_CLI_VERSION; }

std::string libraryVersion() {
  std::string version = readFileVersion(j2534LibraryPath(), 4);
  return version.empty() ? "not installed (" + j2534LibraryPath() + ")" : version;
}

}  // namespace cli
