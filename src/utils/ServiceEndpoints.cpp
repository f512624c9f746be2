#include "utils/ServiceEndpoints.h"

#include "platform/Paths.h"
#include "platform/PrivateProfile.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

constexpr std::string_view kSection = "Services";

struct Field {
  std::string_view key;
  std::string ServiceEndpoints::*member;
};

constexpr Field kFields[] = {
    {"SoftListUrl", &ServiceEndpoints::softListUrl},
    {"SoftListUrlCN", &ServiceEndpoints::softListUrlCN},
    {"VersionServiceUrl", &ServiceEndpoints::versionServiceUrl},
    {"VersionServiceUrlCN", &ServiceEndpoints::versionServiceUrlCN},
    {"SoapNamespace", &ServiceEndpoints::soapNamespace},
    {"FirmwareInfoUrl", &ServiceEndpoints::firmwareInfoUrl},
    {"SystemPackageHost", &ServiceEndpoints::systemPackageHost},
};

}  // namespace

std::string serviceEndpointsPath() {
  const char* overridePath = std::getenv("KESTREL_SERVICES");
  if (overridePath && *overridePath) return overridePath;
  return platform::joinPath(platform::configDir(), "services.ini");
}

std::string readServiceEndpointsPath(const std::string& systemFile) {
  std::string path = serviceEndpointsPath();
  const char* overridePath = std::getenv("KESTREL_SERVICES");
  if (overridePath && *overridePath) return path;
  std::error_code ec;
  // The user's own file wins even when unreadable, so its problem is reported rather than hidden.
  if (std::filesystem::exists(path, ec) || !std::filesystem::is_regular_file(systemFile, ec)) return path;
  return systemFile;
}

ServiceEndpoints loadServiceEndpoints() { return loadServiceEndpoints(readServiceEndpointsPath()); }

ServiceEndpoints loadServiceEndpoints(const std::string& path) {
  ServiceEndpoints endpoints;
  for (const Field& field : kFields) {
    endpoints.*field.member = platform::getProfileString(path, kSection, field.key, "");
  }
  return endpoints;
}

int saveServiceEndpoints(const std::string& path, const ServiceEndpoints& endpoints) {
  platform::ProfileEntries entries;
  for (const Field& field : kFields) {
    const std::string& value = endpoints.*field.member;
    if (value.find_first_of("\r\n") != std::string::npos) return EINVAL;
    entries.emplace_back(std::string(field.key), value);
  }
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) return ec.value();
  }
  errno = 0;
  if (!platform::writeProfileStrings(path, kSection, entries)) return errno ? errno : EIO;
  return 0;
}
