#include "FrameCutter.h"

namespace sim {

void FrameCutter::append(const uint8_t* bytes, size_t count) {
  buffer_.insert(buffer_.end(), bytes, bytes + count);
  if (buffer_.size() > kMaxBuffered) {
    // Nothing that long can be one frame: keep only the tail to resync on.
    buffer_.erase(buffer_.begin(), buffer_.end() - static_cast<long>(Frame::kMaxSize));
  }
}

bool FrameCutter::next(Frame& out) {
  const size_t size = buffer_.size();
  size_t pos = 0;
  bool found = false;
  while (true) {
    // A 0x55 as the last byte may still become a start.
    while (pos < size && !(buffer_[pos] == 0x55 && (pos + 1 == size || buffer_[pos + 1] == 0xAA))) ++pos;
    if (size - pos < 6) break;
    size_t total = ((static_cast<size_t>(buffer_[pos + 4]) << 8) | buffer_[pos + 5]) + 7;
    if (total < Frame::kMinSize) {
      ++pos;
      continue;
    }
    if (size - pos < total) break;
    if (out.parse(buffer_.data() + pos, total)) {
      pos += total;
      found = true;
      break;
    }
    ++pos;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(pos));
  return found;
}

}  // namespace sim
