#pragma once
#include <functional>
#include <string>

// SIGINT, SIGTERM and SIGHUP, taken by one thread of their own so that a
// running upgrade decides what a stop means. Without a handler a signal ends
// the process at once (exit status 5).
namespace cli {

// Blocks the signals in the calling thread and every thread started later;
// call first thing in main.
void startSignalWatch();

// While set, the first signal calls onFirst (on the watch thread) instead of
// ending the process; a second one prints lastWords and ends it.
void setInterruptHandler(std::function<void()> onFirst, std::string lastWords);
void clearInterruptHandler();

bool wasInterrupted();

}  // namespace cli
