// GCC 12 reports uninitialised std::function members inside <regex>'s own
// compiler when sanitizers are on; the warning is about the library, not us.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "session/SerialProbe.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <regex>

#include "platform/SerialPort.h"

namespace {

constexpr uint32_t kBaudRate = 115200;
// The device's serial-number requests as fixed frames (addresses F0 F8).
constexpr std::array<uint8_t, 10> kFirstRequest = {0x55, 0xAA, 0xF0, 0xF8, 0x00, 0x03, 0x05, 0x21, 0x33, 0x1C};
constexpr std::array<uint8_t, 10> kSecondRequest = {0x55, 0xAA, 0xF0, 0xF8, 0x00, 0x03, 0x00, 0x21, 0x03, 0x29};
constexpr uint32_t kWriteTimeoutMs = 1000;
// A port that opens but stays silent costs this per request.
constexpr uint32_t kReadTimeoutMs = 2000;
constexpr size_t kReadCapacity = 255;

// Twelve hexadecimal pairs, as the reply text carries the serial number.
std::string decodeGroup(const std::string& group) {
  std::string out;
  for (size_t i = 0; i + 1 < group.size(); i += 3) {
    out.push_back(static_cast<char>(std::stoul(group.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string nameFromText(const std::string& text, const std::regex& pattern, size_t group) {
  std::smatch match;
  if (!std::regex_search(text, match, pattern)) return {};
  return decodeGroup(match[group].str());
}

const std::regex& firstReplyPattern() {
  static const std::regex pattern(R"(61 33[\s\S]*? (\S{2}(?: \S{2}){11}) 00)", std::regex::ECMAScript);
  return pattern;
}

const std::regex& secondReplyPattern() {
  static const std::regex pattern(R"(61 03 .*? 00 00 0D ((\S{2} ){11}\S{2}) 00 00)", std::regex::ECMAScript);
  return pattern;
}

}  // namespace

namespace serialprobe {

std::string probeSerialNumber(const std::string& ttyNode, bool* opened) {
  platform::SerialPort port_;
  std::string name;
  const bool open = port_.open(ttyNode, kBaudRate, 8, platform::SerialPort::NOPARITY, platform::SerialPort::ONESTOPBIT);
  if (opened) *opened = open;
  port_.setTimeouts(50, 5, 1000, 10, 200);
  if (!open) return {};

  std::array<uint8_t, kReadCapacity> buffer{};
  // Sends one request and reads its reply into buffer; the count read, or 0
  // when nothing came. Old input goes before the write: once the request is
  // out, a quick device may already have answered, and that must be kept.
  auto ask = [&](const std::array<uint8_t, 10>& request) -> size_t {
    buffer.fill(0);
    size_t got = 0;
    if (!port_.isOpen()) return 0;
    port_.purge(platform::SerialPort::PURGE_TXCLEAR | platform::SerialPort::PURGE_RXCLEAR);
    port_.write(request.data(), request.size(), nullptr, kWriteTimeoutMs);
    if (!port_.read(buffer.data(), buffer.size(), &got, kReadTimeoutMs)) return 0;
    return got;
  };

  if (size_t n = ask(kFirstRequest)) name = nameFromFirstReply(buffer.data(), n);
  if (name.empty()) {
    if (size_t n = ask(kSecondRequest)) name = nameFromSecondReply(buffer.data(), n);
  }
  port_.close();
  return name;
}

std::string toHexSpaced(const uint8_t* bytes, size_t count) {
  std::string out;
  out.reserve(count * 3);
  char pair[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    if (i > 0) out.push_back(' ');
    out += pair;
  }
  return out;
}

// Only what one probe read can hold is matched: the regular expressions
// recurse per character, so their input stays short.
std::string nameFromFirstReply(const uint8_t* bytes, size_t count) {
  return nameFromText(toHexSpaced(bytes, std::min(count, kReadCapacity)), firstReplyPattern(), 1);
}

std::string nameFromSecondReply(const uint8_t* bytes, size_t count) {
  return nameFromText(toHexSpaced(bytes, std::min(count, kReadCapacity)), secondReplyPattern(), 1);
}

}  // namespace serialprobe

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
