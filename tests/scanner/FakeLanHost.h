#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "support/LoopbackSockets.h"
#include "support/SimLinks.h"

// Another host on the (loopback) LAN: hears the discovery broadcasts next to
// the virtual device and answers from 127.0.0.3 with whatever a test makes
// up. With `repeat` set it keeps sending its answer to the last
// requester, `every` apart (zero: as fast as it can), until it is destroyed.
struct LanHostOptions {
  bool repeat = false;
  std::chrono::microseconds every{0};
};

class FakeLanHost {
 public:
  using Bytes = std::vector<uint8_t>;
  // The datagrams to send for one request; none to stay silent.
  using Answer = std::function<std::vector<Bytes>(const Bytes& request)>;

  explicit FakeLanHost(Answer answer, LanHostOptions options = {})
      : answer_(std::move(answer)), options_(options),
        listen_(SOCK_DGRAM, "127.255.255.255", scantest::processLinks().discoveryPort), send_(SOCK_DGRAM, "127.0.0.3") {
    if (listen_.fd() >= 0 && send_.fd() >= 0) thread_ = std::thread([this] { loop(); });
  }

  ~FakeLanHost() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  bool ok() const { return thread_.joinable(); }
  int sent() const { return sent_.load(); }

 private:
  void loop() {
    sockaddr_in requester{};
    std::vector<Bytes> last;
    while (!stop_) {
      const bool repeating = options_.repeat && !last.empty();
      if (testsupport::readable(listen_.fd(), repeating ? 0 : 5)) {
        uint8_t buffer[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(listen_.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) {
          std::vector<Bytes> answer = answer_(Bytes(buffer, buffer + n));
          if (!answer.empty()) {
            requester = from;
            last = answer;
            sendAll(last, requester);
          }
          continue;
        }
      }
      if (!repeating) continue;
      sendAll(last, requester);
      if (options_.every.count() > 0) std::this_thread::sleep_for(options_.every);
    }
  }
  void sendAll(const std::vector<Bytes>& datagrams, const sockaddr_in& to) {
    for (const Bytes& d : datagrams) {
      if (::sendto(send_.fd(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) ++sent_;
    }
  }

  Answer answer_;
  LanHostOptions options_;
  testsupport::LocalSocket listen_;
  testsupport::LocalSocket send_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::thread thread_;
};
