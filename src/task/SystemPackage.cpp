#include "task/SystemPackage.h"

#include <cJSON.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "platform/Paths.h"
#include "platform/FileUtils.h"
#include "platform/PrivateProfile.h"
#include "utils/LogFacade.h"
#include "utils/RemoteUtils.h"
#include "utils/ServiceEndpoints.h"
#include "utils/TextEscape.h"
#include "utils/ZipUtils.h"

namespace {

constexpr int kWebTimeoutSeconds = 5;
constexpr int kMethodGet = 0;
constexpr size_t kLoggedText = 2048;
// Read bound for system.ini: far more than its few keys ever need.
constexpr size_t kMaxDescriptionFile = 64 * 1024;

constexpr char kQueryPath[] = "/Veyra/v3/soft-wares?serial_number=";
constexpr const char* kVersionKeys[] = {"Version", "Corbelb_Version", "Corbelc_Version", "Harbinova_Version"};

bool isCleanValue(const std::string& value) {
  if (value.size() > SystemPackage::kMaxDescriptionValue) return false;
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

}  // namespace

std::string SystemPackage::packageQueryUrl(const std::string& host, const std::string& serialNumber) {
  return host + kQueryPath + urlEncode(serialNumber);
}

bool SystemPackage::parsePackageReply(std::string_view reply, std::string& url) {
  cJSON* root = cJSON_ParseWithLength(reply.data(), reply.size());
  if (root == nullptr) return false;
  const cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
  const cJSON* path = cJSON_IsObject(data) ? cJSON_GetObjectItemCaseSensitive(data, "path") : nullptr;
  const bool ok = cJSON_IsString(path) && path->valuestring != nullptr;
  if (ok) url = path->valuestring;
  cJSON_Delete(root);
  return ok;
}

bool SystemPackage::checkDescription(std::string_view iniText) {
  const std::optional<std::string> version = platform::findProfileValue(iniText, "Info", "Version");
  if (!version || version->empty()) return false;
  for (const char* key : kVersionKeys) {
    const std::optional<std::string> value = platform::findProfileValue(iniText, "Info", key);
    if (value && !isCleanValue(*value)) return false;
  }
  return true;
}

bool SystemPackage::unpackPackage(const std::string& package, const std::string& folder, std::string& image,
                                   std::string& version, std::string& problem) {
  const int rc = ziputils::unzipToFolder(package, folder);
  switch (rc) {
    case 0: break;
    case ziputils::kOpenFailed: problem = "not a zip archive"; break;
    case ziputils::kUnsafeEntry:
      problem = "an entry is not a plain file inside the package (a path that escapes it, a link, a device or "
                "an encrypted entry)";
      break;
    case ziputils::kTooManyEntries: problem = "too many entries"; break;
    case ziputils::kTooLarge: problem = "too large once unpacked"; break;
    default: problem = "cannot be unpacked (code " + std::to_string(rc) + ")"; break;
  }
  if (rc != 0) return false;
  const std::string ini = ziputils::findFileByName(folder, "system.ini");
  if (ini.empty()) {
    problem = "no system.ini in the package";
    return false;
  }
  std::string description;
  if (!platform::readFilePrefix(ini, kMaxDescriptionFile, description) || description.size() > kMaxDescriptionFile ||
      !checkDescription(description)) {
    problem = "system.ini has no usable [Info] Version (missing, empty, too long or with control characters)";
    return false;
  }
  image = ziputils::findFileByName(folder, "system.zip");
  if (image.empty()) {
    problem = "no system.zip in the package";
    return false;
  }
  std::error_code ec;
  const auto size = std::filesystem::file_size(image, ec);
  if (ec || size == 0 || size > static_cast<uint64_t>(kMaxSystemImage)) {
    problem = ec ? "system.zip cannot be read" : size == 0 ? "system.zip is empty" : "system.zip is too large";
    return false;
  }
  version = platform::findProfileValue(description, "Info", "Version").value_or("");
  return true;
}

bool SystemPackage::checkPackage(const std::string& package, std::string& version, std::string& problem) {
  RunFolder work("system-");
  if (work.path().empty()) {
    problem = "no room to unpack it (errno " + std::to_string(errno) + ")";
    return false;
  }
  std::string image;
  return unpackPackage(package, work.path(), image, version, problem);
}

SystemResult SystemPackage::query(const std::string& serialNumber, std::string& url) {
  if (serialNumber.empty()) {
    LOG_INFO("no serial number, no package online");
    return SystemResult::kNoPackage;
  }
  const std::string queryUrl = packageQueryUrl(loadServiceEndpoints().systemPackageHost, serialNumber);
  LOG_INFO("start request url : %s", logfacade::escapeForLog(queryUrl, kLoggedText).c_str());
  std::string response;
  const int rc = RemoteUtils::request(queryUrl, kMethodGet, "", RemoteUtils::kContentJson, response, kWebTimeoutSeconds,
                                      &stop_);
  // -1 is a URL that does not split: asking again cannot help.
  if (rc == -1) return SystemResult::kNoPackage;
  if (rc != 0) {
    LOG_INFO("request failed, errCode : %d", rc);
    return SystemResult::kRetry;
  }
  LOG_INFO("response : %s", logfacade::escapeForLog(response, kLoggedText).c_str());
  std::string location, host, path;
  uint16_t port = 0;
  bool https = false;
  if (!parsePackageReply(response, location) || !RemoteUtils::parseUrl(location, host, path, port, https)) {
    LOG_INFO("no system package online");
    return SystemResult::kNoPackage;
  }
  url = location;
  return SystemResult::kDone;
}

SystemResult SystemPackage::download(const std::string& url, std::string& destination) {
  // A folder of this run's own: another run's download never takes its place,
  // and the package goes with the folder when the run ends.
  if (!downloads_) downloads_ = std::make_unique<RunFolder>("download-");
  const std::string file =
      downloads_->path().empty() ? std::string() : platform::joinPath(downloads_->path(), "SYSTEM_PACKAGE.zip");
  if (url.empty() || file.empty()) return SystemResult::kRetry;
  const int rc = RemoteUtils::download(url, kMethodGet, "", file, kWebTimeoutSeconds, &stop_);
  if (rc != 0) {
    LOG_WARN("download system package failed rlt : %d", rc);
    return SystemResult::kRetry;
  }
  destination = file;
  return SystemResult::kDone;
}
