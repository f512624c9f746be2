#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

constexpr int kBarWidth = 30;
// JSON and non-terminal output get a transfer line per this many percent.
constexpr int kTransferStep = 5;

}  // namespace

Progress::Progress(const Args& args) : Progress(args, stderr, isatty(STDERR_FILENO) == 1) {}

Progress::Progress(const Args& args, std::FILE* out, bool terminal)
    : out_(out), json_(args.json), quiet_(args.quiet()), tty_(terminal) {}

Progress::~Progress() { finish(); }

void Progress::finish() {
  std::lock_guard<std::mutex> guard(lock_);
  endLine();
}

void Progress::endLine() {
  if (drawn_ && tty_ && !json_) std::fputc('\n', out_);
  drawn_ = false;
}

void Progress::draw(int percent, const std::string& text, const std::string& fields, const char* event) {
  percent = std::clamp(percent, 0, 100);
  if (quiet_) return;
  if (json_) {
    std::fprintf(out_, "{\"event\":\"%s\",\"percent\":%d,\"text\":%s%s}\n", event, percent, jsonString(text).c_str(),
                 fields.c_str());
    std::fflush(out_);
    return;
  }
  const int filled = percent * kBarWidth / 100;
  const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
  if (tty_) {
    std::fprintf(out_, "\r\033[K[%s] %3d%% %s", bar.c_str(), percent, text.c_str());
    drawn_ = true;
  } else {
    std::fprintf(out_, "[%s] %3d%% %s\n", bar.c_str(), percent, text.c_str());
  }
  std::fflush(out_);
}

void Progress::step(int percent, const std::string& text, const std::string& fields) {
  std::lock_guard<std::mutex> guard(lock_);
  lastTransferPercent_ = -100;
  draw(percent, text, fields, "step");
}

void Progress::transfer(int percent, const std::string& text, const std::string& fields) {
  std::lock_guard<std::mutex> guard(lock_);
  if ((!tty_ || json_) && percent < 100 && percent - lastTransferPercent_ < kTransferStep) return;
  lastTransferPercent_ = percent;
  draw(percent, text, fields, "transfer");
}

void Progress::note(const std::string& text) {
  if (json_ || quiet_) return;
  std::lock_guard<std::mutex> guard(lock_);
  endLine();
  std::fprintf(out_, "%s\n", text.c_str());
}

}  // namespace cli
