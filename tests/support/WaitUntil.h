#pragma once
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Polls condition until it holds or timeout (real time) passes.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
