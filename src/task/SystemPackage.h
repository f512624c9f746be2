#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "task/SystemUpgradeReport.h"
#include "utils/RunFolder.h"

// The package side of a system upgrade: asks the package service what is
// offered for a serial number, downloads it into a folder of the run's own,
// and unpacks and checks a package. The web exchanges end early once stop is
// raised. Used by the run's thread only.
class SystemPackage {
 public:
  // Far above any system the device holds; a larger file is refused unsent.
  static constexpr int64_t kMaxSystemImage = 512ll << 20;
  static constexpr size_t kMaxDescriptionValue = 128;

  explicit SystemPackage(const std::atomic<bool>& stop) : stop_(stop) {}

  // Asks the package service for serialNumber's package: kDone with its
  // location in url, kNoPackage when none is offered (or none can be asked
  // for), kRetry when the service did not answer.
  SystemResult query(const std::string& serialNumber, std::string& url);
  // Downloads url into the run's download folder: kDone with the file in
  // destination, else kRetry.
  SystemResult download(const std::string& url, std::string& destination);
  // Removes the run's download folder with what it holds.
  void forgetDownloads() { downloads_.reset(); }

  // The package query URL for a serial number on a service host.
  static std::string packageQueryUrl(const std::string& host, const std::string& serialNumber);
  // Checks the package query's reply: an object whose "data" object holds the
  // string "path", handed out in url.
  static bool parsePackageReply(std::string_view reply, std::string& url);
  // A system.ini is acceptable when section "Info" has a non-empty "Version"
  // and none of its version values is longer than kMaxDescriptionValue or
  // holds a control character.
  static bool checkDescription(std::string_view iniText);
  // Unpacks package into folder and checks what it holds: a system.ini with
  // an acceptable description and a system.zip of 1 byte to kMaxSystemImage.
  // True with the image's path and the package's system version; false with
  // problem saying, for the user, what is wrong.
  static bool unpackPackage(const std::string& package, const std::string& folder, std::string& image,
                            std::string& version, std::string& problem);
  // The same check in a private folder that is gone when it returns.
  static bool checkPackage(const std::string& package, std::string& version, std::string& problem);

 private:
  const std::atomic<bool>& stop_;
  std::unique_ptr<RunFolder> downloads_;  // the run's download folder
};
