#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Cli.h"
#include "Interrupt.h"
#include "WarningTail.h"
#include "utils/CLogUtils.h"
#include "utils/ConsoleLines.h"
#include "platform/Clock.h"
#include "utils/LogFacade.h"

namespace {

int usageError(const std::string& error, const std::string& usage) {
  std::fprintf(stderr, "kestrel-cli: %s\n%s", error.c_str(), usage.c_str());
  return cli::kExitUsage;
}

bool looksSecret(const std::string& word) {
  if (word.rfind("--", 0) != 0 || word.rfind("--key-file", 0) == 0) return false;
  return word.find("key") != std::string::npos || word.find("pass") != std::string::npos ||
         word.find("psk") != std::string::npos;
}

// The command line for the log. Options that look like secrets are refused
// as unknown, but a user may still have typed one: keep its value out.
std::string loggedCommandLine(int argc, char** argv) {
  std::string line = "kestrel-cli";
  bool maskNext = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (maskNext) {
      word = "***";
      maskNext = false;
    } else if (looksSecret(word)) {
      auto eq = word.find('=');
      if (eq == std::string::npos) {
        maskNext = true;
      } else {
        word = word.substr(0, eq + 1) + "***";
      }
    }
    line += " " + logfacade::escapeForLog(word, 128);
  }
  return line;
}

int dispatch(int argc, char** argv) {
  std::vector<std::string> leading;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) leading.emplace_back(argv[i]);
  for (const std::string& word : leading) {
    if (word == "--version") {
      std::printf("kestrel-cli %s\npass-thru library %s\n", cli::programVersion().c_str(),
                  cli::libraryVersion().c_str());
      return cli::kExitOk;
    }
    if (word == "--help" || word == "-h") {
      std::fputs(cli::programHelp().c_str(), stdout);
      return cli::kExitOk;
    }
    if (word != "-v" && word != "--verbose" && word != "-q" && word != "--quiet") {
      return usageError("unknown option " + word, "see 'kestrel-cli --help'\n");
    }
  }
  if (i >= argc) return usageError("no command given", cli::programHelp());
  const std::string name = argv[i];
  std::vector<std::string> words = leading;
  for (int k = i + 1; k < argc; ++k) words.emplace_back(argv[k]);

  if (name == "help") {
    if (words.empty()) {
      std::fputs(cli::programHelp().c_str(), stdout);
      return cli::kExitOk;
    }
    const cli::CommandSpec* command = cli::findCommand(words.back());
    if (!command) return usageError("no command '" + words.back() + "'", "see 'kestrel-cli --help'\n");
    std::fputs(cli::commandHelp(*command).c_str(), stdout);
    return cli::kExitOk;
  }
  if (name == "completion") {
    if (words.size() != 1 || words[0] != "bash") return usageError("only 'completion bash' is offered", "");
    std::fputs(cli::bashCompletion().c_str(), stdout);
    return cli::kExitOk;
  }
  const cli::CommandSpec* command = cli::findCommand(name);
  if (!command) return usageError("no command '" + name + "'", "see 'kestrel-cli --help'\n");
  cli::Args args;
  std::string error;
  if (!cli::parseArgs(*command, words, args, error)) {
    return usageError(error, std::string("usage: kestrel-cli ") + command->name + " " + command->synopsis + "\n");
  }
  if (args.flag("help")) {
    std::fputs(cli::commandHelp(*command).c_str(), stdout);
    return cli::kExitOk;
  }

  CLogUtils::instance().Install();
  cli::startWarningTail();
  // Read now, so a bad KESTREL_TIME_SCALE is told before the run, not halfway through it.
  if (platform::timeScale() == 1.0 && std::getenv("KESTREL_TIME_SCALE")) {
    LOG_INFO("KESTREL_TIME_SCALE is '%s': pauses keep their full length",
             logfacade::escapeForLog(std::getenv("KESTREL_TIME_SCALE")).c_str());
  }
  consolelines::setEcho(args.verbosity == cli::Verbosity::Verbose);
  LOG_INFO("kestrel-cli %s (pid %d): %s", cli::programVersion().c_str(), static_cast<int>(getpid()),
           loggedCommandLine(argc, argv).c_str());
  const int rc = command->fn(args);
  LOG_INFO("kestrel-cli exit status %d", rc);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  cli::startSignalWatch();
  const int rc = dispatch(argc, argv);
  // Workers and sessions are never stopped; end without running static
  // destructors under them.
  std::fflush(nullptr);
  std::_Exit(rc);
}
