#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// A serial port on a tty (a USB virtual COM port such as /dev/ttyACM0, or a pty
// slave for the virtual device), with the time-out model of a Windows COM port:
//  - read total time-out = multiplier * count + constant (0 and 0: none);
//  - read interval time-out: once bytes have arrived, a gap longer than the
//    interval ends the read with what arrived;
//  - interval MAXDWORD with multiplier and constant 0: return at once with
//    whatever is buffered;
//  - on top, each call has its own wait limit (timeoutMs); a read that hits it
//    with nothing received fails.
// Every time-out goes through platform::scaled(). The port is opened
// exclusively: a second open of the same tty in this process, or by anyone else
// while we hold it, fails. close() may be called from another thread and ends a
// read or write that is blocked in it.
namespace platform {

class SerialPort {
 public:
  // PurgeComm flags; the abort flags are accepted and do nothing, since no
  // operation is left pending between calls.
  static constexpr uint32_t PURGE_TXABORT = 0x0001;
  static constexpr uint32_t PURGE_RXABORT = 0x0002;
  static constexpr uint32_t PURGE_TXCLEAR = 0x0004;
  static constexpr uint32_t PURGE_RXCLEAR = 0x0008;

  // Parity and stop-bit codes as a DCB holds them.
  static constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
  static constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

  static constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;
  static constexpr uint32_t INFINITE = 0xFFFFFFFFu;  // a timeoutMs with no limit

  SerialPort() = default;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  ~SerialPort();

  // portName is a tty path; a bare name ("ttyACM0") is looked up under /dev.
  // Raw 8-bit mode; baudRate must be a standard termios rate. Closes anything
  // open first.
  bool open(const std::string& portName, uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits);
  // Safe to call twice and from another thread.
  void close();
  bool isOpen() const;

  // bytesRead / bytesWritten may be null. True when the read ended by its
  // COM time-outs or filled the buffer (possibly with 0 bytes), or when the
  // wait limit passed after some bytes arrived (they are never dropped).
  bool read(uint8_t* buffer, size_t count, size_t* bytesRead, uint32_t timeoutMs);
  // True only when every byte was written.
  bool write(const uint8_t* bytes, size_t count, size_t* bytesWritten, uint32_t timeoutMs);
  bool purge(uint32_t flags);
  bool setTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier, uint32_t readTotalConstant,
                   uint32_t writeTotalMultiplier, uint32_t writeTotalConstant);

  // The tty descriptor for poll() (readable when bytes wait), or -1.
  int nativeHandle() const;

  // "/dev/ttyACM0" for "ttyACM0"; a path is kept as it is.
  static std::string devicePath(const std::string& portName);
  // Whether a port of this process has the port open now.
  static bool openHere(const std::string& portName);

 private:
  struct Timeouts {
    uint32_t readInterval = 0, readMultiplier = 0, readConstant = 0;
    uint32_t writeMultiplier = 0, writeConstant = 0;
  };
  class IoScope;

  void closeLocked(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;  // guards every field below
  std::condition_variable idle_;  // signalled when busy_ drops to 0
  int fd_ = -1;
  int wakeFd_ = -1;  // eventfd: close() makes it readable to end a blocked poll
  std::string lockedPath_;  // our entry in the process-wide set of open ports
  int busy_ = 0;  // reads and writes in progress
  bool closing_ = false;
  Timeouts timeouts_;
};

}  // namespace platform
