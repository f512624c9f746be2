#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "WebServices.h"
#include "devinfo/CDeviceInfo.h"
#include "support/InfoWindow.h"
#include "devinfo/OnlineReplies.h"
#include "support/SimLinks.h"
#include "support/LogCapture.h"
#include "utils/LogFacade.h"

namespace {

constexpr char kSoftList[] = "/api/api/publicSoftInfo/getPublicSoftListBySn";
constexpr char kSoftListCN[] = "/cn/api/api/publicSoftInfo/getPublicSoftListBySn";
constexpr char kVersion[] = "/Veyra/Device/publicSoftService";
constexpr char kVersionCN[] = "/cn/Veyra/Device/publicSoftService";

// What a device read leaves for the online query.
DeviceInfo readRecord(const std::string& serial, const std::string& systemVersion = "V3.10") {
  DeviceInfo info;
  info.serialNumber = serial;
  info.firmware.version = "V1.10";
  info.j2534Firmware.version = "V2.10";
  info.system.packageName = systemVersion;
  info.system.version = systemVersion.empty() ? "" : "205";
  return info;
}

class OnlineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The product reads the device endpoints once per process, whichever
    // test runs first.
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
  }

  sim::WebServices& startWeb(sim::WebConfig config = {}) {
    web_ = std::make_unique<sim::WebServices>(std::move(config));
    EXPECT_TRUE(web_->start());
    return *web_;
  }

  std::unique_ptr<sim::WebServices> web_;
};

