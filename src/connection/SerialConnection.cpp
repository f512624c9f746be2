#include "connection/SerialConnection.h"

#include <climits>

SerialConnection::SerialConnection(std::string portName) : portName_(std::move(portName)) {}

SerialConnection::~SerialConnection() { SerialConnection::close(); }

bool SerialConnection::Connect() {
  if (isConnected()) return true;
  setConnected(port_.open(portName_, kBaudRate, 8, platform::SerialPort::NOPARITY, platform::SerialPort::ONESTOPBIT));
  // A pause of 50 ms after bytes ends a reply; the totals bound a silent device.
  port_.setTimeouts(50, 5, 1000, 10, 200);
  return isConnected();
}

void SerialConnection::close() {
  port_.close();
  setConnected(false);
}

int SerialConnection::writeData(const uint8_t* bytes, size_t count) {
  if (!isConnected()) return 0;
  if (count > INT_MAX) return 0;
  port_.purge(platform::SerialPort::PURGE_TXCLEAR);
  bool ok = port_.write(bytes, count, nullptr, static_cast<uint32_t>(kWriteTimeout.count()));
  // Even a failed write may have reached the device, so its reply is awaited.
  awaitingReply_.store(true);
  return ok ? static_cast<int>(count) : 0;
}

int SerialConnection::readData(uint8_t* buffer, size_t capacity) {
  if (!awaitingReply_.load()) return 0;
  size_t got = 0;
  port_.read(buffer, capacity > INT_MAX ? INT_MAX : capacity, &got, static_cast<uint32_t>(kReadTimeout.count()));
  if (got == 0) return 0;
  awaitingReply_.store(false);
  return static_cast<int>(got);
}

int SerialConnection::pollHandle() const { return awaitingReply_.load() ? port_.nativeHandle() : -1; }
