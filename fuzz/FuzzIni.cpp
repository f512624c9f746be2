#include "platform/PrivateProfile.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// Input: a first line "section<TAB>key", then the ini text. Besides looking for
// crashes and out-of-bounds reads, it checks that a write is read back: after
// setting the key, the lookup must return exactly what was set.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  std::string_view header = input.substr(0, nl);
  std::string_view text = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);
  size_t tab = header.find('\t');
  std::string_view section = header.substr(0, tab);
  std::string_view key = tab == std::string_view::npos ? std::string_view("k") : header.substr(tab + 1);

  (void)platform::findProfileValue(text, section, key);
  (void)platform::parseProfileInt(text, 0);

  auto updated = platform::setProfileValues(text, section, {{std::string(key), "fuzz"}});
  if (updated) {
    auto back = platform::findProfileValue(*updated, section, key);
    if (!back || *back != "fuzz") __builtin_trap();
  }
  return 0;
}
