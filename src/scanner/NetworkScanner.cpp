#include "scanner/NetworkScanner.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "app/TextNotifier.h"
#include "connection/BroadcastSocket.h"
#include "platform/Clock.h"
#include "platform/DeviceEndpoints.h"
#include "platform/NetworkAdapters.h"
#include "platform/Ipv4Text.h"
#include "session/Frame.h"
#include "utils/HexText.h"
#include "utils/LogFacade.h"

namespace {

using std::chrono::milliseconds;

// Request A asks for the serial number, request B for the link name.
constexpr std::array<uint8_t, 10> kQtrakRequest = {0x55, 0xAA, 0xF0, 0xF8, 0x00, 0x03, 0x00, 0x21, 0x33, 0x19};
constexpr std::array<uint8_t, 10> kLinkRequest = {0x55, 0xAA, 0xF1, 0xF8, 0x00, 0x03, 0x00, 0x2C, 0x2A, 0x0C};
constexpr size_t kReceiveCapacity = 128;
constexpr int kScanWindowMs = 500;
// Only pauses count against the window, so valid answers are free; the pause
// is what lets a slow device still be heard.
constexpr int kPauseMs = 50;
// Valid answers do not use up the window, so a host that never stops
// answering would hold the scan forever; the window ends here regardless.
constexpr int kWindowCeilingFactor = 4;
constexpr size_t kLinkHeaderSize = 11;
constexpr const char* kErrPrefix = "ERR_SCAN_J2534_DEVICE: ";

// The scanner's own diagnostic lines on standard output.
void printLine(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void appendUnlessListed(J2534DeviceList& list, const J2534Device& record) {
  bool listed = std::any_of(list.begin(), list.end(), [&](const J2534Device& d) { return isSameDevice(d, record); });
  if (!listed) list.push_back(record);
}

std::string gatewayBroadcast(const std::string& gateway) {
  if (gateway == "0.0.0.0") return {};
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = gateway.find('.', start);
    parts.push_back(gateway.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 4) return {};
  return parts[0] + "." + parts[1] + "." + parts[2] + ".255";
}

}  // namespace

struct NetworkScanner::Request {
  const std::array<uint8_t, 10>& bytes;
  // The name in an answer, or false when the datagram is no usable answer.
  bool (*parse)(const uint8_t* bytes, size_t count, std::string& name);
  bool receiveErrorToLog;  // else to standard output
};

int32_t NetworkScanner::ScanJ2534Device(J2534DeviceList& list) {
  std::vector<NetworkPort> ports;
  if (findNetworkPorts(ports) != 0) {
    TextNotifier::getInstance().post(kErrPrefix, " FindNetworkPorts error", 0);
    LOG_WARN("some thing err");
    return -1;
  }

  std::vector<std::string> scanned;
  for (const NetworkPort& port : ports) {
    if (std::find(scanned.begin(), scanned.end(), port.broadcastAddr) != scanned.end()) continue;
    scanned.push_back(port.broadcastAddr);

    const bool withGateway = !port.gatewayBroadcastAddr.empty() && port.gatewayBroadcastAddr != port.broadcastAddr;
    std::vector<std::string> targets = {port.broadcastAddr};
    if (withGateway) targets.push_back(port.gatewayBroadcastAddr);

    J2534DeviceList found;
    for (const std::string& target : targets) {
      if (ScanQTRAKDevice(found, target, kScanWindowMs) != 0) {
        TextNotifier::getInstance().post(kErrPrefix, " ScanQTRAKDevice error", 0);
        LOG_WARN("some thing err when ScanQTRAKDevice");
      }
    }
    for (const std::string& target : targets) {
      if (ScanLinkDevice(found, target, kScanWindowMs) != 0) {
        TextNotifier::getInstance().post(kErrPrefix, " ScanLinkDevice error", 0);
        LOG_WARN("some thing err when ScanLinkDevice");
      }
    }
    for (const J2534Device& record : found) appendUnlessListed(list, record);
  }
  return 0;
}

int NetworkScanner::findNetworkPorts(std::vector<NetworkPort>& ports) {
  std::vector<platform::AdapterAddress> addresses;
  if (!platform::networkAdapters()->list(addresses)) return -1;

  for (const platform::AdapterAddress& entry : addresses) {
    in_addr ip{}, mask{};
    if (inet_pton(AF_INET, entry.ip.c_str(), &ip) != 1) {
      LOG_WARN("parse ip : %s error", logfacade::escapeForLog(entry.ip).c_str());
      continue;
    }
    if (inet_pton(AF_INET, entry.mask.c_str(), &mask) != 1) {
      LOG_WARN("parse mask ip : %s error", logfacade::escapeForLog(entry.mask).c_str());
      continue;
    }
    NetworkPort port;
    port.description = entry.description;
    port.ip = entry.ip;
    port.broadcastAddr = platform::ipv4Text((ip.s_addr & mask.s_addr) | ~mask.s_addr);
    port.gatewayBroadcastAddr = gatewayBroadcast(entry.gateway);
    LOG_WARN("find network :%s, ip : %s, boardcaseAddr:%s", logfacade::escapeForLog(port.description).c_str(),
             port.ip.c_str(), port.broadcastAddr.c_str());
    ports.push_back(port);
  }
  return 0;
}

int NetworkScanner::ScanQTRAKDevice(J2534DeviceList& list, const std::string& address, int timeoutMs) {
  static const Request request{kQtrakRequest,
                               [](const uint8_t* bytes, size_t count, std::string& name) {
                                 if (!matchNameReply(bytes, count, name)) return false;
                                 if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
                                 return true;
                               },
                               false};
  return runRequest(list, address, timeoutMs, request);
}

int NetworkScanner::ScanLinkDevice(J2534DeviceList& list, const std::string& address, int timeoutMs) {
  static const Request request{kLinkRequest,
                               [](const uint8_t* bytes, size_t count, std::string& name) {
                                 if (!checkLinkReply(bytes, count)) {
                                   printLine("invalid msg");
                                   return false;
                                 }
                                 name = linkReplyName(bytes, count);
                                 return true;
                               },
                               true};
  return runRequest(list, address, timeoutMs, request);
}

int NetworkScanner::runRequest(J2534DeviceList& list, const std::string& address, int timeoutMs,
                               const Request& request) {
  BroadcastSocket sock;
  if (createBoardcastSocket(sock) != 0) {
    printLine("createBoardcastSocket error");
    return -1;
  }
  int sent = sendBoardCast(sock, address, platform::deviceEndpoints().discoveryPort, request.bytes.data(),
                           request.bytes.size());
  if (sent != 0) {
    printLine("sendBoardCast error, " + address);
    closeBoardcastSocket(sock);
    return sent;
  }

  const int64_t ceiling =
      platform::nowMs() + platform::scaled(milliseconds(static_cast<int64_t>(timeoutMs) * kWindowCeilingFactor)).count();
  std::array<uint8_t, kReceiveCapacity> buffer{};
  int elapsed = 0;
  int status = 0;
  while (elapsed < timeoutMs) {
    if (platform::nowMs() >= ceiling) {
      LOG_WARN("answers to %s kept coming, window closed", address.c_str());
      break;
    }
    buffer.fill(0);
    uint32_t from = 0;
    int n = recvBoardCast(sock, from, buffer.data(), buffer.size());
    if (n < 0) {
      if (request.receiveErrorToLog) {
        LOG_WARN("recvBoardCast error");
      } else {
        printLine("recvBoardCast error");
      }
      status = n;
      break;
    }
    if (n == 0) {
      status = 0;
      platform::sleepFor(milliseconds(kPauseMs));
      elapsed += kPauseMs;
      continue;
    }
    LOG_INFO("find dev ip : %s", platform::ipv4Text(from).c_str());
    J2534Device record;
    if (request.parse(buffer.data(), static_cast<size_t>(n), record.name)) {
      status = 0;
      record.addr = from;
      record.connectType = static_cast<uint32_t>(ConnectType::Lan);
      appendUnlessListed(list, record);
    } else {
      status = -1;
      platform::sleepFor(milliseconds(kPauseMs));
      elapsed += kPauseMs;
    }
  }
  closeBoardcastSocket(sock);
  return status;
}

int NetworkScanner::createBoardcastSocket(BroadcastSocket& sock) {
  BroadcastSocket::Step step = BroadcastSocket::Step::Create;
  const int error = sock.open(step);
  if (error == 0) return 0;
  switch (step) {
    case BroadcastSocket::Step::Create: printLine("create socket error :" + std::to_string(error)); break;
    case BroadcastSocket::Step::Broadcast: printLine("SO_BROADCAST socket error :" + std::to_string(error)); break;
    case BroadcastSocket::Step::ReuseAddress: printLine("SO_REUSEADDR socket error :" + std::to_string(error)); break;
    case BroadcastSocket::Step::NonBlocking: printLine("ioctlsocket failed: " + std::to_string(error)); break;
  }
  return -1;
}

int NetworkScanner::sendBoardCast(BroadcastSocket& sock, const std::string& address, uint16_t port,
                                  const uint8_t* bytes, size_t count) {
  in_addr dest{};
  int parsed = inet_pton(AF_INET, address.c_str(), &dest);
  if (parsed != 1) {
    printLine("inet_pton socket error :" + std::to_string(parsed));
    return -1;
  }
  printLine("dest addr : " + address);
  long rlt = sock.sendTo(dest.s_addr, port, bytes, count);
  if (rlt < 0) {
    printLine("sendto socket error :" + std::to_string(-rlt));
    return -1;
  }
  printLine("socket :" + std::to_string(sock.handle()) + ", send msg " + toHexString(bytes, count) + ", rlt " +
            std::to_string(rlt));
  return 0;
}

int NetworkScanner::recvBoardCast(BroadcastSocket& sock, uint32_t& fromAddr, uint8_t* buffer, size_t capacity) {
  long n = sock.receiveFrom(fromAddr, buffer, capacity);
  if (n < 0) {
    printLine("recvfrom socket error :" + std::to_string(-n));
    return -1;
  }
  return static_cast<int>(n);
}

int NetworkScanner::closeBoardcastSocket(BroadcastSocket& sock) {
  sock.close();
  return 0;
}

bool NetworkScanner::checkLinkReply(const uint8_t* bytes, size_t count) {
  if (count < 12) {
    printLine("len : " + std::to_string(count));
    return false;
  }
  if (bytes[0] != 0x55 || bytes[1] != 0xAA || bytes[2] != 0xF8) {
    printLine("msg : " + toHexString(bytes, count));
    return false;
  }
  uint8_t sum = 0;
  for (size_t i = 2; i + 1 < count; ++i) sum ^= bytes[i];
  if (sum != bytes[count - 1]) {
    printLine("sum " + toHexString(&sum, 1));
    return false;
  }
  return true;
}

std::string NetworkScanner::linkReplyName(const uint8_t* bytes, size_t count) {
  if (count < kLinkHeaderSize + 1) return {};
  size_t length = std::min(count - kLinkHeaderSize - 1, kMaxNameBytes);
  return std::string(reinterpret_cast<const char*>(bytes + kLinkHeaderSize), length);
}
