#include "session/Session.h"

#include <chrono>

#include "connection/ConnectionFactory.h"
#include "utils/LogFacade.h"

namespace {

std::mutex g_factoryLock;
SessionConnectionFactory g_factory;  // guarded by g_factoryLock; empty: the transports

std::unique_ptr<DeviceConnection> makeConnection(const SessionEndpoint& endpoint) {
  SessionConnectionFactory factory;
  {
    std::lock_guard<std::mutex> guard(g_factoryLock);
    factory = g_factory;
  }
  if (factory) return factory(endpoint);
  switch (endpoint.type) {
    case DeviceConnection::Network:
      return createNetworkConnection(endpoint.host, endpoint.port, endpoint.datagram);
    case DeviceConnection::Bluetooth:
      return createBluetoothConnection(endpoint.btAddress);
    case DeviceConnection::Serial:
      return createSerialConnection(endpoint.serialPort);
    default:
      return nullptr;
  }
}

uint16_t readBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Cuts frames out of received bytes. Every complete valid frame goes to
// `frames`. A candidate whose declared size has not fully arrived is kept,
// from its first byte on, until the rest comes, unless a complete valid frame
// starts after it (then it was a stray 55 AA, not a frame). Bytes that can no
// longer become part of a frame are dropped, so what stays is shorter than the
// largest frame.
void extractFrames(std::vector<uint8_t>& buffer, std::vector<Frame>& frames) {
  constexpr size_t kNone = static_cast<size_t>(-1);
  constexpr size_t kLengthEnd = 6;  // start bytes, address bytes, length field
  const uint8_t* b = buffer.data();
  const size_t n = buffer.size();
  // prefix[k] is the XOR of b[0] .. b[k-1].
  std::vector<uint8_t> prefix(n + 1, 0);
  for (size_t k = 0; k < n; ++k) prefix[k + 1] = prefix[k] ^ b[k];
  size_t waiting = kNone;  // earliest unfinished candidate
  size_t consumed = 0;     // end of the last frame taken
  size_t i = 0;
  while (i + 1 < n) {
    if (b[i] != 0x55 || b[i + 1] != 0xAA) {
      ++i;
      continue;
    }
    if (n - i < kLengthEnd) {
      if (waiting == kNone) waiting = i;
      break;
    }
    // A 16-bit length field cannot declare more than Frame::kMaxSize, but it
    // can declare less than the smallest frame.
    size_t size = static_cast<size_t>(readBe16(b + i + 4)) + 7;
    if (size < Frame::kMinSize) {
      i += 2;
      continue;
    }
    if (size > n - i) {
      if (waiting == kNone) waiting = i;
      i += 2;
      continue;
    }
    // The XOR of bytes 2 .. size-2 from the running XOR: a long run of
    // overlapping bogus candidates costs no more than one pass over the buffer.
    size_t last = i + size - 1;
    Frame frame;
    if ((prefix[last] ^ prefix[i + 2]) != b[last] || !frame.parse(b + i, size)) {
      i += 2;
      continue;
    }
    frames.push_back(std::move(frame));
    waiting = kNone;
    i += size;
    consumed = i;
  }
  size_t keepFrom = n;
  if (waiting != kNone) {
    keepFrom = waiting;
  } else if (n > consumed && b[n - 1] == 0x55) {
    keepFrom = n - 1;  // may be the first half of a start pair
  }
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(keepFrom));
}

}  // namespace

void setConnectionFactoryForTest(SessionConnectionFactory factory) {
  std::lock_guard<std::mutex> guard(g_factoryLock);
  g_factory = std::move(factory);
}

SessionEndpoint SessionEndpoint::network(const std::string& host, int port, int datagram) {
  SessionEndpoint e;
  e.type = DeviceConnection::Network;
  e.host = host;
  e.port = port;
  e.datagram = datagram;
  return e;
}

SessionEndpoint SessionEndpoint::bluetooth(const std::string& address) {
  SessionEndpoint e;
  e.type = DeviceConnection::Bluetooth;
  e.btAddress = address;
  return e;
}

SessionEndpoint SessionEndpoint::serial(const std::string& portName) {
  SessionEndpoint e;
  e.type = DeviceConnection::Serial;
  e.serialPort = portName;
  return e;
}

