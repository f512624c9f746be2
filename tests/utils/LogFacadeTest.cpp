#include "utils/CLogUtils.h"
#include "utils/LogFacade.h"

#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include "support/LogCapture.h"

namespace {

class LogFacade : public ::testing::Test {
 protected:
  void SetUp() override {
    CLogUtils::instance();  // brings the logging library up, as at program start
    // Records are forced: the logger's own threshold must not hold them back.
    log4cplus::Logger::getRoot().setLogLevel(log4cplus::FATAL_LOG_LEVEL);
  }
  LogCapture log;
};

TEST_F(LogFacade, MessageOfBufferSizeIsLoggedEmptyOneShorterWhole) {
  const std::string shorter(logfacade::kMaxMessage - 1, 'a');
  const std::string full(logfacade::kMaxMessage, 'b');
  LOG_INFO("%s", shorter.c_str());
  LOG_INFO("%s", full.c_str());
  LOG_INFO("%s%d", shorter.c_str(), 7);
  auto records = log.lines();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message, shorter);
  EXPECT_EQ(records[1].message, "");
  EXPECT_EQ(records[2].message, "");
}

TEST_F(LogFacade, RecordCarriesLastPathComponentLineAndFunction) {
  const std::pair<const char*, const char*> cases[] = {{"C:\\work\\src\\utils\\LogUtils.cpp", "LogUtils.cpp"},
                                                        {"/work/main/src/utils/Settings.cpp", "Settings.cpp"},
                                                        {"Plain.cpp", "Plain.cpp"},
                                                        {"dir\\", ""}};
  for (const auto& [path, file] : cases) {
    logfacade::write(logfacade::kWarn, path, 42, "void CLogUtils::Install()", "x=%d", 5);
    auto records = log.lines();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().file, file) << path;
    EXPECT_EQ(records.back().line, 42);
    EXPECT_EQ(records.back().function, "CLogUtils::Install");
    EXPECT_EQ(records.back().level, logfacade::kWarn);
    EXPECT_EQ(records.back().message, "x=5");
  }
}

}  // namespace
