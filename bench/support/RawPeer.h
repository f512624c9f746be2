#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A stand-in device on 127.0.0.1 that acknowledges every request frame at
// once with status 0 (command + 0x40, same sub-command and serial, one data
// byte), and the plain-socket helpers the benchmarks compare the session
// layer against.
namespace benchpeer {

bool readExactly(int fd, uint8_t* out, size_t count);
bool writeAll(int fd, const uint8_t* bytes, size_t count);
// A blocking TCP connection to 127.0.0.1:port without Nagle; -1 on failure.
int rawConnect(int port);
// Acknowledges every request frame read from fd until fd fails or closes.
void answerFrames(int fd);

// The acknowledgement AckPeer sends: 11 bytes.
constexpr size_t kAckSize = 11;

class AckPeer {
 public:
  AckPeer();
  ~AckPeer();
  AckPeer(const AckPeer&) = delete;
  AckPeer& operator=(const AckPeer&) = delete;
  int port() const { return port_; }

 private:
  void acceptLoop();

  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex lock_;  // guards clients_ and responders_
  std::vector<int> clients_;
  std::vector<std::thread> responders_;
};

}  // namespace benchpeer