Session::Session(const SessionEndpoint& endpoint) : Session(endpoint, makeConnection(endpoint)) {}

Session::Session(const SessionEndpoint& endpoint, std::unique_ptr<DeviceConnection> connection)
    : endpoint_(endpoint), connection_(std::move(connection)) {
  recvBuffer_.reserve(kReadChunk);
}

Session::~Session() {
  std::lock_guard<std::mutex> guard(ioLock_);
  if (connection_) connection_->close();
}

bool Session::connect() {
  std::lock_guard<std::mutex> guard(ioLock_);
  if (!connection_ || state_.load() == Invalid) return false;
  {
    // A session already taken out of the manager's table must not open a link.
    std::lock_guard<std::mutex> waitGuard(waitLock_);
    if (withdrawn_) return false;
  }
  if (connection_->Connect()) {
    state_.store(Connected);
    LOG_INFO("connect successed.");
    return true;
  }
  LOG_WARN("connect fail, retry..");
  connection_->close();
  return false;
}

bool Session::isConnected() const { return connection_ && connection_->isConnected(); }

int Session::readData() {
  std::lock_guard<std::mutex> guard(ioLock_);
  if (!connection_ || !connection_->isConnected()) return -1;
  uint8_t chunk[kReadChunk];
  int total = 0;
  int n = 0;
  do {
    n = connection_->readData(chunk, sizeof chunk);
    if (n > 0) {
      recvBuffer_.insert(recvBuffer_.end(), chunk, chunk + n);
      total += n;
    }
  } while (n >= static_cast<int>(kReadChunk) && recvBuffer_.size() + kReadChunk <= kMaxBuffered);
  if (n < 0) {
    state_.store(Invalid);
    return n;
  }
  // A link that reads only when asked stops after the first bytes; while a
  // requester waits, the rest of its reply (or the reply after a stale one)
  // must still be read.
  if (waiters_.load() > 0) connection_->setReplyAwaited(true);
  return total;
}

std::vector<uint8_t> Session::fileCompleteFrames() {
  std::vector<uint8_t> serials;
  if (recvBuffer_.empty()) return serials;
  std::vector<Frame> cut;
  extractFrames(recvBuffer_, cut);
  if (cut.empty()) return serials;
  serials.reserve(cut.size());
  {
    std::lock_guard<std::mutex> guard(waitLock_);
    for (Frame& frame : cut) {
      serials.push_back(frame.serial());
      // An unclaimed frame with the same serial is stale: the newer one wins.
      frames_[frame.serial()] = std::move(frame);
    }
  }
  // After unlocking, so a woken requester does not block on waitLock_ at once.
  frameArrived_.notify_all();
  return serials;
}

namespace {

void logFiled(const std::vector<uint8_t>& serials) {
  for (uint8_t serial : serials) LOG_INFO("insert frame serial : %02x", serial);
}

}  // namespace

int Session::parseFrame() {
  std::vector<uint8_t> serials;
  {
    std::lock_guard<std::mutex> guard(ioLock_);
    if (recvBuffer_.size() < Frame::kMinSize) return -1;
    serials = fileCompleteFrames();
  }
  logFiled(serials);
  return serials.empty() ? -1 : 0;
}

