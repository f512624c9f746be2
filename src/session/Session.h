#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection/DeviceConnection.h"
#include "session/Frame.h"

// Where a session talks to: only the fields of its own type are filled.
struct SessionEndpoint {
  int type = DeviceConnection::Network;  // same values as DeviceConnection::getType
  std::string serialPort;                // serial: port name
  std::string btAddress;                 // Bluetooth: "0x" and the address in hexadecimal
  std::string host;                      // network: dotted IPv4 address
  int port = 0;                          // network: TCP or UDP port
  int datagram = 0;                      // network: non-zero selects UDP

  static SessionEndpoint network(const std::string& host, int port, int datagram);
  static SessionEndpoint bluetooth(const std::string& address);
  static SessionEndpoint serial(const std::string& portName);
};

// Makes the (not yet connected) connection for an endpoint.
using SessionConnectionFactory = std::function<std::unique_ptr<DeviceConnection>(const SessionEndpoint&)>;

// Replaces the transports' factories for sessions created from now on, so a
// test can run the session layer over fake links; an empty function restores
// the real transports.
void setConnectionFactoryForTest(SessionConnectionFactory factory);

// One conversation with one device over one connection: collects the bytes
// that arrive, cuts them into frames, files each frame by its serial and lets
// a requester wait for the frame with a given command and sub-command.
//
// Driven by the SessionManager only: its receive worker connects, reads and
// parses; requesters write and wait. Lock order: the manager lock, then
// ioLock_, then waitLock_.
class Session {
 public:
  enum State : int { Created = 0, Connected = 1, Invalid = 2 };

  static constexpr size_t kReadChunk = 9216;
  static constexpr int kAnySerial = -1;
  // A burst larger than this is left in the socket until the buffered bytes
  // have been cut, so a flood cannot grow the buffer without limit.
  static constexpr size_t kMaxBuffered = Frame::kMaxSize + kReadChunk;

  explicit Session(const SessionEndpoint& endpoint);
  Session(const SessionEndpoint& endpoint, std::unique_ptr<DeviceConnection> connection);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects the link; refused once the session is invalid. On failure the
  // link is closed and the state kept: the caller's next pass is the retry.
  bool connect();
  bool isConnected() const;
  // Bytes appended to the receive buffer, 0 when none, negative when the
  // link failed (the session is then invalid).
  int readData();
  // Files every complete frame in the receive buffer; 0 when at least one
  // was filed, -1 otherwise.
  int parseFrame();
  // Hands out the first filed frame (ascending serial) with the command and
  // sub-command. Waits up to timeoutMs only while nothing at all is filed:
  // frames of other commands make it return -1 at once.
  int waitFrame(Frame& out, uint8_t cmd, uint8_t sub, int64_t timeoutMs);
  // Like waitFrame, but keeps waiting until a matching frame is filed, the
  // time-out passes or the session is withdrawn (returns 1 then). With a
  // serial (0 to 255) only the frame with that serial matches; filed frames
  // of the pair with another serial are dropped and counted in `dropped`.
  int waitMatchingFrame(Frame& out, uint8_t cmd, uint8_t sub, int64_t timeoutMs, int serial = kAnySerial,
                        int* dropped = nullptr);
  // Files the complete frames still in the receive buffer, then drops every
  // filed frame with cmd and sub; the number dropped.
  int dropFiledFrames(uint8_t cmd, uint8_t sub);
  // The link's write result: bytes written, or 0 or negative on failure.
  int writeFrame(const Frame& frame);
  // Whether frames wait to be claimed; complete frames still in the receive
  // buffer are filed first, so only an unfinished frame counts as nothing.
  bool hasPendingData();
  // Closes the link; the session stays in its table until removed.
  void close();
  // Wakes every requester waiting on this session: it left the manager's table.
  void withdraw();

  // Descriptor for poll() that turns readable when the link has data; -1 when
  // the link has none or is not connected.
  int pollHandle();

  bool hasConnection() const { return connection_ != nullptr; }
  int getState() const { return state_.load(); }
  int getType() const { return endpoint_.type; }
  size_t bufferedBytes();

  bool matchesNetwork(const std::string& host, int port, int datagram) const;
  bool matchesBluetooth(const std::string& address) const;
  bool matchesSerial(const std::string& portName) const;

 private:
  // Moves every complete frame out of recvBuffer_ into the frame table and
  // wakes the requesters; returns the serials filed. Caller holds ioLock_.
  std::vector<uint8_t> fileCompleteFrames();

  const SessionEndpoint endpoint_;
  std::atomic<int> state_{Created};

  std::mutex ioLock_;  // guards recvBuffer_ and every call on connection_
  std::unique_ptr<DeviceConnection> connection_;
  std::vector<uint8_t> recvBuffer_;

  // Requesters inside waitMatchingFrame: while there are any the link is read
  // on, so a reply that arrives in pieces, or after a stale one, is taken whole.
  std::atomic<int> waiters_{0};

  std::mutex waitLock_;  // guards frames_ and withdrawn_
  std::condition_variable frameArrived_;
  std::map<uint8_t, Frame> frames_;
  bool withdrawn_ = false;
};
