#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devinfo/OnlineReplies.h"

// The software-list and version-service replies are whatever a server sends.
// Besides crashes, checks what the queries rely on: a tag's text is never
// longer than the reply and holds no control character, and a list is only
// accepted with at least one element.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);

  std::vector<SoftListEntry> entries;
  if (parseSoftList(reply, entries)) {
    if (entries.empty()) __builtin_trap();
    for (const SoftListEntry& entry : entries) {
      if (!entry.hasSoftType && (!entry.softType.empty() || entry.softTypeIsNumber)) __builtin_trap();
    }
  }

  for (std::string_view tag : {"versionNo", "downloadUrl"}) {
    std::string text;
    if (!soapTagText(reply, tag, text)) continue;
    if (text.size() > size) __builtin_trap();
    for (char c : text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) __builtin_trap();
    }
  }
  return 0;
}
