#include <gtest/gtest.h>

#include <string>

#include "InfoCommand.h"
#include "ScanCommand.h"
#include "connection/ConnectionFactory.h"

namespace {

// What the device and the web gave is shown escaped; what could not be read
// is "unknown" (null in JSON) and never offered as an upgrade.
TEST(ReadRenderTest, Info_unknownValuesAndOutsideTexts) {
  DeviceInfo info;
  info.serialNumber = "5RHM10000001";
  info.firmware.version = "V1.10";
  info.firmware.latestVersion = "V1.20";
  info.firmware.downloadLink = "http://127.0.0.1:1/fw";
  info.j2534Firmware.version = "V2.10";
  info.j2534Firmware.latestUnknownWhy = "the software list answered 500\n";
  info.system.packageName = "V3.10";
  info.system.version = "205";
  info.system.latestVersion = "206";
  info.platform.packageName = "P\x1b";
  info.platform.version = "2.0";

  EXPECT_EQ(cli::infoText(info),
            "serial number: 5RHM10000001\nmodel: 0\n"
            "firmware: V1.10, newest V1.20, upgrade available\n"
            "J2534 firmware: V2.10, newest unknown (the software list answered 500\\x0a)\n"
            "system: V3.10 (205), newest 206, upgrade available\n"
            "platform: P\\x1b 2.0\n");
  // The whole record's form is the info process test's; here what was not read.
  const std::string json = cli::infoJson(info, {"ERR_READ_DEV_VER: \xff"});
  for (const char* part : {"\"j2534Firmware\":{\"current\":\"V2.10\",\"latest\":null,\"downloadLink\":null,\"upgrade\":false,"
                           "\"why\":\"the software list answered 500\\n\"}",
                           "\"name\":\"P\\u001b\"", "\"errors\":[\"ERR_READ_DEV_VER: \xEF\xBF\xBD\"]}\n"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
}

TEST(ReadRenderTest, Scan_addressOnlyForLanAndNamesEscaped) {
  auto device = [](const char* name, ConnectType link, uint32_t addr = 0, const char* port = "") {
    J2534Device d;
    d.name = name;
    d.addr = addr;
    d.port = port;
    d.connectType = static_cast<uint32_t>(link);
    return d;
  };
  const J2534DeviceList devices = {device("744443100001", ConnectType::Serial, 0, "/dev/pts/3"),
                                   device("5RHM10000042", ConnectType::Lan, 0x0100007F),
                                   device("", ConnectType::Wifi), device("Shop \"5G\"\xff", ConnectType::Wifi)};

  EXPECT_EQ(cli::scanJson(devices),
            "[{\"name\":\"744443100001\",\"address\":\"\",\"port\":\"/dev/pts/3\",\"link\":\"usb\"},"
            "{\"name\":\"5RHM10000042\",\"address\":\"127.0.0.1\",\"port\":\"\",\"link\":\"lan\"},"
            "{\"name\":\"\",\"address\":\"\",\"port\":\"\",\"link\":\"wifi\"},"
            "{\"name\":\"Shop \\\"5G\\\"\xEF\xBF\xBD\",\"address\":\"\",\"port\":\"\",\"link\":\"wifi\"}]\n");
  EXPECT_EQ(cli::scanText(devices),
            "usb  744443100001             /dev/pts/3\n"
            "lan  5RHM10000042             127.0.0.1\n"
            "wifi (no name)                \n"
            "wifi Shop \"5G\"\\xff            \n");
  EXPECT_EQ(cli::scanJson({}), "[]\n");
}

}  // namespace
