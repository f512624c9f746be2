#include "utils/CLogUtils.h"
#include "utils/LogFacade.h"

#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct Record {
  int level;
  std::string message;
  std::string file;
  int line;
  std::string function;
};

class CaptureAppender : public log4cplus::Appender {
 public:
  ~CaptureAppender() override { destructorImpl(); }
  void close() override {}

  std::vector<Record> records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& e) override {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back({e.getLogLevel(), e.getMessage(), e.getFile(), e.getLine(), e.getFunction()});
  }

 private:
  std::mutex mutex_;
  std::vector<Record> records_;
};

class LogFacade : public ::testing::Test {
 protected:
  void SetUp() override {
    CLogUtils::instance();  // brings the logging library up, as at program start
    capture_ = new CaptureAppender();
    appender_ = log4cplus::SharedAppenderPtr(capture_);
    root_ = log4cplus::Logger::getRoot();
    root_.removeAllAppenders();
    root_.addAppender(appender_);
    // Records are forced: the logger's own threshold must not hold them back.
    root_.setLogLevel(log4cplus::FATAL_LOG_LEVEL);
  }
  void TearDown() override { root_.removeAppender(appender_); }

  log4cplus::Logger root_;
  CaptureAppender* capture_ = nullptr;
  log4cplus::SharedAppenderPtr appender_;
};

TEST_F(LogFacade, MessageOfBufferSizeIsLoggedEmptyOneShorterWhole) {
  const std::string shorter(logfacade::kMaxMessage - 1, 'a');
  const std::string full(logfacade::kMaxMessage, 'b');
  LOG_INFO("%s", shorter.c_str());
  LOG_INFO("%s", full.c_str());
  LOG_INFO("%s%d", shorter.c_str(), 7);
  auto records = capture_->records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message, shorter);
  EXPECT_EQ(records[1].message, "");
  EXPECT_EQ(records[2].message, "");
}

TEST_F(LogFacade, RecordCarriesLastPathComponentLineAndFunction) {
  struct Case {
    const char* path;
    const char* file;
  };
  for (const Case& c : {Case{"C:\\work\\src\\utils\\LogUtils.cpp", "LogUtils.cpp"},
                        Case{"/work/main/src/utils/Settings.cpp", "Settings.cpp"},
                        Case{"Plain.cpp", "Plain.cpp"}, Case{"dir\\", ""}}) {
    logfacade::write(logfacade::kWarn, c.path, 42, "void CLogUtils::Install()", "x=%d", 5);
    auto records = capture_->records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().file, c.file) << c.path;
    EXPECT_EQ(records.back().line, 42);
    EXPECT_EQ(records.back().function, "CLogUtils::Install");
    EXPECT_EQ(records.back().level, logfacade::kWarn);
    EXPECT_EQ(records.back().message, "x=5");
  }
}

TEST_F(LogFacade, AppenderThresholdStillFilters) {
  appender_->setThreshold(log4cplus::WARN_LOG_LEVEL);
  LOG_INFO("dropped");
  LOG_WARN("kept %s", "here");
  auto records = capture_->records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "kept here");
  EXPECT_EQ(records[0].level, logfacade::kWarn);
}

}  // namespace
