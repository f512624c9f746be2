#pragma once
#include <cstddef>
#include <cstdint>

// An unconnected, non-blocking UDP socket that may send to broadcast addresses
// and hears answers from any host: the transport of LAN discovery. Unlike a
// connected datagram link it keeps each sender's address, since answers come
// from the devices, not from the address asked. Failures return the errno so
// the caller can report each step in its own words.
class BroadcastSocket {
 public:
  // The set-up step open() failed at.
  enum class Step { Create, Broadcast, ReuseAddress, NonBlocking };

  BroadcastSocket() = default;
  BroadcastSocket(const BroadcastSocket&) = delete;
  BroadcastSocket& operator=(const BroadcastSocket&) = delete;
  ~BroadcastSocket() { close(); }

  // 0, or the errno of the step that failed (named in failedStep); nothing
  // stays open after a failure.
  int open(Step& failedStep);
  // Safe to call twice.
  void close();
  // The socket while it is open, else -1.
  int handle() const { return fd_; }

  // Bytes sent (>= 0), or -errno; -EPERM when the loopback guard refuses the
  // destination, which is then never sent to.
  long sendTo(uint32_t ipv4NetworkOrder, uint16_t port, const uint8_t* bytes, size_t count);
  // Bytes received with the sender's IPv4 address (network byte order, 0 for
  // another family) in fromAddr, 0 when nothing is waiting, or -errno.
  long receiveFrom(uint32_t& fromAddr, uint8_t* buffer, size_t capacity);

 private:
  int fd_ = -1;
};
