// The online half of CDeviceInfo: the newest versions and their download
// links from the software list (JSON) and the version service (SOAP).
#include <iterator>
#include <string>
#include <vector>

#include "app/DeviceModel.h"
#include "app/TextNotifier.h"
#include "devinfo/CDeviceInfo.h"
#include "devinfo/OnlineReplies.h"
#include "utils/LogFacade.h"
#include "utils/RemoteUtils.h"
#include "utils/ServiceEndpoints.h"
#include "utils/TextEscape.h"

namespace {

constexpr char kOnlineErr[] = "ERR_READ_DEV_OL_VER: ";
constexpr int kTextKind = 2;
constexpr int kRequestTimeoutSeconds = 5;
constexpr int kUnsupportedModel = 6;
// Log lines carry whole replies; the facade's own limit is far above this.
constexpr size_t kLoggedReply = 4096;

constexpr char kSoapEnvelopeNs[] = "http://schemas.xmlsoap.org/soap/envelope/";

struct ModelNames {
  const char* softName;    // J2534 firmware query
  const char* systemName;  // system query
};

// By model number. The version service knows no system name for the Q-TRAK
// models; model 5 reads a system version, so it is asked with an empty name
// like model 4 rather than past the end of the table.
constexpr ModelNames kModelNames[] = {
    {"LINK_Veyra", "Veyra_System"},    // 0
    {"LINK_Pellan", "Pellan_System"},  // 1
    {"LINK_Veyra", "KORV_SYSTEM"},     // 2
    {"", ""},                          // 3
    {"", ""},                          // 4
    {"", ""},                          // 5
};
static_assert(std::size(kModelNames) == kUnsupportedModel);

std::string logged(const std::string& text) { return logfacade::escapeForLog(text, kLoggedReply); }

std::string softListUrl(int region) {
  ServiceEndpoints endpoints = loadServiceEndpoints();
  return region == 1 ? endpoints.softListUrlCN : endpoints.softListUrl;
}

std::string versionServiceUrl(int region) {
  ServiceEndpoints endpoints = loadServiceEndpoints();
  return region != 0 ? endpoints.versionServiceUrlCN : endpoints.versionServiceUrl;
}

// POSTs body and hands back the reply; false (logged) when the exchange failed.
bool post(const std::string& url, const std::string& body, int contentKind, std::string& response) {
  LOG_INFO("request url :%s\xEF\xBC\x8C data : %s", logged(url).c_str(), logged(body).c_str());
  int rc = RemoteUtils::request(url, RemoteUtils::kMethodPost, body, contentKind, response, kRequestTimeoutSeconds);
  if (rc != 0) {
    LOG_WARN("request url : %s failed, errCode : %d", logged(url).c_str(), rc);
    return false;
  }
  return true;
}

bool requestSoftList(int region, const std::string& serialNumber, std::vector<SoftListEntry>& entries) {
  const std::string body = "{\"sn\":\"" + jsonEscape(serialNumber) + "\"}";
  std::string response;
  if (!post(softListUrl(region), body, RemoteUtils::kContentJson, response)) return false;
  LOG_INFO("result: %s", logged(response).c_str());
  return parseSoftList(response, entries);
}

void fillSlot(const SoftListEntry& entry, SoftwareSlot& slot) {
  if (entry.version) slot.latestVersion = *entry.version;
  if (entry.softPackageName) slot.packageName = *entry.softPackageName;
  if (entry.downloadLink) slot.downloadLink = *entry.downloadLink;
}

// Asks the version service for softName; fills the slot's download link and
// newest version from the reply.
bool requestVersion(int region, const std::string& serialNumber, const std::string& softName,
                    const std::string& systemName, bool systemQuery, SoftwareSlot& slot) {
  const std::string body = CDeviceInfo::buildVersionQuery(serialNumber, softName, systemName);
  std::string response;
  if (!post(versionServiceUrl(region), body, 0, response)) return false;
  if (systemQuery) {
    LOG_INFO("result:%s", logged(response).c_str());
  } else {
    LOG_INFO("result: %s", logged(response).c_str());
  }
  std::string link;
  if (!soapTagText(response, "downloadUrl", link)) return false;
  slot.downloadLink = link;
  std::string version;
  if (!soapTagText(response, "versionNo", version)) return false;
  slot.latestVersion = version;
  return true;
}

void reportOnline(const char* text) {
  LOG_WARN("%s", text);
  TextNotifier::getInstance().post(kOnlineErr, text, kTextKind);
}

}  // namespace

