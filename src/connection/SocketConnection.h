#pragma once
#include <atomic>
#include <chrono>

#include "connection/DeviceConnection.h"

// What the stream-socket transports share: one non-blocking socket, the read
// rules (a peer close or socket error closes the link), and a send that hands
// the whole frame to the socket or closes the link.
class SocketConnection : public DeviceConnection {
 public:
  ~SocketConnection() override;

  void close() override;
  int readData(uint8_t* buffer, size_t capacity) override;
  // The socket while it is open, else -1.
  int pollHandle() const override { return socket_.load(); }

 protected:
  // A datagram socket reads an empty datagram as such, not as a peer close.
  explicit SocketConnection(bool datagram = false) : datagram_(datagram) {}

  // Takes a connected, non-blocking socket and publishes the link as connected.
  void adopt(int fd);
  // Every byte, or -1 after closing the link and logging the error.
  int sendAll(const uint8_t* bytes, size_t count);

 private:
  // A non-blocking send takes what fits in the socket buffer; a frame larger
  // than that is finished as the buffer drains, or the link is given up.
  static constexpr std::chrono::milliseconds kSendDrainTimeout{2000};

  const bool datagram_;
  std::atomic<int> socket_{-1};
};
