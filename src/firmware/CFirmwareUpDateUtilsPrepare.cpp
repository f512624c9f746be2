#include <cJSON.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include "firmware/CFirmwareUpDateUtils.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "utils/LogFacade.h"
#include "utils/RemoteUtils.h"
#include "utils/ServiceEndpoints.h"
#include "utils/TextEscape.h"
#include "utils/ZipUtils.h"

namespace {

using namespace std::chrono_literals;

constexpr int kDownloadTries = 3;
constexpr auto kDownloadRetryPause = 100ms;
constexpr int kWebTimeoutSeconds = 5;
constexpr int kFirmwareInfoAttempts = 3;
constexpr int kMethodGet = 0;
// Web replies and URLs are logged, but never whole.
constexpr size_t kLoggedReply = 2048;

// Both packages hold their image under the same name.
constexpr char kImageInPackage[] = "Diagnostic/Configure/Download/DOWNLOAD.BIN";

std::string packageStem(const std::string& softType) {
  if (softType == "1") return "DOWNLOAD_BIN";
  if (softType == "3") return "J2534_BOX_BIN";
  return {};
}

// The service only wants a value that differs from one request to the next.
std::string randomValue() {
  std::random_device source;
  return std::to_string(source());
}

bool stringMember(const cJSON* object, const char* name, std::string& out) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  if (!cJSON_IsString(item) || item->valuestring == nullptr) return false;
  out = item->valuestring;
  return true;
}

}  // namespace

std::string CFirmwareUpDateUtils::packageFilePath(const std::string& softType, const std::string& root) {
  const std::string stem = packageStem(softType);
  if (stem.empty()) return {};
  return platform::joinPath(root.empty() ? platform::updateDir() : root, stem + ".zip");
}

std::string CFirmwareUpDateUtils::imageFilePath(const std::string& softType, const std::string& root) {
  const std::string stem = packageStem(softType);
  if (stem.empty()) return {};
  return platform::joinPath(platform::joinPath(root.empty() ? platform::updateDir() : root, stem), kImageInPackage);
}

std::string CFirmwareUpDateUtils::packageFolder(const std::string& packagePath) {
  // Only the file name counts: a ".zip" in a folder name above the package
  // would otherwise unpack it somewhere else entirely.
  const size_t slash = packagePath.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t ext = packagePath.find(".zip", nameStart);
  if (ext == std::string::npos) return {};
  return packagePath.substr(0, ext);
}

int CFirmwareUpDateUtils::unzipToFolder(const std::string& packagePath, const std::string& folder) {
  // An empty folder would mean the current directory.
  if (folder.empty()) return ziputils::kWriteFailed;
  return ziputils::unzipToFolder(packagePath, folder);
}

int CFirmwareUpDateUtils::downloadFile(const std::string& location, const std::string& filePath,
                                       const std::atomic<bool>* stop) {
  for (int attempt = 1; attempt <= kDownloadTries; ++attempt) {
    int rc = RemoteUtils::download(location, kMethodGet, "", filePath, kWebTimeoutSeconds, stop);
    if (rc == 0) return 0;
    if (stop && stop->load()) return -1;
    LOG_INFO("download try %d failed rlt : %d", attempt, rc);
    if (attempt < kDownloadTries) platform::sleepFor(kDownloadRetryPause);
  }
  return -1;
}

int CFirmwareUpDateUtils::DigitFirmwareUpgradePrepare(const std::string& location, const std::string& packagePath) {
  const std::string folder = packageFolder(packagePath);
  // What an earlier attempt unpacked must never pass for this package's image.
  if (!folder.empty()) ziputils::removeTree(folder);
  const std::string shownUrl = logfacade::escapeForLog(location, kLoggedReply);
  int rc = downloadFile(location, packagePath, stop);
  if (rc != 0) {
    LOG_WARN("Firmware download failed rlt : %d, url : %s", rc, shownUrl.c_str());
    return kDownloadFailed;
  }
  rc = unzipToFolder(packagePath, folder);
  if (rc != 0) {
    LOG_WARN("Firmware unzip failed rlt : %d, url : %s", rc, shownUrl.c_str());
    return kUnzipFailed;
  }
  return 0;
}

std::string CFirmwareUpDateUtils::firmwareInfoUrl(const std::string& endpoint, const std::string& random,
                                                  const std::string& serial, const std::string& softType) {
  return endpoint + "?random=" + urlEncode(random) + "&sn=" + urlEncode(serial) + "&softType=" + urlEncode(softType);
}

bool CFirmwareUpDateUtils::parseFirmwareInfo(const std::string& reply, std::string& downloadUrl,
                                             std::string& version) {
  cJSON* root = cJSON_ParseWithLength(reply.data(), reply.size());
  if (root == nullptr) return false;
  const cJSON* result = cJSON_GetObjectItemCaseSensitive(root, "result");
  std::string url;
  std::string ver;
  bool ok = cJSON_IsObject(result) && stringMember(result, "version", ver) && stringMember(result, "downloadUrlUS", url);
  cJSON_Delete(root);
  if (!ok) return false;
  downloadUrl = url;
  version = ver;
  return true;
}

int CFirmwareUpDateUtils::requestFirmwareInfo(const std::string& serial, const std::string& softType,
                                              const std::string& random, std::string& downloadUrl) {
  const std::string url = firmwareInfoUrl(loadServiceEndpoints().firmwareInfoUrl, random, serial, softType);
  LOG_INFO("start request url : %s", logfacade::escapeForLog(url, kLoggedReply).c_str());
  std::string response;
  int rc = RemoteUtils::request(url, kMethodGet, "", RemoteUtils::kContentJson, response, kWebTimeoutSeconds, stop);
  if (rc != 0) {
    LOG_INFO("request failed, errCode : %d", rc);
    return rc;
  }
  LOG_INFO("response : %s", logfacade::escapeForLog(response, kLoggedReply).c_str());
  std::string version;
  return parseFirmwareInfo(response, downloadUrl, version) ? 0 : -1;
}

int CFirmwareUpDateUtils::AlphaFirmwareUpgradePrepare(const std::string& serial, const std::string& softType,
                                                      const std::string& imagePath) {
  // An image left by an earlier attempt must never be sent for this one.
  std::error_code ignored;
  std::filesystem::remove(imagePath, ignored);
  if (!EnterBoot()) return -1;
  for (int attempt = 0; attempt < kFirmwareInfoAttempts && !(stop && stop->load()); ++attempt) {
    std::string location;
    if (requestFirmwareInfo(serial, softType, randomValue(), location) != 0) continue;
    if (downloadFile(location, imagePath, stop) != 0) continue;
    return 0;
  }
  LOG_WARN("download firmware error");
  return -1;
}
