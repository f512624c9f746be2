#pragma once
#include <atomic>
#include <chrono>
#include <string>

#include "connection/DeviceConnection.h"
#include "platform/SerialPort.h"

// A USB virtual COM port. The host reads only after it has written: a write
// raises the awaiting-reply flag, and the first read that brings bytes lowers it.
class SerialConnection : public DeviceConnection {
 public:
  explicit SerialConnection(std::string portName);
  ~SerialConnection() override;

  bool Connect() override;
  void close() override;
  int writeData(const uint8_t* bytes, size_t count) override;
  // Blocks up to the read time-out while a reply is awaited; 0 at once otherwise.
  int readData(uint8_t* buffer, size_t capacity) override;
  int getType() const override { return Serial; }
  // The port while a reply is awaited, else -1: bytes that nobody asked for are
  // left in the port, so polling it then would wake the caller for nothing.
  int pollHandle() const override;

 private:
  static constexpr uint32_t kBaudRate = 115200;
  static constexpr std::chrono::milliseconds kWriteTimeout{1000};
  // A reply begins well within this; the read-interval time-out ends it.
  static constexpr std::chrono::milliseconds kReadTimeout{2000};

  const std::string portName_;
  platform::SerialPort port_;
  std::atomic<bool> awaitingReply_{false};
};
