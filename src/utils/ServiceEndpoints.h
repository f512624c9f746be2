#pragma once
#include <string>

// Where the maker's web services are, a deployment setting: the ini file
// $KESTREL_SERVICES, else <work root>/config/services.ini, else the machine's
// /etc/kestrel/services.ini, section [Services].
// A missing file or key leaves its field empty; a query to an empty endpoint
// then fails like any unreachable one.
struct ServiceEndpoints {
  std::string softListUrl;          // SoftListUrl: JSON software list, international
  std::string softListUrlCN;        // SoftListUrlCN: JSON software list, China
  std::string versionServiceUrl;    // VersionServiceUrl: SOAP version service, international
  std::string versionServiceUrlCN;  // VersionServiceUrlCN: SOAP version service, China
  std::string soapNamespace;        // SoapNamespace: URI bound to the service's SOAP prefix
  std::string firmwareInfoUrl;      // FirmwareInfoUrl: firmware-information endpoint
  std::string systemPackageHost;    // SystemPackageHost: scheme://host[:port] of the package service
};

inline constexpr const char* kSystemServicesFile = "/etc/kestrel/services.ini";

// $KESTREL_SERVICES, else <work root>/config/services.ini: the file a
// deployment writes.
std::string serviceEndpointsPath();
// The file the programs read: serviceEndpointsPath(), unless KESTREL_SERVICES
// is unset and the root holds none while systemFile exists.
std::string readServiceEndpointsPath(const std::string& systemFile = kSystemServicesFile);

ServiceEndpoints loadServiceEndpoints();  // from readServiceEndpointsPath()
ServiceEndpoints loadServiceEndpoints(const std::string& path);

// Writes every field, creating the file and its folders. 0, else an errno
// (EINVAL for a value holding a line break, which the file cannot carry).
int saveServiceEndpoints(const std::string& path, const ServiceEndpoints& endpoints);
