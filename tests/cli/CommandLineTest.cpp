#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Cli.h"

namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Help goes to stdout with status 0; every usage error names what was wrong,
// on stderr, with status 2, before any command runs.
TEST(CommandLineTest, HelpAndUsageErrors_areDecidedBeforeAnyCommandRuns) {
  struct Case {
    const char* line;
    int status;
    const char* out;  // expected in out ("" = must be empty)
    const char* err;  // expected in err ("" = must be empty)
  };
  const Case cases[] = {
      {"--help", 0, "usage: kestrel-cli COMMAND", ""},
      {"-v help upgrade", 0, "usage: kestrel-cli upgrade firmware|system", ""},
      {"info -h", 0, "4  busy: another process", ""},
      {"--version", 0, "kestrel-cli 1.0.0\npass-thru library ", ""},
      {"completion bash", 0, "complete -F _kestrel_cli kestrel-cli", ""},
      {"", 2, "", "no command given"},
      {"flash", 2, "", "no command 'flash'"},
      {"help flash", 2, "", "no command 'flash'"},
      {"completion zsh", 2, "", "only 'completion bash' is offered"},
      {"-x info", 2, "", "unknown option -x\n"},
      {"info --bogus", 2, "", "unknown option --bogus for 'info'\nusage: kestrel-cli info "},
      {"info -x", 2, "", "unknown option -x"},
      {"scan --link serial", 2, "", "bad value 'serial' for --link (expected usb|lan|wifi|bt)"},
      {"scan --link=", 2, "", "bad value '' for --link"},
      {"scan --link", 2, "", "option --link needs a value"},
      {"scan --json=yes --link usb", 2, "", "option --json takes no value"},
  };
  for (const Case& c : cases) {
    const cli::Invocation call = cli::parseCommandLine(split(c.line));
    EXPECT_EQ(call.command, nullptr) << c.line;
    EXPECT_EQ(call.status, c.status) << c.line;
    for (auto [text, wanted] : {std::pair{call.out, c.out}, {call.err, c.err}}) {
      if (*wanted == '\0') {
        EXPECT_EQ(text, "") << c.line;
      } else {
        EXPECT_NE(text.find(wanted), std::string::npos) << c.line << ": was\n" << text;
      }
    }
  }
}

// Options go with the command whichever side of its name they stand, in
// either spelling of a value.
TEST(CommandLineTest, Command_getsItsWordsAndOptions) {
  const cli::Invocation call =
      cli::parseCommandLine(split("-q upgrade system --package=a.zip --link lan --device -x --dry-run -v"));
  ASSERT_NE(call.command, nullptr) << call.err;
  EXPECT_STREQ(call.command->name, "upgrade");
  EXPECT_EQ(call.args.words, std::vector<std::string>{"system"});
  EXPECT_EQ(call.args.option("package"), "a.zip");
  EXPECT_EQ(call.args.option("link"), "lan");
  EXPECT_EQ(call.args.option("device"), "-x");
  EXPECT_TRUE(call.args.flag("dry-run"));
  EXPECT_FALSE(call.args.flag("force"));
  EXPECT_FALSE(call.args.json);
  EXPECT_EQ(call.args.verbosity, cli::Verbosity::Verbose);
  EXPECT_TRUE(cli::parseCommandLine(split("scan --json --link usb")).args.json);
}

}  // namespace