TEST_F(OnlineTest, EachKindOfSerialNumber_getsItsQueries) {
  struct Case {
    const char* serial;
    const char* systemVersion;
    unsigned softList;
    unsigned version;  // SOAP queries at the international endpoint
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"5RHM10000001", "V3.10", 1, 1, {}},  // alphanumeric: list, system
      {"5RWM80000001", "", 1, 0, {}},       // alphanumeric without a system
      {"744620000001", "", 1, 0, {}},       // numeric model 3 takes the list like an alphanumeric one
      {"800000000001", "V3.10", 1, 2, {}},  // numeric model 0: list, J2534, system
      {"744443100001", "", 1, 1, {}},       // numeric model 1: list, J2534
      // Model 6: the list is asked; both SOAP queries are refused at both endpoints.
      {"80000000001", "V3.10", 1, 0,
       {"ERR_READ_DEV_OL_VER: request last J2534 info error", "ERR_READ_DEV_OL_VER: request last system info error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    auto& web = startWeb();
    infotest::InfoWindow window;
    DeviceInfo info = readRecord(c.serial, c.systemVersion);

    CDeviceInfo().requestDevOnlineVer(info);

    EXPECT_EQ(web.hits(kSoftList), c.softList);
    EXPECT_EQ(web.hits(kVersion), c.version);
    EXPECT_EQ(web.hits(kSoftListCN) + web.hits(kVersionCN), 0u);
    EXPECT_EQ(window.texts(), c.texts);
    EXPECT_EQ(info.firmware.latestVersion, "V1.20");
  }
}

TEST_F(OnlineTest, Queries_fillTheSlotsFromTheirOwnService) {
  auto& web = startWeb();
  DeviceInfo alpha = readRecord("5RHM10000001");
  DeviceInfo numeric = readRecord("744443100001", "");

  EXPECT_TRUE(CDeviceInfo().requestDevOnlineVer(alpha));
  EXPECT_TRUE(CDeviceInfo().requestDevOnlineVer(numeric));

  // Alphanumeric: both firmware slots from the list, and the system (the
  // soft types and latest versions are read in the tests below).
  EXPECT_EQ(alpha.firmware.packageName, "DOWNLOAD_BIN");
  EXPECT_EQ(alpha.firmware.downloadLink, web.firmwarePackageUrl("1", "5RHM10000001"));
  EXPECT_EQ(alpha.j2534Firmware.latestVersion, "V2.20");
  EXPECT_EQ(alpha.j2534Firmware.packageName, "J2534_BOX_BIN");
  EXPECT_EQ(alpha.system.downloadLink, web.systemPackageUrl());
  EXPECT_EQ(alpha.system.packageName, "V3.10");  // the current version stays
  // Numeric: the J2534 firmware from the version service, under the model's name.
  EXPECT_EQ(numeric.firmware.softType, "");  // the numeric list query leaves it
  EXPECT_EQ(numeric.j2534Firmware.latestVersion, "V2.20");
  EXPECT_EQ(numeric.j2534Firmware.packageName, "LINK_Pellan");
  EXPECT_EQ(numeric.j2534Firmware.downloadLink, web.firmwarePackageUrl("3", "744443100001"));
}

TEST_F(OnlineTest, InternationalUnusable_chinaEndpointAnswers) {
  const std::pair<const char*, std::optional<sim::WebFaultKind>> cases[] = {
      {"empty answers", std::nullopt},  // no fault: the international endpoint answers empty
      {"404 page", sim::WebFaultKind::NotFound},
      {"server error", sim::WebFaultKind::ServerError},
  };
  for (const auto& [name, fault] : cases) {
    SCOPED_TRACE(name);
    auto& web = startWeb({.internationalEmpty = !fault});
    for (const char* path : {kSoftList, kVersion}) {
      if (fault) web.addFault({.kind = *fault, .path = path});
    }
    infotest::InfoWindow window;
    DeviceInfo alpha = readRecord("5RHM10000001");
    DeviceInfo numeric = readRecord("800000000001");

    EXPECT_TRUE(CDeviceInfo().requestDevOnlineVer(alpha));
    EXPECT_TRUE(CDeviceInfo().requestDevOnlineVer(numeric));

    for (const DeviceInfo* info : {&alpha, &numeric}) {
      EXPECT_EQ(info->firmware.latestVersion, "V1.20");
      EXPECT_EQ(info->j2534Firmware.latestVersion, "V2.20");
      EXPECT_EQ(info->system.latestVersion, "206");
    }
    EXPECT_EQ(web.hits(kSoftListCN), 2u);
    EXPECT_EQ(web.hits(kVersionCN), 3u);  // system twice, J2534 once
    EXPECT_TRUE(window.texts().empty());
  }
}

TEST_F(OnlineTest, EmptyResultEverywhere_failsAndReports) {
  auto& web = startWeb({.serials = {"5RHM19999999"}});  // knows another device only
  infotest::InfoWindow window;
  DeviceInfo info = readRecord("5RHM10000001", "");

  EXPECT_FALSE(CDeviceInfo().requestDevOnlineVer(info));

  EXPECT_EQ(web.hits(kSoftList), 1u);
  EXPECT_EQ(web.hits(kSoftListCN), 1u);
  EXPECT_EQ(window.texts(), std::vector<std::string>{"ERR_READ_DEV_OL_VER: request last firemware info error"});
  EXPECT_EQ(window.kinds(), std::vector<int>{2});
  EXPECT_TRUE(info.firmware.latestVersion.empty());
}

TEST_F(OnlineTest, SoftTypeAsNumber_usedByAlphanumericQueryOnly) {
  auto& web = startWeb({.softTypeAsNumber = true});
  DeviceInfo alpha = readRecord("5RHM10000001", "");
  DeviceInfo numeric = readRecord("800000000001", "");

  CDeviceInfo().requestDevOnlineVer(alpha);
  CDeviceInfo().requestDevOnlineVer(numeric);

  EXPECT_EQ(alpha.firmware.latestVersion, "V1.20");
  EXPECT_EQ(alpha.firmware.softType, "1");
  EXPECT_EQ(alpha.j2534Firmware.latestVersion, "V2.20");
  EXPECT_EQ(alpha.j2534Firmware.softType, "3");
  EXPECT_TRUE(numeric.firmware.latestVersion.empty());
  // Nothing usable at either endpoint, yet both answers were valid lists.
  EXPECT_EQ(web.hits(kSoftListCN), 1u);
}

TEST_F(OnlineTest, SystemVersionZero_meansTheCurrentOneIsNewest) {
  auto& web = startWeb({.latestSystem = ""});
  DeviceInfo info = readRecord("5RHM10000001");

  EXPECT_TRUE(CDeviceInfo().requestDevOnlineVer(info));

  EXPECT_EQ(info.system.latestVersion, "V3.10");
  EXPECT_EQ(web.hits(kVersionCN), 0u);
}

TEST_F(OnlineTest, NoDeploymentFile_queriesFailWithTheirNormalMessages) {
  setenv("KESTREL_SERVICES", "/nonexistent/kestrel/services.ini", 1);
  infotest::InfoWindow window;
  LogCapture log;
  DeviceInfo info = readRecord("5RHM10000001");

  EXPECT_FALSE(CDeviceInfo().requestDevOnlineVer(info));

  EXPECT_EQ(window.texts(), (std::vector<std::string>{"ERR_READ_DEV_OL_VER: request last firemware info error",
                                                      "ERR_READ_DEV_OL_VER: request last system info error"}));
  EXPECT_EQ(log.count("failed, errCode : -1", logfacade::kWarn), 4u) << log.dump();
}

TEST_F(OnlineTest, HostileSerialNumber_staysInsideItsJsonString) {
  startWeb();
  LogCapture log;
  SoftwareSlot firmware;
  SoftwareSlot j2534;

  // The service parses the body: a quotation mark left bare would break it.
  EXPECT_TRUE(CDeviceInfo().requestAlphaSnFWLastVer(0, "5RHM1\"<&>\\01", firmware, j2534));

  EXPECT_EQ(firmware.latestVersion, "V1.20");
  EXPECT_TRUE(log.contains("data : {\"sn\":\"5RHM1\\x5c\"<&>\\x5c\\x5c01\"}")) << log.dump();
}

TEST(VersionQuery, HostileTexts_areXmlEscaped) {
  std::string query = CDeviceInfo::buildVersionQuery("5RHM1\"<&>'01", "A<B", "V&1</systemName>", "urn:x");

  EXPECT_NE(query.find("<imei>5RHM1&quot;&lt;&amp;&gt;&apos;01</imei>"), std::string::npos) << query;
  EXPECT_NE(query.find("<softName>A&lt;B</softName>"), std::string::npos) << query;
  EXPECT_NE(query.find("<systemName>V&amp;1&lt;/systemName&gt;</systemName>"), std::string::npos) << query;
}

TEST(SoapTagText, FindsTheTextBetweenTheFirstTags) {
  struct Case {
    const char* reply;
    bool found;
    const char* text;
  };
  const Case cases[] = {
      {"<r><versionNo>V2.2</versionNo></r>", true, "V2.2"},
      {"<r><versionNo></versionNo>", true, ""},
      {"<r><versionNo>1</versionNo><versionNo>2</versionNo>", true, "1"},
      {"<versionNo>V2.2</versionNo>", false, ""},              // a tag at the very start does not count
      {"<r><versionNo>V2.2", false, ""},                       // no closing tag
      {"<r></versionNo><versionNo>7</versionNo>", true, "7"},  // a closing tag before the opening one
      {"<r></versionNo><versionNo>7", false, ""},
      {"", false, ""},
      // The text is XML character data: entities and references are decoded once.
      {"<r><versionNo>a?x=1&amp;y=&lt;2&gt;&quot;&apos;</versionNo>", true, "a?x=1&y=<2>\"'"},
      {"<r><versionNo>&#65;&#x42;&#xe9;&amp;amp;</versionNo>", true, "AB\xC3\xA9&amp;"},
      {"<r><versionNo>R&D &copy; &amp</versionNo>", true, "R&D &copy; &amp"},  // no reference: kept
      // A control character, raw or referenced, or a reference to no character.
      {"<r><versionNo>V1\r\nHost: x</versionNo>", false, ""},
      {"<r><versionNo>V1&#10;</versionNo>", false, ""},
      {"<r><versionNo>V1&#x7f;</versionNo>", false, ""},
      {"<r><versionNo>V1&#x85;</versionNo>", false, ""},
      {"<r><versionNo>&#0;</versionNo>", false, ""},
      {"<r><versionNo>&#xD800;</versionNo>", false, ""},
      {"<r><versionNo>&#x110000;</versionNo>", false, ""},
      {"<r><versionNo>&#;</versionNo>", false, ""},
      {"<r><versionNo>&#X43;</versionNo>", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    std::string text = "untouched";
    EXPECT_EQ(soapTagText(c.reply, "versionNo", text), c.found);
    EXPECT_EQ(text, c.found ? c.text : "untouched");
  }
}

TEST(ParseSoftList, ReadsTypesAndMembersOfEachElement) {
  std::vector<SoftListEntry> entries;
  ASSERT_TRUE(parseSoftList(R"({"result":[{"softType":"1","version":"V1","softPackageName":"P","downloadLink":"L"},
      {"softType":3.9,"version":7},{"version":"V9"},{"softType":true},"text",{"softType":-1e300}]})",
                            entries));

  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].softType, "1");
  EXPECT_FALSE(entries[0].softTypeIsNumber);
  EXPECT_EQ(entries[0].version, "V1");
  EXPECT_EQ(entries[0].softPackageName, "P");
  EXPECT_EQ(entries[0].downloadLink, "L");
  EXPECT_EQ(entries[1].softType, "3");  // fraction dropped
  EXPECT_TRUE(entries[1].softTypeIsNumber);
  EXPECT_EQ(entries[1].version, "");    // present, not a string
  EXPECT_FALSE(entries[1].downloadLink.has_value());
  EXPECT_FALSE(entries[2].hasSoftType);
  EXPECT_TRUE(entries[3].hasSoftType);
  EXPECT_EQ(entries[3].softType, "");
  EXPECT_FALSE(entries[4].hasSoftType);
  EXPECT_EQ(entries[5].softType, "");
}

TEST(ParseSoftList, RefusesRepliesWithoutAUsableResultArray) {
  const char* replies[] = {"", "<html>404</html>", "{}", R"({"result":null})", R"({"result":{}})",
                           R"({"result":[]})", R"({"result":[)", R"([{"result":[{}]}])"};
  for (const char* reply : replies) {
    std::vector<SoftListEntry> entries;
    EXPECT_FALSE(parseSoftList(reply, entries)) << reply;
  }
}

}  // namespace
