#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "viewmodel/FirmwareProgressView.h"
#include "viewmodel/OverallProgress.h"
#include "viewmodel/SystemProgressView.h"

namespace {

// The reports of whole runs, in the order the tasks send them, with
// transfers of every size between: the figure never goes back but at a
// failure, and a run that ends well ends at 100.
TEST(OverallProgress, OnlyMovesForwardThroughWholeRuns) {
  std::mt19937 random(20261207);
  for (int run = 0; run < 50; ++run) {
    OverallProgress firmware;
    int last = 0;
    const uint64_t total = 1 + random() % 900000;
    for (int part : {0, 1}) {
      for (int step : {0, 5}) {
        const int figure = firmware.step(firmwareStepView(part, step).percent);
        EXPECT_GE(figure, last);
        last = figure;
      }
      for (uint64_t done = 0; done <= total; done += 1 + random() % (total / 7 + 1)) {
        const int figure = firmware.transfer(done, total, part == 0 ? 50 : 100);
        EXPECT_GE(figure, last) << done << " of " << total;
        EXPECT_LE(figure, part == 0 ? 50 : 100);
        last = figure;
      }
      const int figure = firmware.step(firmwareStepView(part, 7).percent);
      EXPECT_GE(figure, last);
      last = figure;
    }
    EXPECT_EQ(last, 100);
  }
  // The system's own figures go 100, 0, 100 around the install.
  OverallProgress system;
  int last = 0;
  const int reports[][3] = {{1, 0, 0}, {2, 0, 0}, {4, 0, 40}, {4, 0, 100}, {5, 0, 100}, {5, 0, 0}, {6, 0, 0}};
  for (const auto& r : reports) {
    const int figure = system.step(systemStageView(r[0], r[1], r[2]).percent);
    EXPECT_GE(figure, last) << r[0] << "," << r[1] << "," << r[2];
    last = figure;
  }
  EXPECT_EQ(last, 100);
  EXPECT_EQ(system.step(0, true), 0);  // a failure shows its own figure
}

}  // namespace
