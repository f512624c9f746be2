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
// Log lines carry whole replies; the facade's own limit is far above this.
constexpr size_t kLoggedReply = 4096;

constexpr char kSoapEnvelopeNs[] = "http://schemas.xmlsoap.org/soap/envelope/";



std::string logged(const std::string& text) { return logfacade::escapeForLog(text, kLoggedReply); }

std::string softListUrl(int region) {
  ServiceEndpoints endpoints = loadServiceEndpoints();
  return region == 1 ? endpoints.softListUrlCN : endpoints.softListUrl;
}

std::string versionServiceUrl(int region) {
  ServiceEndpoints endpoints = loadServiceEndpoints();
  return region != 0 ? endpoints.versionServiceUrlCN : endpoints.versionServiceUrl;
}

// "the software list at URL" for the user's failure texts.
std::string serviceAt(const char* service, const std::string& url) {
  return std::string("the ") + service + (url.empty() ? std::string(" (no address configured)") : " at " + logged(url));
}

// POSTs body and hands back the reply; false (logged, why filled) when the exchange failed.
bool post(const char* service, const std::string& url, const std::string& body, int contentKind,
          std::string& response, std::string& why) {
  LOG_INFO("request url :%s\xEF\xBC\x8C data : %s", logged(url).c_str(), logged(body).c_str());
  int rc = RemoteUtils::request(url, RemoteUtils::kMethodPost, body, contentKind, response, kRequestTimeoutSeconds);
  if (rc != 0) {
    LOG_WARN("request url : %s failed, errCode : %d", logged(url).c_str(), rc);
    why = serviceAt(service, url) + " could not be reached (error " + std::to_string(rc) + ")";
    return false;
  }
  return true;
}

// The client hands back error pages as replies; their first text (tags left
// out) tells the status the server gave.
std::string replyHead(const std::string& response) {
  constexpr size_t kShown = 80;
  std::string head;
  bool inTag = false;
  for (char c : response.substr(0, 1024)) {
    if (c == '<' || c == '>') {
      inTag = c == '<';
      if (!head.empty() && head.back() != ' ') head += ' ';
    } else if (!inTag && c != '\r' && c != '\n') {
      head += c;
    }
    if (head.size() >= kShown) break;
  }
  head.erase(0, head.find_first_not_of(' '));
  head.erase(head.find_last_not_of(' ') + 1);
  return head.empty() ? "an empty reply" : "\"" + logfacade::escapeForLog(head, kShown) + "\"";
}

constexpr char kSoftListService[] = "software list";
constexpr char kVersionService[] = "version service";

bool requestSoftList(int region, const std::string& serialNumber, std::vector<SoftListEntry>& entries,
                     std::string& why) {
  const std::string body = "{\"sn\":\"" + jsonEscape(serialNumber) + "\"}";
  const std::string url = softListUrl(region);
  std::string response;
  if (!post(kSoftListService, url, body, RemoteUtils::kContentJson, response, why)) return false;
  LOG_INFO("result: %s", logged(response).c_str());
  if (parseSoftList(response, entries)) return true;
  why = serviceAt(kSoftListService, url) + " answered no software list: " + replyHead(response);
  return false;
}

void fillSlot(const SoftListEntry& entry, SoftwareSlot& slot) {
  if (entry.version) slot.latestVersion = *entry.version;
  if (entry.softPackageName) slot.packageName = *entry.softPackageName;
  if (entry.downloadLink) slot.downloadLink = *entry.downloadLink;
}

