#include "viewmodel/OverallProgress.h"

#include <algorithm>

int OverallProgress::step(int percent, bool failed) {
  if (failed) return std::clamp(percent, 0, 100);
  shown_ = std::max(shown_, std::clamp(percent, 0, 100));
  stepFigure_ = shown_;
  return shown_;
}

int OverallProgress::transfer(uint64_t done, uint64_t total, int upTo) {
  if (total == 0 || done > total || upTo <= stepFigure_) return shown_;
  const int figure = stepFigure_ + static_cast<int>((upTo - stepFigure_) * done / total);
  shown_ = std::max(shown_, std::min(figure, 100));
  return shown_;
}
