#include "platform/Clock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace platform {
namespace {

bool validScale(double scale) { return scale > 0.0 && scale <= 1.0; }

// Read before any logging exists, so a bad value is told on stderr: a test
// run at full length without a word is hard to explain.
double scaleFromEnvironment() {
  const char* text = std::getenv("KESTREL_TIME_SCALE");
  if (!text || !*text) return 1.0;
  double value = 1.0;
  if (parseTimeScale(text, value)) return value;
  std::fprintf(stderr, "KESTREL_TIME_SCALE='%.40s' ignored: it must be a number above 0 and at most 1; protocol "
               "pauses keep their full length\n", text);
  return 1.0;
}

std::atomic<double>& scaleValue() {
  static std::atomic<double> value{scaleFromEnvironment()};
  return value;
}

}  // namespace

bool parseTimeScale(const char* text, double& scale) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !validScale(value)) return false;
  scale = value;
  return true;
}

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
  if (validScale(scale)) scaleValue().store(scale, std::memory_order_relaxed);
}

}  // namespace platform
