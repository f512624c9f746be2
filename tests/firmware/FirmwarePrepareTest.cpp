#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "firmware/CFirmwareUpDateUtils.h"
#include "support/UpgradeHarness.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/SimLinks.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "utils/LogFacade.h"
#include "utils/ZipUtils.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FirmwarePrepareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    ASSERT_TRUE(web_.start());
  }
  void TearDown() override {
    closeAllSessions();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }

  sim::WebServices web_;
};

TEST(FirmwarePaths, PackageFolder_cutsTheFileNameAtItsFirstZip) {
  const std::pair<std::string, std::string> cases[] = {
      {"/r/Update/a.zip.zip", "/r/Update/a"},
      // A ".zip" in a folder above does not count.
      {"/home/u/old.zip.d/Update/DOWNLOAD_BIN.zip", "/home/u/old.zip.d/Update/DOWNLOAD_BIN"},
      {"/home/u/old.zip.d/Update/DOWNLOAD_BIN", ""},
      {"DOWNLOAD_BIN.zip", "DOWNLOAD_BIN"},
  };
  for (const auto& [path, folder] : cases) EXPECT_EQ(CFirmwareUpDateUtils::packageFolder(path), folder) << path;
}

TEST(FirmwareInfo, QueryKeepsItsOrderAndEscapesItsValues) {
  EXPECT_EQ(CFirmwareUpDateUtils::firmwareInfoUrl("https://h/api/tools/firmwareInfo", "483920", "5RHM10000001", "1"),
            "https://h/api/tools/firmwareInfo?random=483920&sn=5RHM10000001&softType=1");
  EXPECT_EQ(CFirmwareUpDateUtils::firmwareInfoUrl("http://h/i", "1 2", "AB&sn=X#", "3"),
            "http://h/i?random=1%202&sn=AB%26sn%3DX%23&softType=3");
}

