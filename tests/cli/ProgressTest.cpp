#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Progress.h"
#include "WarningTail.h"
#include "utils/LogFacade.h"

namespace {

// Draws into a temporary file and returns what was drawn.
template <typename Draw>
std::string drawn(const cli::Args& args, bool terminal, Draw draw) {
  std::FILE* file = std::tmpfile();
  {
    cli::Progress progress(args, file, terminal);
    draw(progress);
  }
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return text;
}

cli::Args argsWith(bool json, cli::Verbosity verbosity = cli::Verbosity::Normal) {
  cli::Args args;
  args.json = json;
  args.verbosity = verbosity;
  return args;
}

// Every figure drawn, in order.
std::vector<int> figures(const std::string& text, bool json) {
  const std::string mark = json ? "\"percent\":" : "] ";
  std::vector<int> out;
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
    out.push_back(std::stoi(text.substr(at + mark.size())));
  }
  return out;
}

// A terminal redraws one line at every advance; a log or a JSON reader gets a
// line per few percent of a transfer, and every step, after which the next
// transfer line is due at once.
TEST(ProgressTest, Transfer_everyAdvanceOnATerminal_everyFewPercentElsewhere) {
  struct Case {
    bool terminal;
    bool json;
    std::vector<int> shown;
  };
  const Case cases[] = {
      {true, false, {0, 3, 5, 9, 10, 48, 50, 51, 53, 100}},
      {false, false, {0, 5, 10, 48, 50, 51, 100}},
      {true, true, {0, 5, 10, 48, 50, 51, 100}},
  };
  for (const Case& c : cases) {
    const std::string text = drawn(argsWith(c.json), c.terminal, [](cli::Progress& progress) {
      for (int percent : {0, 3, 5, 9, 10, 48}) progress.transfer(percent, "sending", "");
      progress.step(50, "next part", "");
      for (int percent : {51, 53, 100}) progress.transfer(percent, "sending", "");
    });
    EXPECT_EQ(figures(text, c.json), c.shown) << c.terminal << c.json << "\n" << text;
  }
}

TEST(ProgressTest, TerminalLine_endsBeforeANoteAndAtTheEnd_jsonAndQuietCarryNoNotes) {
  auto sequence = [](cli::Progress& progress) {
    progress.step(50, "half \"way\"", ",\"part\":\"j2534Firmware\"");
    progress.note("a note");
    progress.transfer(130, "over", "");
  };
  EXPECT_EQ(drawn(argsWith(false), true, sequence),
            "\r\033[K[" + std::string(15, '#') + std::string(15, '-') + "]  50% half \"way\"\na note\n\r\033[K[" +
                std::string(30, '#') + "] 100% over\n");
  EXPECT_EQ(drawn(argsWith(true), true, sequence),
            "{\"event\":\"step\",\"percent\":50,\"text\":\"half \\\"way\\\"\",\"part\":\"j2534Firmware\"}\n"
            "{\"event\":\"transfer\",\"percent\":100,\"text\":\"over\"}\n");
  EXPECT_EQ(drawn(argsWith(false, cli::Verbosity::Quiet), true, sequence), "");
}

// A failure quotes the newest warnings, escaped, as they came.
TEST(WarningTailTest, NewestWarnings_oldestFirstAndEscaped) {
  EXPECT_EQ(cli::warningLines(3), "");
  cli::startWarningTail();
  for (int i = 0; i < 20; ++i) LOG_WARN("warning %d", i);
  LOG_INFO("not a warning");
  LOG_ERROR("reply \x1b[2J from %s", "device");

  EXPECT_EQ(cli::recentWarnings(100).size(), 16u);
  EXPECT_EQ(cli::recentWarnings(2), (std::vector<std::string>{"warning 19", "reply \\x1b[2J from device"}));
  EXPECT_EQ(cli::warningLines(2), "  log: warning 19\n  log: reply \\x1b[2J from device\n");
}

}  // namespace
