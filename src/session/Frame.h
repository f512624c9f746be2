#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "session/Commands.h"

// One request or reply of the device link, held as its wire bytes:
// 55 AA addr1 addr2 L(BE16) serial cmd sub data... xor
// where L = data length + 3 and the checksum is the XOR of addr1 through the
// last data byte.
class Frame {
 public:
  static constexpr size_t kHeaderSize = 9;
  static constexpr size_t kMinSize = 10;
  // The length field counts serial, command and sub-command too.
  static constexpr size_t kMaxDataLength = 0xFFFF - 3;
  static constexpr size_t kMaxSize = kMaxDataLength + kMinSize;
  // Address bytes: a request goes from the host to the device's command unit
  // or, for the embedded system's commands, to its system unit.
  static constexpr uint8_t kDeviceAddr = 0xF0;
  static constexpr uint8_t kSystemAddr = 0xF1;
  static constexpr uint8_t kHostAddr = 0xF8;

  Frame() = default;

  // Writes a complete frame with the next serial. Fails (frame unchanged) when
  // exactly one of data and length is given, or when the data would not fit
  // the length field (a truncated length would make the device cut the frame).
  bool build(uint8_t addr1, uint8_t addr2, uint8_t cmd, uint8_t sub, const uint8_t* data = nullptr,
             unsigned length = 0);
  bool build(uint8_t addr1, uint8_t addr2, DeviceCommand command, const uint8_t* data = nullptr,
             unsigned length = 0) {
    return build(addr1, addr2, command.cmd, command.sub, data, length);
  }
  // Extends a built frame's data, rewriting the length and the checksum.
  // Fails (frame unchanged) on an empty frame or when the data would no longer
  // fit the length field.
  bool appendData(const uint8_t* data, unsigned length);

  static bool isValid(const uint8_t* bytes, size_t count);
  // Replaces the bytes with a copy when they form a valid frame.
  bool parse(const uint8_t* bytes, size_t count);

  // Start of the data, or nullptr when the frame holds fewer than 11 bytes.
  const uint8_t* data() const;
  // L - 3 from the length field, modulo 65536 (0 for an empty frame).
  uint16_t dataLength() const;
  // Data bytes actually held (never runs past the byte array).
  size_t payloadSize() const;

  static uint8_t checksum(const uint8_t* bytes, size_t count);
  static void setSerial(uint8_t serial);

  // A frame that carries a secret (the Wi-Fi key): the link logs only its
  // length, never its bytes.
  void markSecret() { secret_ = true; }
  // Overwrites the bytes (a secret's, once sent) and empties the frame.
  void wipe();
  bool isSecret() const { return secret_; }

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  uint8_t serial() const { return byteAt(6); }
  uint8_t command() const { return byteAt(7); }
  uint8_t subCommand() const { return byteAt(8); }
  bool is(DeviceCommand command) const { return this->command() == command.cmd && subCommand() == command.sub; }

 private:
  uint8_t byteAt(size_t i) const { return i < bytes_.size() ? bytes_[i] : 0; }
  std::vector<uint8_t> bytes_;
  bool secret_ = false;
};

// Payload readers for the shapes of the device's replies. Every reader returns
// false when the frame has no data or a declared length runs past the data.
bool readFirstByte(const Frame& frame, uint8_t& out);
// N (1 byte), N bytes; cut at the first zero byte.
bool readString8(const Frame& frame, std::string& out);
// N1 (1 byte), N1 bytes, N2 (1 byte), N2 bytes; exactly N bytes each.
bool readTwoStrings8(const Frame& frame, std::string& first, std::string& second);
// N1 (BE16), N1 bytes, N2 (BE16), N2 bytes; each cut at the first zero byte.
bool readTwoStrings16(const Frame& frame, std::string& first, std::string& second);
// Five fields N (BE16), N bytes. Each text starts one byte after its length
// field, is N bytes long (cut at the end of the data) and is cut at the first
// zero byte; the next field starts right after the N bytes.
bool readFiveFields16(const Frame& frame, std::array<std::string, 5>& out);
// A LAN discovery answer: a valid reply to kCmdReadSerial with at least 13 data bytes;
// the name is its readString8 text.
bool matchNameReply(const uint8_t* bytes, size_t count, std::string& name);
