#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "session/Frame.h"

namespace sim {

// Cuts request frames out of a byte stream as the device's receiver would:
// it hunts for 55 AA, waits for the length the header promises, and on a bad
// checksum drops the start bytes and hunts again.
class FrameCutter {
 public:
  // Bytes kept while waiting for the rest of a frame; the largest frame fits.
  static constexpr size_t kMaxBuffered = Frame::kMaxSize + 4096;

  void append(const uint8_t* bytes, size_t count);
  // The next complete valid frame, if any.
  bool next(Frame& out);
  size_t buffered() const { return buffer_.size(); }

 private:
  std::vector<uint8_t> buffer_;
};

}  // namespace sim
