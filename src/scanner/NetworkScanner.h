#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "connection/BroadcastSocket.h"
#include "scanner/J2534DevScanner.h"

// One IPv4 address of one adapter, with the broadcast addresses it is scanned on.
struct NetworkPort {
  std::string description;
  std::string ip;
  std::string broadcastAddr;         // (address AND mask) OR (NOT mask)
  std::string gatewayBroadcastAddr;  // first three parts of the gateway + ".255"; empty without a gateway
};

// Finds devices on the PC's local networks: two discovery datagrams to the
// broadcast address of every subnet (and of its gateway's /24), answers
// collected for a fixed window. Answers come from any host on the LAN, so
// each is checked against its declared size and names are capped.
class NetworkScanner : public J2534DevScanner {
 public:
  // Longest name kept from an answer.
  static constexpr size_t kMaxNameBytes = 64;

  NetworkScanner() = default;
  virtual ~NetworkScanner() = default;

  // 0 after a scan (single runs may have failed), -1 when the adapters cannot be listed.
  int32_t ScanJ2534Device(J2534DeviceList& list) override;

  // 0, or -1 when the adapter list cannot be read.
  int findNetworkPorts(std::vector<NetworkPort>& ports);
  // One request and its answer window on one broadcast address; 0, or
  // non-zero when the socket failed, the send failed, a receive failed, or
  // the last datagram of the window was not a valid answer.
  int ScanQTRAKDevice(J2534DeviceList& list, const std::string& address, int timeoutMs);
  int ScanLinkDevice(J2534DeviceList& list, const std::string& address, int timeoutMs);

  // Opens sock for broadcasting; 0, or -1 after printing the failed step.
  static int createBoardcastSocket(BroadcastSocket& sock);
  // 0 when sent; -1 for an unparsable address, a destination the loopback
  // guard refuses, or a failed send.
  static int sendBoardCast(BroadcastSocket& sock, const std::string& address, uint16_t port, const uint8_t* bytes,
                           size_t count);
  // Bytes received (the sender in fromAddr, network byte order), 0 when
  // nothing is waiting, -1 on error.
  static int recvBoardCast(BroadcastSocket& sock, uint32_t& fromAddr, uint8_t* buffer, size_t capacity);
  static int closeBoardcastSocket(BroadcastSocket& sock);

  // Answer to the link request: at least 12 bytes, 55 AA F8 and a valid XOR
  // of bytes 2 to n - 2. Writes why not to standard output.
  static bool checkLinkReply(const uint8_t* bytes, size_t count);
  // The name of a checked link answer: bytes 11 to n - 2, capped.
  static std::string linkReplyName(const uint8_t* bytes, size_t count);

 private:
  struct Request;
  int runRequest(J2534DeviceList& list, const std::string& address, int timeoutMs, const Request& request);
};
