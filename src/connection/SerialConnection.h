#pragma once
#include <atomic>
#include <chrono>
#include <string>

#include "connection/DeviceConnection.h"
#include "platform/SerialPort.h"

// A USB virtual COM port. The host reads only while it expects bytes: a write
// (or the session, while a reply is still incomplete) raises the
// awaiting-reply flag, and a read that brings bytes lowers it.
class SerialConnection : public DeviceConnection {
 public:
  explicit SerialConnection(std::string portName);
  ~SerialConnection() override;

  bool Connect() override;
  void close() override;
  int writeData(const uint8_t* bytes, size_t count) override;
  // What the port holds while a reply is awaited, 0 otherwise; -1 (and
  // closed) when the port failed or hung up.
  int readData(uint8_t* buffer, size_t capacity) override;
  void setReplyAwaited(bool awaited) override;
  int getType() const override { return Serial; }
  // The port while a reply is awaited, else -1: bytes that nobody asked for are
  // left in the port, so polling it then would wake the caller for nothing.
  int pollHandle() const override;

 private:
  static constexpr uint32_t kBaudRate = 115200;
  static constexpr std::chrono::milliseconds kWriteTimeout{1000};
  // Bounds one read call; with the port's time-outs a read returns at once.
  static constexpr std::chrono::milliseconds kReadTimeout{2000};

  const std::string portName_;
  platform::SerialPort port_;
  std::atomic<bool> awaitingReply_{false};
};
