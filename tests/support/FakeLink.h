#pragma once
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "connection/DeviceConnection.h"
#include "session/Frame.h"
#include "support/FrameBytes.h"

namespace sessiontest {

using Bytes = std::vector<uint8_t>;

// What the far end of a fake link does, shared between the test and the
// connection the session owns.
struct FakeLink {
  std::mutex lock;  // guards everything below
  std::deque<Bytes> reads;  // each read hands out one entry (cut to the capacity)
  bool failNextRead = false;  // after the queued reads: the link breaks
  int readCalls = 0;
  std::vector<Bytes> writes;
  // Called for each write, outside the lock: lets a test answer a request.
  std::function<void(const Bytes&)> onWrite;
  // With a descriptor the worker polls instead of reading on every pass.
  int event = -1;

  ~FakeLink() {
    if (event >= 0) ::close(event);
  }

  void useDescriptor() { event = ::eventfd(0, EFD_NONBLOCK); }

  void push(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(lock);
    reads.push_back(bytes);
    signal();
  }
  void breakLink() {
    std::lock_guard<std::mutex> guard(lock);
    failNextRead = true;
    signal();
  }
  int readCount() {
    std::lock_guard<std::mutex> guard(lock);
    return readCalls;
  }
  std::vector<Bytes> written() {
    std::lock_guard<std::mutex> guard(lock);
    return writes;
  }

  void signal() {
    if (event >= 0) {
      uint64_t one = 1;
      (void)!::write(event, &one, sizeof one);
    }
  }
};

class FakeConnection : public DeviceConnection {
 public:
  FakeConnection(std::shared_ptr<FakeLink> link, int type = Network) : link_(std::move(link)), type_(type) {}

  bool Connect() override {
    setConnected(true);
    return true;
  }
  void close() override { setConnected(false); }
  int writeData(const uint8_t* bytes, size_t count) override {
    if (!isConnected()) return -1;
    Bytes sent(bytes, bytes + count);
    std::function<void(const Bytes&)> answer;
    {
      std::lock_guard<std::mutex> guard(link_->lock);
      link_->writes.push_back(sent);
      answer = link_->onWrite;
    }
    if (answer) answer(sent);
    return static_cast<int>(count);
  }
  int readData(uint8_t* buffer, size_t capacity) override {
    if (!isConnected()) return -1;
    std::lock_guard<std::mutex> guard(link_->lock);
    ++link_->readCalls;
    if (link_->event >= 0) {
      uint64_t drained;
      (void)!::read(link_->event, &drained, sizeof drained);
    }
    if (link_->reads.empty()) {
      if (!link_->failNextRead) return 0;
      setConnected(false);
      return -1;
    }
    Bytes& next = link_->reads.front();
    size_t n = next.size() < capacity ? next.size() : capacity;
    std::copy(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n), buffer);
    next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n));
    if (next.empty()) link_->reads.pop_front();
    if (!link_->reads.empty() || link_->failNextRead) link_->signal();
    return static_cast<int>(n);
  }
  int getType() const override { return type_; }
  int pollHandle() const override { return isConnected() ? link_->event : -1; }

 private:
  std::shared_ptr<FakeLink> link_;
  int type_;
};

using testsupport::frameBytes;

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace sessiontest
