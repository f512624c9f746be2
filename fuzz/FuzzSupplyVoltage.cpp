// The supply-voltage reply on arbitrary bytes, as a frame cut from a link and
// as the data of a reply the codec built: a value only from a whole frame, and
// never more than the 24 bits can hold.
#include <cstdint>
#include <cstdlib>

#include "session/Frame.h"
#include "viewmodel/LinkProbes.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void read(const Frame& frame) {
  std::optional<float> volts = parseSupplyVoltage(frame);
  check(volts.has_value() == (frame.size() >= 23));
  if (volts) check(*volts >= 0.0f && *volts <= 16777.215f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Frame received;
  if (received.parse(data, size)) read(received);
  Frame built;
  if (built.build(0xF8, 0xF0, 0x80, 0x04, size ? data : nullptr, static_cast<unsigned>(size))) read(built);
  return 0;
}
