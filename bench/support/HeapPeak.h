#pragma once
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace benchfig {

// The heap in use above the start, highest seen while work runs (sampled
// every 200 us on a thread of its own).
template <class Work>
size_t heapPeakDuring(Work&& work) {
  malloc_trim(0);
  const size_t baseline = mallinfo2().uordblks;
  std::atomic<bool> done{false};
  std::atomic<size_t> high{baseline};
  std::thread sampler([&] {
    while (!done) {
      const size_t now = mallinfo2().uordblks;
      if (now > high) high = now;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  work();
  done = true;
  sampler.join();
  return high > baseline ? high - baseline : 0;
}

}  // namespace benchfig
