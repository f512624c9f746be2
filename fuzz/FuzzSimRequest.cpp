// Arbitrary bytes from a host, as the virtual device's links would hand them
// to the device: cut into frames, each answered. Nothing may crash, and with
// no fault scripted every reply must be a valid frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "DeviceCore.h"
#include "FrameCutter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the device's starting state and the link.
  const uint8_t selector = data[0];
  sim::DeviceConfig config;
  config.serialNumber = sim::sampleSerial(selector & 0x07, (selector & 0x08) == 0);
  config.mode = static_cast<sim::DeviceMode>((selector >> 4) % 3);
  config.serialIdentityDelay = std::chrono::milliseconds(0);
  sim::DeviceCore core(config);
  const sim::LinkKind link = static_cast<sim::LinkKind>((selector >> 6) & 0x03);

  sim::FrameCutter cutter;
  cutter.append(data + 1, size - 1);
  Frame request;
  while (cutter.next(request)) {
    sim::Response response = core.handle(request, link);
    for (const auto& emission : response.emissions) {
      if (!Frame::isValid(emission.bytes.data(), emission.bytes.size())) std::abort();
    }
  }
  return 0;
}
