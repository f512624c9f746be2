#pragma once
#include <cstdint>

// One figure for a whole run that only moves forward, whatever the order of
// its reports: a step's own figure, a transfer's share of the room up to the
// figure the next step will show. A failure shows its own figure (the run
// ends there).
class OverallProgress {
 public:
  int step(int percent, bool failed = false);
  // done of total bytes sent, filling the room from the last step up to upTo.
  int transfer(uint64_t done, uint64_t total, int upTo);

 private:
  int shown_ = 0;
  int stepFigure_ = 0;
};