std::string CDeviceInfo::buildVersionQuery(const std::string& serialNumber, const std::string& softName,
                                           const std::string& systemName) {
  return buildVersionQuery(serialNumber, softName, systemName, loadServiceEndpoints().soapNamespace);
}

std::string CDeviceInfo::buildVersionQuery(const std::string& serialNumber, const std::string& softName,
                                           const std::string& systemName, const std::string& soapNamespace) {
  std::string query = "<soapenv:Envelope xmlns:soapenv=\"";
  query += kSoapEnvelopeNs;
  query += "\" xmlns:marlo=\"" + xmlEscape(soapNamespace) + "\">";
  query += "<soapenv:Header/><soapenv:Body><marlo:getMaxVersionForMobileApp>";
  query += "<imei>" + xmlEscape(serialNumber) + "</imei>";
  query += "<softName>" + xmlEscape(softName) + "</softName>";
  query += "<systemName>" + xmlEscape(systemName) + "</systemName>";
  query += "<lanId>1002</lanId></marlo:getMaxVersionForMobileApp></soapenv:Body></soapenv:Envelope>";
  return query;
}

bool CDeviceInfo::requestAlphaSnFWLastVer(int region, const std::string& serialNumber, SoftwareSlot& firmware,
                                          SoftwareSlot& j2534Firmware) {
  std::vector<SoftListEntry> entries;
  if (!requestSoftList(region, serialNumber, entries)) return false;
  for (const SoftListEntry& entry : entries) {
    if (!entry.hasSoftType) continue;
    if (entry.softType == "1") {
      fillSlot(entry, firmware);
      firmware.softType = "1";
    } else if (entry.softType == "3") {
      fillSlot(entry, j2534Firmware);
      j2534Firmware.softType = "3";
    }
  }
  return true;
}

bool CDeviceInfo::requestNumSnDownloadLastVer(int region, const std::string& serialNumber, SoftwareSlot& firmware) {
  std::vector<SoftListEntry> entries;
  if (!requestSoftList(region, serialNumber, entries)) return false;
  for (const SoftListEntry& entry : entries) {
    if (entry.hasSoftType && !entry.softTypeIsNumber && entry.softType == "1") fillSlot(entry, firmware);
  }
  return true;
}

bool CDeviceInfo::requestNumSnJ2534LastVer(int region, const std::string& serialNumber, SoftwareSlot& j2534Firmware) {
  const int model = classifyModel(serialNumber);
  if (model < 0 || model >= kUnsupportedModel) {
    LOG_WARN("not support device");
    return false;
  }
  const std::string softName = kModelNames[model].softName;
  if (!requestVersion(region, serialNumber, softName, "", false, j2534Firmware)) return false;
  j2534Firmware.packageName = softName;
  return true;
}

bool CDeviceInfo::requestSysLastVer(int region, const std::string& serialNumber, SoftwareSlot& system) {
  const int model = classifyModel(serialNumber);
  if (model < 0 || model >= kUnsupportedModel) {
    LOG_WARN("not support device");
    return false;
  }
  if (!requestVersion(region, serialNumber, kModelNames[model].systemName, system.packageName, true, system)) {
    return false;
  }
  // "0": nothing newer than what the device runs.
  if (system.latestVersion == "0") system.latestVersion = system.packageName;
  return true;
}

bool CDeviceInfo::requestDevOnlineVer(DeviceInfo& info) {
  const std::string& sn = info.serialNumber;
  bool ok = false;
  if (isAlphanumericSerial(sn) || classifyModel(sn) == 3) {
    ok = requestAlphaSnFWLastVer(0, sn, info.firmware, info.j2534Firmware);
    if (!ok || info.firmware.latestVersion.empty()) {
      ok = requestAlphaSnFWLastVer(1, sn, info.firmware, info.j2534Firmware);
    }
    if (!ok) reportOnline("request last firemware info error");
  } else {
    ok = requestNumSnDownloadLastVer(0, sn, info.firmware);
    if (!ok || info.firmware.latestVersion.empty()) ok = requestNumSnDownloadLastVer(1, sn, info.firmware);
    if (!ok) reportOnline("request last Download info error");

    ok = requestNumSnJ2534LastVer(0, sn, info.j2534Firmware);
    if (!ok || info.j2534Firmware.latestVersion.empty()) ok = requestNumSnJ2534LastVer(1, sn, info.j2534Firmware);
    if (!ok) reportOnline("request last J2534 info error");
  }

  if (!info.system.packageName.empty()) {
    ok = requestSysLastVer(0, sn, info.system);
    if (!ok || info.system.latestVersion.empty()) ok = requestSysLastVer(1, sn, info.system);
    if (!ok) reportOnline("request last system info error");
  }
  return ok;
}
