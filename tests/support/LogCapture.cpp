#include "support/LogCapture.h"

#include <log4cplus/appender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <condition_variable>
#include <mutex>

struct LogCapture::State {
  mutable std::mutex mutex;  // guards lines
  std::condition_variable changed;
  std::vector<Line> lines;
};

namespace {

// Kept for the whole process, like the facade's own: log4cplus must outlive
// every thread that may still log.
__attribute__((used)) log4cplus::Initializer* keptInitializer = nullptr;

class CaptureAppender : public log4cplus::Appender {
 public:
  explicit CaptureAppender(std::shared_ptr<LogCapture::State> state) : state_(std::move(state)) {}
  ~CaptureAppender() override { destructorImpl(); }
  void close() override {}

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    {
      std::lock_guard lock(state_->mutex);
      state_->lines.push_back(
          {event.getLogLevel(), event.getMessage(), event.getFunction(), event.getFile(), event.getLine()});
    }
    state_->changed.notify_all();
  }

 private:
  std::shared_ptr<LogCapture::State> state_;
};

}  // namespace

struct LogCapture::Attachment {
  log4cplus::SharedAppenderPtr appender;
};

LogCapture::LogCapture() : state_(std::make_shared<State>()), attachment_(std::make_unique<Attachment>()) {
  static std::once_flag once;
  std::call_once(once, [] { keptInitializer = new log4cplus::Initializer(); });
  attachment_->appender = log4cplus::SharedAppenderPtr(new CaptureAppender(state_));
  log4cplus::Logger::getRoot().addAppender(attachment_->appender);
}


LogCapture::~LogCapture() { log4cplus::Logger::getRoot().removeAppender(attachment_->appender); }

std::vector<LogCapture::Line> LogCapture::lines() const {
  std::lock_guard lock(state_->mutex);
  return state_->lines;
}

size_t LogCapture::count(std::string_view text, int level) const {
  std::lock_guard lock(state_->mutex);
  size_t n = 0;
  for (const Line& line : state_->lines) {
    if ((level == 0 || line.level == level) && line.message.find(text) != std::string::npos) ++n;
  }
  return n;
}

bool LogCapture::waitFor(std::string_view text, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] {
    for (const Line& line : state_->lines) {
      if (line.message.find(text) != std::string::npos) return true;
    }
    return false;
  });
}

void LogCapture::clear() {
  std::lock_guard lock(state_->mutex);
  state_->lines.clear();
}

std::string LogCapture::dump() const {
  std::lock_guard lock(state_->mutex);
  std::string out;
  for (const Line& line : state_->lines) {
    out += std::to_string(line.level) + " " + line.function + " - " + line.message + "\n";
  }
  return out;
}