namespace {

// Moves the first frame (ascending serial) with cmd and sub, and the given
// serial unless it is kAnySerial, into out. Frames of the pair with another
// serial answer an earlier request: they are dropped and counted.
bool takeMatching(std::map<uint8_t, Frame>& frames, Frame& out, uint8_t cmd, uint8_t sub,
                  int serial = Session::kAnySerial, int* dropped = nullptr) {
  for (auto it = frames.begin(); it != frames.end();) {
    if (it->second.command() != cmd || it->second.subCommand() != sub) {
      ++it;
    } else if (serial == Session::kAnySerial || it->second.serial() == serial) {
      out = std::move(it->second);
      frames.erase(it);
      return true;
    } else {
      it = frames.erase(it);
      if (dropped) ++*dropped;
    }
  }
  return false;
}

std::chrono::steady_clock::time_point deadlineAfter(int64_t timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

}  // namespace

int Session::waitFrame(Frame& out, uint8_t cmd, uint8_t sub, int64_t timeoutMs) {
  std::unique_lock<std::mutex> guard(waitLock_);
  frameArrived_.wait_until(guard, deadlineAfter(timeoutMs), [&] { return !frames_.empty(); });
  return takeMatching(frames_, out, cmd, sub) ? 0 : -1;
}

int Session::waitMatchingFrame(Frame& out, uint8_t cmd, uint8_t sub, int64_t timeoutMs, int serial, int* dropped) {
  struct Waiting {
    Session& s;
    explicit Waiting(Session& session) : s(session) {
      ++s.waiters_;
      // The write raised it too; this covers a read that took the first
      // bytes of the reply before we got here.
      std::lock_guard<std::mutex> guard(s.ioLock_);
      if (s.connection_) s.connection_->setReplyAwaited(true);
    }
    ~Waiting() { --s.waiters_; }
  } waiting(*this);
  std::unique_lock<std::mutex> guard(waitLock_);
  bool found = false;
  frameArrived_.wait_until(guard, deadlineAfter(timeoutMs), [&] {
    found = takeMatching(frames_, out, cmd, sub, serial, dropped);
    return found || withdrawn_;
  });
  if (found) return 0;
  return withdrawn_ ? 1 : -1;
}

int Session::dropFiledFrames(uint8_t cmd, uint8_t sub) {
  std::vector<uint8_t> serials;
  {
    std::lock_guard<std::mutex> guard(ioLock_);
    serials = fileCompleteFrames();
  }
  logFiled(serials);
  std::lock_guard<std::mutex> guard(waitLock_);
  int dropped = 0;
  for (auto it = frames_.begin(); it != frames_.end();) {
    if (it->second.command() == cmd && it->second.subCommand() == sub) {
      it = frames_.erase(it);
      ++dropped;
    } else {
      ++it;
    }
  }
  return dropped;
}

int Session::writeFrame(const Frame& frame) {
  int rc = -1;
  // Not waiting for ioLock_ while the link is down: the worker may hold it
  // for a whole connect attempt, and the caller holds the manager lock.
  if (frame.size() >= Frame::kMinSize && isConnected()) {
    std::lock_guard<std::mutex> guard(ioLock_);
    if (connection_) {
      rc = frame.isSecret() ? connection_->writeSecret(frame.bytes().data(), frame.size())
                            : connection_->writeData(frame.bytes().data(), frame.size());
    }
  }
  if (rc <= 0) LOG_WARN("write frame failed, cmd : %d, subcmd:%d", frame.command(), frame.subCommand());
  return rc;
}

bool Session::hasPendingData() {
  std::vector<uint8_t> serials;
  {
    std::lock_guard<std::mutex> guard(ioLock_);
    serials = fileCompleteFrames();
  }
  logFiled(serials);
  std::lock_guard<std::mutex> guard(waitLock_);
  return !frames_.empty();
}

void Session::close() {
  std::lock_guard<std::mutex> guard(ioLock_);
  if (connection_) connection_->close();
}

void Session::withdraw() {
  std::lock_guard<std::mutex> guard(waitLock_);
  withdrawn_ = true;
  frameArrived_.notify_all();
}

int Session::pollHandle() {
  std::lock_guard<std::mutex> guard(ioLock_);
  return connection_ && connection_->isConnected() ? connection_->pollHandle() : -1;
}

size_t Session::bufferedBytes() {
  std::lock_guard<std::mutex> guard(ioLock_);
  return recvBuffer_.size();
}

bool Session::matchesNetwork(const std::string& host, int port, int datagram) const {
  return endpoint_.type == DeviceConnection::Network && endpoint_.port == port &&
         endpoint_.datagram == datagram && endpoint_.host == host;
}

bool Session::matchesBluetooth(const std::string& address) const {
  return endpoint_.type == DeviceConnection::Bluetooth && endpoint_.btAddress == address;
}

bool Session::matchesSerial(const std::string& portName) const {
  return endpoint_.type == DeviceConnection::Serial && endpoint_.serialPort == portName;
}
