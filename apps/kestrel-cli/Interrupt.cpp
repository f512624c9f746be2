#include "Interrupt.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "Cli.h"
#include "utils/LogFacade.h"

namespace cli {

namespace {

std::mutex handlerLock;  // guards onFirstSignal and lastWordsText
std::function<void()> onFirstSignal;
std::string lastWordsText;
std::atomic<int> signalsSeen{0};

sigset_t watchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

[[noreturn]] void endNow(int signal, const std::string& words) {
  if (!words.empty()) std::fprintf(stderr, "\n%s\n", words.c_str());
  LOG_WARN("kestrel-cli stopped by signal %d; exit status %d", signal, kExitInterrupted);
  std::fflush(nullptr);
  std::_Exit(kExitInterrupted);
}

void watch() {
  const sigset_t set = watchedSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    const int seen = ++signalsSeen;
    std::function<void()> first;
    std::string words;
    {
      std::lock_guard<std::mutex> guard(handlerLock);
      first = onFirstSignal;
      words = lastWordsText;
    }
    if (!first) endNow(signal, "interrupted");
    if (seen > 1) endNow(signal, words);
    LOG_WARN("signal %d: the running operation is asked to stop", signal);
    first();
  }
}

}  // namespace

void startSignalWatch() {
  const sigset_t set = watchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(watch).detach();
}

void setInterruptHandler(std::function<void()> onFirst, std::string lastWords) {
  std::lock_guard<std::mutex> guard(handlerLock);
  onFirstSignal = std::move(onFirst);
  lastWordsText = std::move(lastWords);
}

void clearInterruptHandler() { setInterruptHandler(nullptr, ""); }

bool wasInterrupted() { return signalsSeen > 0; }

}  // namespace cli
