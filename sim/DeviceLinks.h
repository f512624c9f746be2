#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

#include "DeviceCore.h"
#include "FrameCutter.h"

// The device's links, one I/O thread per kind, each a poll loop that also
// runs the commands other threads hand it, so every descriptor is touched by
// its own thread only.
namespace sim {

using SteadyTime = std::chrono::steady_clock::time_point;

class IoLoop {
 public:
  IoLoop() = default;
  IoLoop(const IoLoop&) = delete;
  IoLoop& operator=(const IoLoop&) = delete;
  virtual ~IoLoop();

  bool startThread();
  // Runs closeAll() on the loop thread and joins it; safe to call twice.
  void stopThread();
  // Runs fn on the loop thread and waits for it (must not be called from it).
  void call(const std::function<void()>& fn);

 protected:
  // Descriptors to watch and the earliest time the loop must wake for.
  virtual void collect(std::vector<pollfd>& fds, SteadyTime& wakeAt) = 0;
  // After poll: fds as collected, with revents filled.
  virtual void dispatch(const std::vector<pollfd>& fds) = 0;
  virtual void closeAll() = 0;

 private:
  void run();
  void wake();

  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread thread_;
  std::mutex commandsMutex_;  // guards commands_, quit_ and running_
  std::deque<std::function<void()>> commands_;
  bool quit_ = false;
  bool running_ = false;  // the loop takes commands
};

// A byte-stream peer of the device (a TCP client, the pty): frames in,
// replies out at their due times.
struct Stream {
  struct Pending {
    SteadyTime due;
    std::vector<uint8_t> bytes;
    bool close = false;
  };
  int fd = -1;
  bool socket = false;  // written with send(), so a vanished peer is no SIGPIPE
  LinkKind kind = LinkKind::Device;
  FrameCutter cutter;
  SteadyTime lastByte{};  // when the last request byte arrived
  std::deque<Pending> pending;
  SteadyTime lastDue{};
  std::vector<uint8_t> out;  // due bytes not yet written
  bool closing = false;
  bool dead = false;
};

class StreamLoop : public IoLoop {
 public:
  explicit StreamLoop(DeviceCore& core) : core_(core) {}

 protected:
  // Handles the revents of the streams' descriptors; returns false for a
  // stream whose peer has gone (the caller closes it).
  bool serviceStream(Stream& stream, short revents);
  void flushDue(Stream& stream, SteadyTime now);
  void closeStream(Stream& stream);

  DeviceCore& core_;
};

// The normal and the configuration port.
class TcpLink : public StreamLoop {
 public:
  using StreamLoop::StreamLoop;
  ~TcpLink() override { stopThread(); }

  // Binds the address on the ports (0: ephemeral the first time, the same
  // port afterwards). Loop thread only (through call).
  bool listen(const std::string& address, uint16_t devicePort, uint16_t configPort);
  void down();
  uint16_t devicePort() const { return ports_[0]; }
  uint16_t configPort() const { return ports_[1]; }

 protected:
  void collect(std::vector<pollfd>& fds, SteadyTime& wakeAt) override;
  void dispatch(const std::vector<pollfd>& fds) override;
  void closeAll() override { down(); }

 private:
  int listeners_[2] = {-1, -1};
  uint16_t ports_[2] = {0, 0};
  std::vector<std::unique_ptr<Stream>> clients_;
};

// The USB serial function: a pty whose slave is the device's tty node.
class PtyLink : public StreamLoop {
 public:
  using StreamLoop::StreamLoop;
  ~PtyLink() override { stopThread(); }

  // A fresh pty; its slave path is ttyPath() afterwards. Loop thread only.
  bool open();
  void down();
  const std::string& ttyPath() const { return path_; }
  // Called on the loop thread when the pty goes away by itself (a scripted
  // disconnect); set before the thread starts.
  std::function<void()> onLost;

 protected:
  void collect(std::vector<pollfd>& fds, SteadyTime& wakeAt) override;
  void dispatch(const std::vector<pollfd>& fds) override;
  void closeAll() override { down(); }

 private:
  std::unique_ptr<Stream> master_;
  int slave_ = -1;  // held open so the master never sees a hang-up between users
  std::string path_;
};

// The answer to both discovery datagrams: a socket bound to the loopback
// broadcast address (any address, off loopback) hears the broadcasts, one
// bound to the device's address on the same port hears unicast and sends
// every answer.
class DiscoveryLink : public IoLoop {
 public:
  explicit DiscoveryLink(DeviceCore& core) : core_(core) {}
  ~DiscoveryLink() override { stopThread(); }

  bool bind(const std::string& address, uint16_t port);
  void down();
  uint16_t port() const { return port_; }

 protected:
  void collect(std::vector<pollfd>& fds, SteadyTime& wakeAt) override;
  void dispatch(const std::vector<pollfd>& fds) override;
  void closeAll() override { down(); }

 private:
  struct Datagram {
    SteadyTime due;
    std::vector<uint8_t> bytes;
    sockaddr_in to{};
  };
  void receive(int fd);

  DeviceCore& core_;
  int broadcast_ = -1;
  int unicast_ = -1;
  uint16_t port_ = 0;
  bool loopbackOnly_ = true;  // answers go to loopback senders only
  std::deque<Datagram> pending_;
};

}  // namespace sim
