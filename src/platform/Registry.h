#pragma once
#include <optional>
#include <string>
#include <string_view>

// The registry stand-in: an ini file whose sections are key paths
// ("SOFTWARE\WOW6432Node\...") and whose keys are value names. The file is
// $KESTREL_REGISTRY, else /etc/kestrel/registry.ini, looked up on every call.
namespace platform {

std::string registryFilePath();

// The value as text; nullopt when the file, the key or the value is missing.
std::optional<std::string> readRegistryString(std::string_view keyPath, std::string_view valueName);

}  // namespace platform