// Asks the version service for softName; fills the slot's download link and
// newest version from the reply.
bool requestVersion(int region, const std::string& serialNumber, const std::string& softName,
                    const std::string& systemName, bool systemQuery, SoftwareSlot& slot, std::string& why) {
  const std::string body = CDeviceInfo::buildVersionQuery(serialNumber, softName, systemName);
  const std::string url = versionServiceUrl(region);
  std::string response;
  if (!post(kVersionService, url, body, 0, response, why)) return false;
  why = serviceAt(kVersionService, url) + " answered no version: " + replyHead(response);
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
  if (!requestSoftList(region, serialNumber, entries, lastOnlineFailure)) return false;
  lastOnlineFailure = serviceAt(kSoftListService, softListUrl(region)) + " offers no firmware for this device";
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
  if (!requestSoftList(region, serialNumber, entries, lastOnlineFailure)) return false;
  lastOnlineFailure = serviceAt(kSoftListService, softListUrl(region)) + " offers no firmware for this device";
  for (const SoftListEntry& entry : entries) {
    if (entry.hasSoftType && !entry.softTypeIsNumber && entry.softType == "1") fillSlot(entry, firmware);
  }
  return true;
}

bool CDeviceInfo::requestNumSnJ2534LastVer(int region, const std::string& serialNumber, SoftwareSlot& j2534Firmware) {
  const DeviceModel model = classifyModel(serialNumber);
  if (model == DeviceModel::Unsupported) {
    LOG_WARN("not support device");
    lastOnlineFailure = "the web services know no such model";
    return false;
  }
  const std::string softName = traitsOf(model).softwareName;
  if (!requestVersion(region, serialNumber, softName, "", false, j2534Firmware, lastOnlineFailure)) return false;
  j2534Firmware.packageName = softName;
  return true;
}

bool CDeviceInfo::requestSysLastVer(int region, const std::string& serialNumber, SoftwareSlot& system) {
  const DeviceModel model = classifyModel(serialNumber);
  if (model == DeviceModel::Unsupported) {
    LOG_WARN("not support device");
    lastOnlineFailure = "the web services know no such model";
    return false;
  }
  if (!requestVersion(region, serialNumber, traitsOf(model).systemName, system.packageName, true, system,
                      lastOnlineFailure)) {
    return false;
  }
  // "0": nothing newer than what the device runs.
  if (system.latestVersion == "0") system.latestVersion = system.packageName;
  return true;
}

bool CDeviceInfo::requestDevOnlineVer(DeviceInfo& info) {
  const std::string& sn = info.serialNumber;
  // Each group of queries below leaves its own failure for the slots it fills.
  auto noteUnknown = [this](SoftwareSlot& slot) {
    if (slot.latestVersion.empty()) slot.latestUnknownWhy = lastOnlineFailure;
  };
  bool ok = false;
  if (isAlphanumericSerial(sn) || classifyModel(sn) == DeviceModel::Tolva4) {
    ok = requestAlphaSnFWLastVer(0, sn, info.firmware, info.j2534Firmware);
    if (!ok || info.firmware.latestVersion.empty()) {
      ok = requestAlphaSnFWLastVer(1, sn, info.firmware, info.j2534Firmware);
    }
    if (!ok) reportOnline("request last firemware info error");
    noteUnknown(info.firmware);
    noteUnknown(info.j2534Firmware);
  } else {
    ok = requestNumSnDownloadLastVer(0, sn, info.firmware);
    if (!ok || info.firmware.latestVersion.empty()) ok = requestNumSnDownloadLastVer(1, sn, info.firmware);
    if (!ok) reportOnline("request last Download info error");
    noteUnknown(info.firmware);

    ok = requestNumSnJ2534LastVer(0, sn, info.j2534Firmware);
    if (!ok || info.j2534Firmware.latestVersion.empty()) ok = requestNumSnJ2534LastVer(1, sn, info.j2534Firmware);
    if (!ok) reportOnline("request last J2534 info error");
    noteUnknown(info.j2534Firmware);
  }

  if (!info.system.packageName.empty()) {
    ok = requestSysLastVer(0, sn, info.system);
    if (!ok || info.system.latestVersion.empty()) ok = requestSysLastVer(1, sn, info.system);
    if (!ok) reportOnline("request last system info error");
    noteUnknown(info.system);
  }
  return ok;
}
