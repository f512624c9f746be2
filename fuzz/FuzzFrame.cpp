// Frame codec and payload readers on arbitrary bytes: once as bytes received
// from a link, once as the data of a reply the codec built, so that every
// reader meets every declared length.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "session/Frame.h"
#include "utils/HexText.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void readAll(const Frame& f) {
  const size_t size = f.payloadSize();
  uint8_t first = 0;
  check(readFirstByte(f, first) == (size >= 1));
  std::string a, b;
  if (readString8(f, a)) check(a.size() < size);
  if (readTwoStrings8(f, a, b)) check(a.size() + b.size() + 2 <= size);
  if (readTwoStrings16(f, a, b)) check(a.size() + b.size() + 4 <= size);
  std::array<std::string, 5> five;
  if (readFiveFields16(f, five)) {
    size_t total = 0;
    for (const auto& t : five) total += t.size();
    check(total <= size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Frame received;
  if (received.parse(data, size)) {
    check(received.size() == size && received.dataLength() + Frame::kMinSize == size);
    readAll(received);
  } else {
    check(!Frame::isValid(data, size));
  }
  std::string name;
  if (matchNameReply(data, size, name)) check(received.command() == 0x61 && name.size() <= 255);
  check(toHexString(data, size).size() == 2 * size);

  if (size < 2 || size - 2 > Frame::kMaxDataLength) return 0;
  const uint8_t* payload = size > 2 ? data + 2 : nullptr;
  const size_t length = size - 2;
  Frame built;
  check(built.build(0xF0, 0xF8, data[0], data[1], payload, static_cast<unsigned>(length)));
  check(Frame::isValid(built.bytes().data(), built.size()) && built.dataLength() == length);
  readAll(built);

  // The same request built in two pieces.
  const size_t head = length / 2;
  Frame pieces;
  check(pieces.build(0xF0, 0xF8, data[0], data[1], head ? payload : nullptr, static_cast<unsigned>(head)));
  check(pieces.appendData(length > head ? payload + head : nullptr, static_cast<unsigned>(length - head)));
  check(pieces.size() == built.size() && Frame::isValid(pieces.bytes().data(), pieces.size()));
  return 0;
}
