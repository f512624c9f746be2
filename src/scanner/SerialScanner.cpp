// GCC 12 reports uninitialised std::function members inside <regex>'s own
// compiler when sanitizers are on; the warning is about the library, not us.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "scanner/SerialScanner.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <regex>

#include "platform/UsbDevices.h"

namespace {

struct IdPair {
  uint32_t vendorId;
  uint32_t productId;
};

// The USB serial functions of the device, in the order a scan tests them.
constexpr std::array<IdPair, 3> kKnownIds = {{{0x1A86, 0x55DA}, {0x0525, 0xA4A7}, {0x0000, 0x0002}}};

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

SerialScanner::~SerialScanner() { port_.close(); }

int32_t SerialScanner::ScanJ2534Device(J2534DeviceList& list) {
  const std::vector<UsbDeviceInfo> devices = listUsbDevices();
  for (const UsbDeviceInfo& device : devices) {
    for (const IdPair& ids : kKnownIds) {
      if (device.vendorId == ids.vendorId && device.productId == ids.productId) {
        findComPorts(devices, ids.vendorId, ids.productId, list);
      }
    }
  }
  return 0;
}

void SerialScanner::ScanByVidPid(J2534DeviceList& list, uint32_t vendorId, uint32_t productId) {
  const std::vector<UsbDeviceInfo> devices = listUsbDevices();
  for (const UsbDeviceInfo& device : devices) {
    if (device.vendorId == vendorId && device.productId == productId) {
      findComPorts(devices, vendorId, productId, list);
    }
  }
}

std::vector<SerialScanner::UsbDeviceInfo> SerialScanner::listUsbDevices() {
  std::vector<UsbDeviceInfo> out;
  for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
    if (device.ttyNode.empty()) continue;
    out.push_back({device.vendorId, device.productId, device.ttyNode});
  }
  return out;
}

void SerialScanner::findComPorts(const std::vector<UsbDeviceInfo>& devices, uint32_t vendorId, uint32_t productId,
                                 J2534DeviceList& list) {
  for (const UsbDeviceInfo& device : devices) {
    if (device.vendorId != vendorId || device.productId != productId) continue;
    bool listed = std::any_of(list.begin(), list.end(), [&](const J2534Device& d) { return d.port == device.ttyNode; });
    if (listed) continue;
    J2534Device record;
    record.port = device.ttyNode;
    record.connectType = 0;
    probePort(record);
    list.push_back(record);
  }
}

void SerialScanner::probePort(J2534Device& record) {
  bool opened = port_.open(record.port, kBaudRate, 8, platform::SerialPort::NOPARITY, platform::SerialPort::ONESTOPBIT);
  port_.setTimeouts(50, 5, 1000, 10, 200);
  if (!opened) return;

  std::array<uint8_t, kReadCapacity> buffer{};
  // Reads one reply into buffer; the count read, or 0 when nothing came.
  auto readReply = [&]() -> size_t {
    buffer.fill(0);
    size_t got = 0;
    if (!port_.isOpen()) return 0;
    port_.purge(platform::SerialPort::PURGE_RXCLEAR);
    if (!port_.read(buffer.data(), buffer.size(), &got, kReadTimeoutMs)) return 0;
    return got;
  };

  port_.purge(platform::SerialPort::PURGE_TXCLEAR);
  port_.write(kFirstRequest.data(), kFirstRequest.size(), nullptr, kWriteTimeoutMs);
  if (size_t n = readReply()) record.name = nameFromFirstReply(buffer.data(), n);

  if (record.name.empty()) {
    port_.write(kSecondRequest.data(), kSecondRequest.size(), nullptr, kWriteTimeoutMs);
    if (size_t n = readReply()) record.name = nameFromSecondReply(buffer.data(), n);
  }
  port_.close();
}

std::string SerialScanner::toHexSpaced(const uint8_t* bytes, size_t count) {
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
std::string SerialScanner::nameFromFirstReply(const uint8_t* bytes, size_t count) {
  return nameFromText(toHexSpaced(bytes, std::min(count, kReadCapacity)), firstReplyPattern(), 1);
}

std::string SerialScanner::nameFromSecondReply(const uint8_t* bytes, size_t count) {
  return nameFromText(toHexSpaced(bytes, std::min(count, kReadCapacity)), secondReplyPattern(), 1);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
