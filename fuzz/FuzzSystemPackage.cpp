#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "task/SystemPackage.h"

// The package query's reply and a package's system.ini are both whatever a
// server or a package holds. Besides crashes, checks that an accepted reply
// hands out no more than it holds and a refused one hands out nothing, and
// that an accepted description really has a Version.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string url = "untouched";
  if (SystemPackage::parsePackageReply(input, url)) {
    if (url.size() > size) __builtin_trap();
  } else if (url != "untouched") {
    __builtin_trap();
  }
  if (SystemPackage::checkDescription(input) && input.find('=') == std::string_view::npos) __builtin_trap();
  return 0;
}
