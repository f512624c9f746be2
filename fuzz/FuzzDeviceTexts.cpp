// Texts a device or a user hands over that are cut up by hand rather than by
// the frame readers: the system-version reply's two texts and a Bluetooth
// address. Every piece cut from a text must lie inside it, and an address
// that parses must read back to the same number.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "devinfo/CDeviceInfo.h"
#include "platform/BluetoothRfcomm.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void checkInside(const std::string& piece, const std::string& a, const std::string& b) {
  check(piece.empty() || a.find(piece) != std::string::npos || b.find(piece) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t cut = text.find('\0');
  const std::string first = text.substr(0, cut);
  const std::string second = cut == std::string::npos ? std::string() : text.substr(cut + 1);

  DeviceInfo info;
  applySystemTexts(first, second, info);
  for (const std::string* piece : {&info.platform.packageName, &info.platform.version,
                                   &info.system.packageName, &info.system.version}) {
    checkInside(*piece, first, second);
  }

  uint64_t address = 0;
  if (platform::parseBluetoothAddress(text, &address)) {
    char again[24];
    std::snprintf(again, sizeof again, "0x%" PRIx64, address);
    uint64_t reread = 1;
    check(platform::parseBluetoothAddress(again, &reread) && reread == address);
  }
  return 0;
}
