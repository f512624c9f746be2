#include <gtest/gtest.h>

#include "task/SystemUpgrader.h"
#include "viewmodel/SystemProgressView.h"

namespace {

using U = SystemUpgrader;

// Each report of a run, as (stage, result, value): its text and figure, and
// which ones end the run or wait for the user's package.
TEST(SystemStageView, EachReportShowsItsTextFigureAndEnd) {
  struct Case {
    int stage, result, value;
    const char* text;
    int percent;
    ProgressState state;
    bool ended;
  };
  const Case cases[] = {
      {U::kPrepare, U::kDone, 0, "start prepare", 0, ProgressState::Running, false},
      {U::kDownload, U::kDone, 0, "start download pkg", 0, ProgressState::Running, false},
      {U::kChoose, U::kDone, 0, "start transfer pkg file", 1, ProgressState::Running, false},
      {U::kChoose, U::kNoPackage, 0, "wait select pkg file", 0, ProgressState::Running, false},
      {U::kTransfer, U::kDone, 140, "transferring", 100, ProgressState::Running, false},
      {U::kInstall, U::kDone, 40, "Transmission completed and the box is upgrading. Please wait patiently. ", 40,
       ProgressState::Running, false},
      {U::kEnd, U::kDone, 0, "upgrade success, start read device info.", 100, ProgressState::Succeeded, true},
      {U::kEnd, U::kGiveUp, 0, "", 0, ProgressState::Failed, true},
      {U::kTransfer, U::kRetry, 0, "transfer pkg failed", 0, ProgressState::Failed, true},
      {U::kPrepare, U::kRetry, 0, "upgrade failed, please retry", 0, ProgressState::Failed, true},
      {U::kInstall, U::kRejected, 0, "upgrade failed, please retry", 0, ProgressState::Failed, true},
  };
  for (const Case& c : cases) {
    const SystemStageView view = systemStageView(c.stage, c.result, c.value);
    EXPECT_TRUE(view.shown) << c.stage << "/" << c.result;
    EXPECT_EQ(view.text, c.text) << c.stage << "/" << c.result;
    EXPECT_EQ(view.percent, c.percent) << c.text;
    EXPECT_EQ(view.state, c.state) << c.text;
    EXPECT_EQ(view.ended, c.ended) << c.text;
  }
  EXPECT_FALSE(systemStageView(U::kTransfer, U::kGiveUp, 0).shown);
  EXPECT_TRUE(systemStageView(U::kPrepare, U::kNoPackage, 0).asksForPackage);
  EXPECT_FALSE(systemStageView(U::kChoose, U::kNoPackage, 0).asksForPackage);
}

}  // namespace
