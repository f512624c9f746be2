#include "utils/RemoteUtils.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Besides crashes, checks what the request builder relies on: an accepted URL
// has a path starting with '/', a host free of ':' and '/', a usable port,
// and TLS only for the exact scheme "https".
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string url(reinterpret_cast<const char*>(data), size);
  std::string host, path;
  uint16_t port = 0;
  bool https = false;
  if (!RemoteUtils::parseUrl(url, host, path, port, https)) return 0;
  if (path.empty() || path.front() != '/') __builtin_trap();
  if (host.find_first_of(":/@") != std::string::npos) __builtin_trap();
  if (port == 0) __builtin_trap();
  if (https != (url.rfind("https://", 0) == 0)) __builtin_trap();
  return 0;
}
