#include "platform/Clock.h"

#include <atomic>
#include <cstdlib>
#include <thread>

namespace platform {
namespace {

double scaleFromEnvironment() {
  const char* text = std::getenv("KESTREL_TIME_SCALE");
  if (!text || !*text) return 1.0;
  char* end = nullptr;
  double value = std::strtod(text, &end);
  return (end != text && value > 0.0 && value <= 1.0) ? value : 1.0;
}

std::atomic<double>& scaleValue() {
  static std::atomic<double> value{scaleFromEnvironment()};
  return value;
}

}  // namespace

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch()).count();
}

std::chrono::milliseconds scaled(std::chrono::milliseconds d) {
  double scale = scaleValue().load(std::memory_order_relaxed);
  if (scale == 1.0 || d.count() <= 0) return d;
  auto out = static_cast<int64_t>(static_cast<double>(d.count()) * scale);
  return std::chrono::milliseconds(out < 1 ? 1 : out);
}

void sleepFor(std::chrono::milliseconds d) {
  auto s = scaled(d);
  if (s.count() > 0) std::this_thread::sleep_for(s);
}

double timeScale() { return scaleValue().load(std::memory_order_relaxed); }

void setTimeScale(double scale) {
  if (scale > 0.0 && scale <= 1.0) scaleValue().store(scale, std::memory_order_relaxed);
}

}  // namespace platform
