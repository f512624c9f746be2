#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Cli.h"
#include "utils/CLogUtils.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: kestrel-cli COMMAND [options]\n%s", cli::commandUsage().c_str());
  return 2;
}

cli::Args parseArgs(int argc, char** argv, int first) {
  cli::Args args;
  for (int i = first; i < argc; ++i) {
    std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      args.words.push_back(word);
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    auto eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else if (name != "json" && i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) {
      value = argv[++i];
    }
    if (name == "json") args.json = true;
    args.options.emplace_back(name, value);
  }
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  cli::CommandFn command = cli::findCommand(argv[1]);
  if (!command) return usage();
  CLogUtils::instance().Install();
  int rc = command(parseArgs(argc, argv, 2));
  // Workers and sessions are never stopped; end without running static
  // destructors under them.
  std::fflush(nullptr);
  std::_Exit(rc);
}
