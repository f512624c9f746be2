#include "connection/SerialConnection.h"

#include <climits>

SerialConnection::SerialConnection(std::string portName) : portName_(std::move(portName)) {}

SerialConnection::~SerialConnection() { SerialConnection::close(); }

bool SerialConnection::Connect() {
  if (isConnected()) return true;
  setConnected(port_.open(portName_, kBaudRate, 8, platform::SerialPort::NOPARITY, platform::SerialPort::ONESTOPBIT));
  // Reads return at once with what the port holds: the session reads only
  // when the port is readable and keeps reading until its frame is whole, so
  // no pause has to tell where a reply ends.
  port_.setTimeouts(platform::SerialPort::MAXDWORD, 0, 0, 10, 200);
  awaitingReply_.store(false);
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
  if (!port_.read(buffer, capacity > INT_MAX ? INT_MAX : capacity, &got, static_cast<uint32_t>(kReadTimeout.count()))) {
    // EIO or hang-up: the port is gone (unplugged, or the device restarted).
    close();
    return -1;
  }
  if (got == 0) return 0;
  awaitingReply_.store(false);
  return static_cast<int>(got);
}

void SerialConnection::setReplyAwaited(bool awaited) { awaitingReply_.store(awaited); }

int SerialConnection::pollHandle() const { return awaitingReply_.load() ? port_.nativeHandle() : -1; }
