#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "FrameCutter.h"
#include "session/Frame.h"

// A bare host side for the virtual device's tests: a TCP connection, frames
// out, frames back, with a deadline.
namespace simtest {

class TestLink {
 public:
  ~TestLink();
  bool connectTcp(uint16_t port);
  void close();

  bool sendBytes(const std::vector<uint8_t>& bytes);
  bool send(const Frame& frame) { return sendBytes(frame.bytes()); }
  // The next frame with this command and sub-command (others are dropped).
  bool receive(Frame& out, uint8_t command, uint8_t subCommand,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  // Builds a request (addresses F0/F1 F8 as the host does), sends it and
  // waits for its reply.
  bool exchange(uint8_t command, uint8_t subCommand, const std::vector<uint8_t>& data, Frame& reply,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  // Raw bytes arriving within the window, each read as it came.
  std::vector<std::vector<uint8_t>> readChunks(std::chrono::milliseconds window);
  // True once the peer has closed the link (or the link failed).
  bool waitClosed(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  sim::FrameCutter cutter_;
};

Frame request(uint8_t command, uint8_t subCommand, const std::vector<uint8_t>& data = {});
uint8_t status(const Frame& reply);

}  // namespace simtest
