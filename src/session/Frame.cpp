#include "session/Frame.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<uint8_t> g_serial{0};

uint16_t readBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Text of n bytes at p, cut at the first zero byte.
std::string cutAtZero(const uint8_t* p, size_t n) {
  const void* zero = std::memchr(p, 0, n);
  size_t len = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - p) : n;
  return std::string(reinterpret_cast<const char*>(p), len);
}

}  // namespace

bool Frame::build(uint8_t addr1, uint8_t addr2, uint8_t cmd, uint8_t sub, const uint8_t* data, unsigned length) {
  if ((data == nullptr) != (length == 0)) return false;
  if (length > kMaxDataLength) return false;
  uint16_t l = static_cast<uint16_t>(length + 3);
  uint8_t serial = static_cast<uint8_t>(g_serial.fetch_add(1, std::memory_order_relaxed) + 1);
  bytes_.clear();
  bytes_.reserve(length + kMinSize);
  bytes_ = {0x55, 0xAA, addr1, addr2, static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l & 0xFF), serial, cmd, sub};
  if (data) bytes_.insert(bytes_.end(), data, data + length);
  bytes_.push_back(checksum(bytes_.data() + 2, bytes_.size() - 2));
  return true;
}

bool Frame::appendData(const uint8_t* data, unsigned length) {
  if (bytes_.size() < kMinSize) return false;
  if (!data) return true;
  size_t held = bytes_.size() - kMinSize;
  if (length > kMaxDataLength - held) return false;
  uint16_t l = static_cast<uint16_t>(held + length + 3);
  bytes_.pop_back();
  bytes_.insert(bytes_.end(), data, data + length);
  bytes_[4] = static_cast<uint8_t>(l >> 8);
  bytes_[5] = static_cast<uint8_t>(l & 0xFF);
  bytes_.push_back(checksum(bytes_.data() + 2, bytes_.size() - 2));
  return true;
}

bool Frame::isValid(const uint8_t* bytes, size_t count) {
  if (!bytes || count < kMinSize || bytes[0] != 0x55 || bytes[1] != 0xAA) return false;
  if (static_cast<size_t>(readBe16(bytes + 4)) != count - 7) return false;
  return checksum(bytes + 2, count - 3) == bytes[count - 1];
}

bool Frame::parse(const uint8_t* bytes, size_t count) {
  if (!isValid(bytes, count)) return false;
  bytes_.assign(bytes, bytes + count);
  return true;
}

const uint8_t* Frame::data() const { return bytes_.size() >= 11 ? bytes_.data() + kHeaderSize : nullptr; }

uint16_t Frame::dataLength() const {
  if (bytes_.size() < 6) return 0;
  return static_cast<uint16_t>(readBe16(&bytes_[4]) - 3);
}

size_t Frame::payloadSize() const {
  if (bytes_.size() < kMinSize) return 0;
  size_t held = bytes_.size() - kMinSize;
  size_t declared = dataLength();
  return declared < held ? declared : held;
}

uint8_t Frame::checksum(const uint8_t* bytes, size_t count) {
  uint8_t x = 0;
  for (size_t i = 0; i < count; ++i) x ^= bytes[i];
  return x;
}

void Frame::setSerial(uint8_t serial) { g_serial.store(serial, std::memory_order_relaxed); }

bool readFirstByte(const Frame& frame, uint8_t& out) {
  if (frame.payloadSize() < 1) return false;
  out = frame.data()[0];
  return true;
}

bool readString8(const Frame& frame, std::string& out) {
  size_t size = frame.payloadSize();
  if (size < 1) return false;
  const uint8_t* d = frame.data();
  size_t n = d[0];
  if (1 + n > size) return false;
  out = cutAtZero(d + 1, n);
  return true;
}

bool readTwoStrings8(const Frame& frame, std::string& first, std::string& second) {
  size_t size = frame.payloadSize();
  if (size < 1) return false;
  const uint8_t* d = frame.data();
  size_t n1 = d[0];
  if (1 + n1 + 1 > size) return false;
  size_t n2 = d[1 + n1];
  if (2 + n1 + n2 > size) return false;
  first.assign(reinterpret_cast<const char*>(d + 1), n1);
  second.assign(reinterpret_cast<const char*>(d + 2 + n1), n2);
  return true;
}

bool readTwoStrings16(const Frame& frame, std::string& first, std::string& second) {
  size_t size = frame.payloadSize();
  if (size < 2) return false;
  const uint8_t* d = frame.data();
  size_t n1 = readBe16(d);
  if (2 + n1 + 2 > size) return false;
  size_t n2 = readBe16(d + 2 + n1);
  if (4 + n1 + n2 > size) return false;
  first = cutAtZero(d + 2, n1);
  second = cutAtZero(d + 4 + n1, n2);
  return true;
}

bool readFiveFields16(const Frame& frame, std::array<std::string, 5>& out) {
  size_t size = frame.payloadSize();
  if (size < 1) return false;
  const uint8_t* d = frame.data();
  std::array<std::string, 5> fields;
  size_t pos = 0;
  for (auto& field : fields) {
    if (pos + 2 > size) return false;
    size_t n = readBe16(d + pos);
    if (pos + 2 + n > size) return false;
    // The device's text starts one byte into the field, so the last text may
    // reach one byte past the data: cut it there.
    size_t start = pos + 3;
    size_t avail = start < size ? size - start : 0;
    field = start < size ? cutAtZero(d + start, n < avail ? n : avail) : std::string();
    pos += 2 + n;
  }
  out = std::move(fields);
  return true;
}

bool matchNameReply(const uint8_t* bytes, size_t count, std::string& name) {
  Frame frame;
  if (!frame.parse(bytes, count)) return false;
  if (!frame.is(kCmdReadSerial.reply()) || frame.dataLength() < 13) return false;
  return readString8(frame, name);
}

void Frame::wipe() {
  explicit_bzero(bytes_.data(), bytes_.size());
  bytes_.clear();
}
