#pragma once
#include <chrono>
#include <cstdint>

// The monotonic clock and the one scalable sleep. Every fixed pause and every
// time-out of the device protocol goes through scaled(), so a test can shrink
// them all at once (KESTREL_TIME_SCALE, or setTimeScale) without touching a
// constant of the product.
namespace platform {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds on the monotonic clock; only differences mean anything.
int64_t nowMs();

// The duration multiplied by the time scale (1.0 unless a test changed it),
// never below 1 ms for a positive input.
std::chrono::milliseconds scaled(std::chrono::milliseconds d);

// Sleeps for scaled(d).
void sleepFor(std::chrono::milliseconds d);

// The scale written as text: false, scale untouched, for anything but a
// whole number above 0 and at most 1. An invalid KESTREL_TIME_SCALE is told
// once on stderr and leaves the scale at 1.
bool parseTimeScale(const char* text, double& scale);

double timeScale();
void setTimeScale(double scale);

}  // namespace platform
