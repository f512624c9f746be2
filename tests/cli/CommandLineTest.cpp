#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// The completion script, run by bash in a folder holding one file: values
// come from the command table, file names only where a file is asked for.
TEST(CommandLineTest, BashCompletion_offersWhatTheTableKnows) {
  const std::filesystem::path dir = std::filesystem::path(std::getenv("TARNFIELD_HOME")) / "completion";
  std::filesystem::create_directories(dir / "files");
  std::ofstream(dir / "completion.bash") << cli::bashCompletion();
  std::ofstream(dir / "files" / "pkg.zip") << "x";
  std::string commands;
  for (const cli::CommandSpec& c : cli::commands()) commands += std::string(commands.empty() ? "" : " ") + c.name;
  struct Case {
    std::string line;  // what is typed before TAB; a trailing space starts a new word
    std::string offered;
  };
  const Case cases[] = {
      {"kestrel-cli up", "upgrade"},
      {"kestrel-cli help ", commands},
      {"kestrel-cli completion ", "bash"},
      {"kestrel-cli upgrade ", "firmware system"},
      {"kestrel-cli upgrade firmware --dr", "--dry-run"},
      {"kestrel-cli upgrade system --package ", "pkg.zip"},
      {"kestrel-cli wifi --key-file pk", "pkg.zip"},
      {"kestrel-cli wifi --ssid ", ""},
      {"kestrel-cli info --device ", ""},
      {"kestrel-cli scan --link ", "usb lan wifi bt"},
      {"kestrel-cli frame 21 ", "--help --verbose --quiet"},
  };
  auto sorted = [](std::vector<std::string> words) {
    std::sort(words.begin(), words.end());
    return words;
  };
  for (const Case& c : cases) {
    std::vector<std::string> words = split(c.line);
    if (c.line.back() == ' ') words.emplace_back();
    std::string array;
    for (const std::string& word : words) array += " \"" + word + "\"";
    const std::string command = "cd '" + (dir / "files").string() + "' && bash -c 'source ../completion.bash; COMP_WORDS=(" +
                                array + "); COMP_CWORD=" + std::to_string(words.size() - 1) +
                                "; _kestrel_cli; echo \"${COMPREPLY[*]}\"' 2>&1";
    FILE* bash = popen(command.c_str(), "r");
    ASSERT_NE(bash, nullptr);
    std::string reply;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, bash)) reply.append(buffer, n);
    EXPECT_EQ(pclose(bash), 0) << c.line << ": " << reply;
    EXPECT_EQ(sorted(split(reply)), sorted(split(c.offered))) << c.line << ": " << reply;
  }
}

// The manual page comes from the command table: groff reads it without a
// warning and prints every command and option with a plain hyphen.
TEST(CommandLineTest, ManPage_showsEveryCommandAndOption) {
  const std::filesystem::path page = std::filesystem::path(std::getenv("TARNFIELD_HOME")) / "kestrel-cli.1";
  const cli::Invocation call = cli::parseCommandLine({"help", "--man"});
  ASSERT_EQ(call.status, 0);
  std::ofstream(page) << call.out;
  FILE* groff = popen(("groff -man -Tascii -P-cbou -ww '" + page.string() + "' 2>&1").c_str(), "r");
  ASSERT_NE(groff, nullptr);
  std::string text;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, groff)) text.append(buffer, n);
  EXPECT_EQ(pclose(groff), 0) << text;
  EXPECT_EQ(text.find("warning:"), std::string::npos) << text;
  // Justified lines may stretch any space.
  text.erase(std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }), text.end());
  std::vector<std::string> wanted = {"--version", "--quiet", "4 busy"};
  for (const cli::CommandSpec& c : cli::commands()) {
    const std::string synopsis = c.synopsis;  // headings may wrap after the first word
    wanted.push_back(std::string(c.name) + " " + synopsis.substr(0, synopsis.find(' ')));
    for (const cli::OptionSpec& o : c.options) wanted.push_back(std::string("--") + o.name);
  }
  for (const std::string& w : wanted) EXPECT_NE(text.find(w), std::string::npos) << w << " not in\n" << text;
}

}  // namespace