TEST(FirmwareInfo, ReplyNeedsResultObjectWithBothStrings) {
  const std::pair<std::string, bool> cases[] = {
      {R"({"code":200,"result":{"version":"V1.2","downloadUrlUS":"http://h/f.bin"}})", true},
      {R"({"result":{"downloadUrlUS":"http://h/f.bin","version":"","extra":[1,2]}})", true},
      {R"({"code":200,"result":null})", false},
      {R"({"code":200})", false},
      {R"({"result":[{"version":"V1","downloadUrlUS":"u"}]})", false},
      {R"({"result":"{\"version\":\"V1\",\"downloadUrlUS\":\"u\"}"})", false},
      {R"({"result":{"version":"V1.2"}})", false},
      {R"({"result":{"downloadUrlUS":"http://h/f.bin"}})", false},
      {R"({"result":{"version":1.2,"downloadUrlUS":"http://h/f.bin"}})", false},
      {R"({"result":{"version":"V1","downloadUrlUS":null}})", false},
      {R"({"Result":{"version":"V1","downloadUrlUS":"u"}})", false},
      {R"([{"result":{"version":"V1","downloadUrlUS":"u"}}])", false},
      {"<html><body>404 Not Found</body></html>", false},
      {R"({"result":{"version":"V1","downloadUrlUS":"u")", false},
      {"", false},
  };
  for (const auto& [reply, ok] : cases) {
    std::string url = "unchanged";
    std::string version;
    EXPECT_EQ(CFirmwareUpDateUtils::parseFirmwareInfo(reply, url, version), ok) << reply;
    EXPECT_TRUE(ok || url == "unchanged") << reply;
  }
}

TEST_F(FirmwarePrepareTest, RequestFirmwareInfo_failuresKeepTheirOwnCodes) {
  CFirmwareUpDateUtils utils;
  std::string url;
  web_.addFault({.kind = sim::WebFaultKind::ServerError, .path = "/api/tools/firmwareInfo", .when = sim::Occurrence::nth(1)});
  EXPECT_EQ(utils.requestFirmwareInfo("5RHM10000001", "1", "1", url), -1);
  EXPECT_EQ(utils.requestFirmwareInfo("5RHM1000000X", "7", "1", url), -1);  // "result": null

  web_.stop();
  EXPECT_GT(utils.requestFirmwareInfo("5RHM10000001", "1", "1", url), 0);  // the transfer's own code
}

TEST_F(FirmwarePrepareTest, DownloadFile_triesThreeTimes100msApart) {
  const std::string serial = sim::sampleSerial(4, true);
  const std::string path = platform::joinPath(platform::workRoot(), "dl/image.bin");
  web_.addFault({.kind = sim::WebFaultKind::NotFound, .path = "/packages/image/*", .when = sim::Occurrence::nth(1)});
  web_.addFault({.kind = sim::WebFaultKind::ServerError, .path = "/packages/image/*", .when = sim::Occurrence::nth(2)});
  auto start = std::chrono::steady_clock::now();

  ASSERT_EQ(CFirmwareUpDateUtils::downloadFile(web_.firmwareImageUrl("3", serial), path), 0);

  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  const auto image = web_.firmwareImage("3", serial);
  EXPECT_EQ(testsupport::readText(path), std::string(image.begin(), image.end()));
  web_.addFault({.kind = sim::WebFaultKind::NotFound, .path = "/packages/image/*"});
  EXPECT_EQ(CFirmwareUpDateUtils::downloadFile(web_.firmwareImageUrl("1", serial), path + "2"), -1);
  EXPECT_FALSE(fs::exists(path + "2"));
  EXPECT_EQ(web_.requestLog().size(), 6u);
}

class AlphaPrepareTest : public FirmwarePrepareTest {
 protected:
  // A device of the model in its boot loader, the utilities' session connected.
  bool connect(int model) {
    platform::setTimeScale(0.05);
    serial_ = sim::sampleSerial(model, true);
    device_ = scantest::startDevice({.serialNumber = serial_, .mode = sim::DeviceMode::BootLoader});
    utils_.productType = static_cast<DeviceModel>(model);
    return device_ && utils_.connectDefaultSession() == 0;
  }

  std::string serial_;
  std::unique_ptr<sim::VirtualDevice> device_;
  CFirmwareUpDateUtils utils_;
};

TEST_F(AlphaPrepareTest, ThreeRepliesWithoutLocation_endWithDownloadFirmwareError) {
  ASSERT_TRUE(connect(0));
  web_.update([](sim::WebConfig& c) { c.serials = {"5RHM19999999"}; });
  const std::string path = CFirmwareUpDateUtils::imageFilePath("1");
  upgradetest::writeFile(path, {0xEE});  // left by an earlier attempt

  EXPECT_EQ(utils_.AlphaFirmwareUpgradePrepare(serial_, "1", path), -1);

  EXPECT_EQ(web_.hits("/api/tools/firmwareInfo"), 3u);
  EXPECT_FALSE(fs::exists(path));
}

// A model without a size rule would take any bytes: a captive portal's
// redirect page must never become its image.
TEST_F(AlphaPrepareTest, ImageLocationRedirected_nothingSavedNorSent) {
  ASSERT_TRUE(connect(4));
  web_.addFault({.kind = sim::WebFaultKind::Redirect, .path = "/packages/image/*"});
  const std::string path = CFirmwareUpDateUtils::imageFilePath("1");
  LogCapture log;

  bool upgraded = utils_.AlphaFirmwareUpgradePrepare(serial_, "1", path) == 0 && utils_.upgradeFirmware(serial_, "1", path);

  EXPECT_FALSE(upgraded);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(log.contains("download redirect not followed, status : 302", logfacade::kWarn)) << log.dump();
  for (const auto& r : device_->core().requestLog()) {
    EXPECT_FALSE(r.command == 0x24 && r.subCommand >= 0x02 && r.subCommand <= 0x04) << "transfer frame sent";
  }
}

TEST_F(AlphaPrepareTest, BootEntryFails_asksNothingOnline) {
  ASSERT_TRUE(connect(0));
  device_->addFault(sim::faultOn(kCmdReadMode, {.kind = sim::FaultKind::EmptyReply}));

  EXPECT_EQ(utils_.AlphaFirmwareUpgradePrepare(serial_, "1", CFirmwareUpDateUtils::imageFilePath("1")), -1);

  EXPECT_TRUE(web_.requestLog().empty());
}

}  // namespace
