#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// A byte-stream link to one device. Transports move bytes, log what they move
// and mark themselves disconnected when the link fails; they know nothing of
// frames.
class DeviceConnection {
 public:
  enum Type : int { Network = 0, Bluetooth = 1, Serial = 2 };

  DeviceConnection() = default;
  DeviceConnection(const DeviceConnection&) = delete;
  DeviceConnection& operator=(const DeviceConnection&) = delete;
  virtual ~DeviceConnection() = default;

  virtual bool Connect() = 0;
  // Always leaves the connection not connected; safe to call twice.
  virtual void close() = 0;
  // Bytes written; 0 or -1 on failure.
  virtual int writeData(const uint8_t* bytes, size_t count) = 0;
  // writeData for bytes that hold a secret: the transport logs their count
  // only. Writes to one connection are serialised by its owner.
  int writeSecret(const uint8_t* bytes, size_t count) {
    secretWrite_.store(true);
    int rc = writeData(bytes, count);
    secretWrite_.store(false);
    return rc;
  }
  // Bytes read (> 0), 0 when nothing was read, -1 on failure.
  virtual int readData(uint8_t* buffer, size_t capacity) = 0;
  bool isConnected() const { return connected_.load(); }
  virtual int getType() const = 0;
  // A descriptor that becomes readable when data arrives, for poll(); -1 when
  // the transport has none (the caller then just reads).
  virtual int pollHandle() const { return -1; }
  // The session still expects bytes from the device. A transport that reads
  // only when bytes are expected keeps reading; the others ignore it.
  virtual void setReplyAwaited(bool /*awaited*/) {}

 protected:
  void setConnected(bool connected) { connected_.store(connected); }
  // True inside writeSecret: log how many bytes went, not which.
  bool writingSecret() const { return secretWrite_.load(); }

 private:
  std::atomic<bool> connected_{false};
  std::atomic<bool> secretWrite_{false};
};
