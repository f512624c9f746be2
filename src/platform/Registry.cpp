#include "platform/Registry.h"

#include "platform/PrivateProfile.h"

#include <cstdlib>

namespace platform {

std::string registryFilePath() {
  const char* v = std::getenv("KESTREL_REGISTRY");
  return (v && *v) ? std::string(v) : std::string("/etc/kestrel/registry.ini");
}

std::optional<std::string> readRegistryString(std::string_view keyPath, std::string_view valueName) {
  return readProfileValue(registryFilePath(), keyPath, valueName);
}

}  // namespace platform
