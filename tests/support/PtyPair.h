#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal pair standing in for a USB serial device: the code under
// test opens slavePath(), the test plays the device on the master side.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }

  void write(const std::vector<uint8_t>& bytes);
  void write(const std::string& text) { write(std::vector<uint8_t>(text.begin(), text.end())); }
  // Reads until `count` bytes arrived or no byte came for `quiet`.
  std::vector<uint8_t> read(size_t count, std::chrono::milliseconds quiet = std::chrono::milliseconds(200));
  // Reads and discards everything until the master has been idle for `quiet`.
  size_t drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
  // The device goes away: the slave side hangs up.
  void closeMaster();

 private:
  int master_ = -1;
  std::string slavePath_;
};
