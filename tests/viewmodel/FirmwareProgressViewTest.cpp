#include <gtest/gtest.h>

#include "task/FirmwareUpgrader.h"
#include "viewmodel/FirmwareProgressView.h"

namespace {

using U = FirmwareUpgrader;

// A whole run's reports in order: the overall figure never goes back until the
// run fails, and only the last part's end (or a failure) ends the run.
TEST(FirmwareStepView, EachReportShowsItsTextFigureAndEnd) {
  struct Case {
    int part, step;
    const char* text;
    int percent;
    ProgressState state;
    bool ended;
  };
  const Case cases[] = {
      {U::kPartDownload, U::kStepPrepare, "upgrade download: start prepare", 10, ProgressState::Running, false},
      {U::kPartDownload, U::kStepTransfer, "upgrade download: prepare Ok, start burn firmware", 30,
       ProgressState::Running, false},
      {U::kPartDownload, U::kStepDone, "upgrade download: upgrade ok! start upgrade J2534", 50, ProgressState::Running,
       false},
      {U::kPartDownload, U::kStepSkipped, "upgrade download: not sent", 50, ProgressState::Running, false},
      {U::kPartJ2534, U::kStepPrepare, "upgrade J2534: start prepare", 60, ProgressState::Running, false},
      {U::kPartJ2534, U::kStepTransfer, "upgrade J2534: prepare Ok, start burn firmware", 80, ProgressState::Running,
       false},
      {U::kPartJ2534, U::kStepDone, "Success! Please restart and reinsert the product.", 100,
       ProgressState::Succeeded, true},
      {U::kPartJ2534, U::kStepSkipped, "upgrade J2534: not sent", 100, ProgressState::Succeeded, true},
      {U::kPartDownload, U::kStepPrepareFailed, "upgrade download: prepare err,  please retry", 0,
       ProgressState::Failed, true},
      {U::kPartJ2534, U::kStepFailed, "upgrade J2534: burn firmware failed, please retry", 0, ProgressState::Failed,
       true},
      {U::kPartTask, U::kStepFailed, "no connection to the device", 0, ProgressState::Failed, true},
  };
  for (const Case& c : cases) {
    const FirmwareStepView view = firmwareStepView(c.part, c.step);
    EXPECT_EQ(view.text, c.text) << c.part << "/" << c.step;
    EXPECT_EQ(view.percent, c.percent) << c.text;
    EXPECT_EQ(view.state, c.state) << c.text;
    EXPECT_EQ(view.ended, c.ended) << c.text;
  }
}

}  // namespace
