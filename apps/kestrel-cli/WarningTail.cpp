#include "WarningTail.h"

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

#include <deque>
#include <mutex>

#include "utils/LogFacade.h"

namespace cli {

namespace {

constexpr size_t kKept = 16;
constexpr size_t kLineLimit = 300;

class Tail : public log4cplus::Appender {
 public:
  ~Tail() override { destructorImpl(); }
  void close() override {}

  std::vector<std::string> newest(size_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t first = lines_.size() > count ? lines_.size() - count : 0;
    return {lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.end()};
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    if (event.getLogLevel() < log4cplus::WARN_LOG_LEVEL) return;
    std::lock_guard<std::mutex> guard(lock_);
    // Messages may quote what a device or server sent.
    lines_.push_back(logfacade::escapeForLog(event.getMessage(), kLineLimit));
    if (lines_.size() > kKept) lines_.pop_front();
  }

 private:
  std::mutex lock_;  // guards lines_
  std::deque<std::string> lines_;
};

Tail* tail = nullptr;  // lives as long as the root logger holds it

}  // namespace

void startWarningTail() {
  if (tail) return;
  tail = new Tail;
  log4cplus::Logger::getRoot().addAppender(log4cplus::SharedAppenderPtr(tail));
}

std::vector<std::string> recentWarnings(size_t count) { return tail ? tail->newest(count) : std::vector<std::string>{}; }

std::string warningLines(size_t count) {
  std::string out;
  for (const std::string& line : recentWarnings(count)) out += "  log: " + line + "\n";
  return out;
}

}  // namespace cli
