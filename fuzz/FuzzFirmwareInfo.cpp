#include <cstddef>
#include <cstdint>
#include <string>

#include "firmware/CFirmwareUpDateUtils.h"

// The firmware-information reply is whatever the server sends. Besides
// crashes, checks that an accepted reply hands out exactly what it holds: a
// location and a version no longer than the reply, and nothing on refusal.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  std::string url = "untouched";
  std::string version = "untouched";
  if (CFirmwareUpDateUtils::parseFirmwareInfo(reply, url, version)) {
    if (url.size() > size || version.size() > size) __builtin_trap();
    if (reply.find("downloadUrlUS") == std::string::npos && reply.find("\\u") == std::string::npos) __builtin_trap();
  } else if (url != "untouched" || version != "untouched") {
    __builtin_trap();
  }
  return 0;
}
