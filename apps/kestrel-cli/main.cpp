#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Cli.h"
#include "Interrupt.h"
#include "WarningTail.h"
#include "app/RecordedRun.h"
#include "utils/CLogUtils.h"
#include "utils/ConsoleLines.h"
#include "platform/Clock.h"
#include "utils/LogFacade.h"

namespace {

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
  const cli::Invocation call = cli::parseCommandLine({argv + 1, argv + argc});
  std::fputs(call.out.c_str(), stdout);
  std::fputs(call.err.c_str(), stderr);
  if (!call.command) return call.status;
  const cli::Args& args = call.args;

  CLogUtils::instance().Install();
  cli::startWarningTail();
  // Read now, so a bad KESTREL_TIME_SCALE is told before the run, not halfway through it.
  if (platform::timeScale() == 1.0 && std::getenv("KESTREL_TIME_SCALE")) {
    LOG_INFO("KESTREL_TIME_SCALE is '%s': pauses keep their full length",
             logfacade::escapeForLog(std::getenv("KESTREL_TIME_SCALE")).c_str());
  }
  consolelines::setEcho(args.verbosity == cli::Verbosity::Verbose);
  RecordedRun::setProgram("kestrel-cli", cli::programVersion());
  RunHistory::setWarningSink([json = args.json](const std::string& text) {
    if (json) {
      std::fprintf(stderr, "{\"event\":\"warning\",\"text\":%s}\n", cli::jsonString(text).c_str());
    } else {
      std::fprintf(stderr, "warning: %s\n", text.c_str());
    }
  });
  LOG_INFO("kestrel-cli %s (pid %d): %s", cli::programVersion().c_str(), static_cast<int>(getpid()),
           loggedCommandLine(argc, argv).c_str());
  const int rc = call.command->fn(args);
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
