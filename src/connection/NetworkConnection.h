#pragma once
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "connection/SocketConnection.h"

// A TCP link to host:port, or a connected UDP socket when datagram is non-zero.
class NetworkConnection : public SocketConnection {
 public:
  NetworkConnection(std::string host, int port, int datagram);

  bool Connect() override;
  int writeData(const uint8_t* bytes, size_t count) override;
  int getType() const override { return Network; }

 private:
  // The device answers a connect at once when it is there; 2 s is ample.
  static constexpr std::chrono::milliseconds kConnectWait{2000};
  // Keeps a session that keeps failing from retrying in a tight loop.
  static constexpr std::chrono::milliseconds kRetryPause{500};
  // From this size on a send is logged by its size, not its bytes.
  static constexpr size_t kLogBySizeFrom = 2048;

  bool connectServer(int fd, const sockaddr* address, socklen_t length);
  bool attempt(const sockaddr* address, socklen_t length, int family, int type, int protocol);

  const std::string host_;
  const int port_;
  const int datagram_;
};
