#include <gtest/gtest.h>

#include "schedule/ScheduleManager.h"
#include "task/DevInfoReader.h"
#include "viewmodel/DeviceView.h"
#include "viewmodel/ProbeTask.h"
#include "viewmodel/UpgradePlan.h"

namespace {

DeviceInfo device(const char* serial, const char* firmware, const char* latestFirmware, const char* system = "",
                  const char* latestSystem = "") {
  DeviceInfo info;
  info.serialNumber = serial;
  info.firmware = {"1", "", firmware, latestFirmware, "", ""};
  info.j2534Firmware = {"3", "", "2.9", "V2.10", "", ""};
  info.system = {"", "", system, latestSystem, "", ""};
  return info;
}

// The card through a whole read: each phase adds only its own values, and
// only the last one offers anything.
TEST(DeviceView, ShowsEachPhaseAndOffersOnlyAtTheEnd) {
  DeviceView view;
  const DeviceInfo numeric = device("744443100001", "1.9", "1.10", "S1", "S2");
  EXPECT_FALSE(view.card().pictureShown);

  view.apply(numeric, DevInfoReader::kDeviceRead, {"", "4.6"}, false);
  DeviceCard card = view.card();
  EXPECT_EQ(card.serialNumber, "744443100001");
  EXPECT_EQ(card.firmwareCurrent, "1.9_2.9");
  EXPECT_EQ(card.firmwareLatest, "");
  EXPECT_EQ(card.libraryCurrent, "4.6");
  EXPECT_EQ(card.libraryLatest, "");
  EXPECT_EQ(card.picture, "brisa lite.png");
  EXPECT_FALSE(card.firmwareEnabled || card.systemEnabled || card.wifiEnabled || card.updateBadge);

  view.apply(numeric, DevInfoReader::kOnlineRead, {}, false);
  card = view.card();
  EXPECT_EQ(card.firmwareLatest, "1.10_2.10");
  EXPECT_EQ(card.libraryLatest, "4.6");
  EXPECT_EQ(card.systemLatest, "S2");
  EXPECT_FALSE(card.firmwareEnabled);

  view.apply(numeric, DevInfoReader::kFinished, {}, false);
  card = view.card();
  EXPECT_TRUE(card.firmwareEnabled && card.systemEnabled && card.wifiEnabled);
  EXPECT_TRUE(card.updateBadge && card.firmwarePrimary);  // 1.10 is newer than 1.9
  EXPECT_TRUE(card.systemPrimary);

  // Read again: the values stay, marked as old, and offer nothing until the read reports.
  view.startRead();
  card = view.card();
  EXPECT_TRUE(card.stale);
  EXPECT_EQ(card.firmwareLatest, "1.10_2.10");
  EXPECT_FALSE(card.firmwareEnabled || card.systemEnabled || card.updateBadge || card.firmwarePrimary);
  EXPECT_EQ(card.note, CardNote::None);

  // Gone: the last values, said to be the last.
  view.apply(DeviceInfo(), DevInfoReader::kNoConnection, {}, false);
  card = view.card();
  EXPECT_EQ(card.serialNumber, "744443100001");
  EXPECT_TRUE(card.stale && !card.firmwareEnabled && !card.wifiEnabled);
  EXPECT_EQ(card.note, CardNote::Gone);

  // Back in its boot loader: the firmware upgrade is the way back.
  DeviceInfo noLatest = numeric;
  noLatest.firmware.latestVersion = noLatest.j2534Firmware.latestVersion = "";
  view.apply(noLatest, DevInfoReader::kDeviceRead, {}, true);
  view.apply(noLatest, DevInfoReader::kFinished, {}, true);
  card = view.card();
  EXPECT_FALSE(card.stale);
  EXPECT_EQ(card.note, CardNote::BootLoader);
  EXPECT_TRUE(card.firmwareEnabled);

  DeviceView none;
  none.deviceGone();
  card = none.card();
  EXPECT_TRUE(card.pictureShown);
  EXPECT_EQ(card.picture, "unknown.png");
  EXPECT_EQ(card.note, CardNote::NoDevice);
  EXPECT_FALSE(card.firmwareEnabled || card.modelKnown);
}

TEST(DeviceView, ModelDecidesSectionsAndTheSystemOffer) {
  struct Case {
    const char* serial;
    const char* registration;
    bool bootPort;
    const char* system;  // what the device reports; "" when it has none
    const char* latestSystem;
    const char* firmwareText;
    bool wifiSetup, systemSection, systemOffered;
    const char* picture;
  } cases[] = {
      {"744443100001", "", false, "S1", "S1", "1.9_2.9", false, true, true, "brisa lite.png"},
      {"744443100001", "ZELQ7", true, "S1", "S1", "V2.9", true, true, true, "brisa lite.png"},
      // A Q-TRAK device without a system unit is never offered a system package,
      // whatever the web services say.
      {"5RWM8ABCDEFG", "", false, "", "S1", "1.9_2.9", true, false, false, "Q-TRAK.png"},
      {"5RWM8ABCDEFG", "", false, "S1", "S2", "1.9_2.9", true, false, false, "Q-TRAK.png"},
      // System values never stand without their caption.
      {"5RWM8422345X", "", false, "S1", "S1", "1.9_2.9", true, true, true, "Q-TRAK.png"},
      {"5RWM8422345X", "", false, "", "", "1.9_2.9", true, false, false, "Q-TRAK.png"},
      {"5RZZZZZZZZZZ", "", false, "", "", "1.9_2.9", false, false, false, "unknown.png"},
  };
  for (const Case& c : cases) {
    DeviceView view;
    const DeviceInfo info = device(c.serial, "1.9", "1.9", c.system, c.latestSystem);
    view.apply(info, DevInfoReader::kDeviceRead, {c.registration, "4.6"}, c.bootPort);
    view.apply(info, DevInfoReader::kFinished, {}, false);
    const DeviceCard card = view.card();
    EXPECT_EQ(card.firmwareCurrent, c.firmwareText) << c.serial;
    EXPECT_EQ(card.libraryCurrent, std::string(c.registration) == "ZELQ7" ? "V4.6" : "4.6") << c.serial;
    EXPECT_EQ(card.wifiSetupShown, c.wifiSetup) << c.serial;
    EXPECT_EQ(card.systemSectionShown, c.systemSection) << c.serial;
    EXPECT_EQ(card.systemEnabled, c.systemOffered) << c.serial;
    EXPECT_EQ(!card.systemLatest.empty(), c.systemSection) << c.serial;
    EXPECT_FALSE(card.systemPrimary) << c.serial;  // same build online
    EXPECT_EQ(card.picture, c.picture) << c.serial;
  }
}

TEST(DeviceView, LinkNameAfterARead) {
  EXPECT_EQ(connectedLinkName(true, false, 4), "USB");
  EXPECT_EQ(connectedLinkName(true, true, 4), "Serial");
  EXPECT_EQ(connectedLinkName(false, false, 1), "WiFi");
  EXPECT_EQ(connectedLinkName(false, false, 3), "WiFi");
  EXPECT_EQ(connectedLinkName(false, false, 4), "BT");
  EXPECT_EQ(connectedLinkName(false, false, 0), "");
}

TEST(UpgradePlan, OffersWhatTheVersionRuleOffersAndNamesEveryPart) {
  const DeviceInfo upToDate = device("744443100001", "1.10", "V1.10");
  OfferSummary summary = offerSummary(firmwarePlan(upToDate));
  EXPECT_TRUE(summary.offered);  // J2534 2.9 -> 2.10
  EXPECT_EQ(summary.parts, "firmware: up to date, J2534 firmware: upgrade available");

  DeviceInfo current = upToDate;
  current.j2534Firmware.version = "2.10";
  summary = offerSummary(firmwarePlan(current));
  EXPECT_FALSE(summary.offered);
  EXPECT_EQ(notOfferedQuestion(summary),
            "Nothing newer is offered for this device (firmware: up to date, J2534 firmware: up to date). "
            "Upgrade it anyway with what is offered online?");

  // The main image of a model that carries none is neither judged nor sent.
  current.serialNumber = "5RWM8ABCDEFG";
  current.firmware.version = "";
  summary = offerSummary(firmwarePlan(current));
  EXPECT_EQ(summary.parts, "J2534 firmware: up to date");
  EXPECT_FALSE(firmwarePlan(current)[0].sent(true));

  EXPECT_FALSE(offerSummary(systemPlan(device("744443100001", "", "", "S1", ""))).offered);
}

TEST(Probes, RefusedDuringUpgradesAndWhileAnotherRuns) {
  EXPECT_FALSE(probeRefusal(-1, false).refused);
  EXPECT_FALSE(probeRefusal(kTaskDevInfoReader, false).refused);  // a read takes its turn on the worker
  for (int upgrade : {int{kTaskFirmwareUpgrader}, int{kTaskSystemUpgrader}}) {
    const ProbeRefusal refusal = probeRefusal(upgrade, false);
    EXPECT_TRUE(refusal.refused && refusal.asMessageBox);
    EXPECT_EQ(refusal.text,
              "Another task is running, please try again later, running taskId:" + std::to_string(upgrade));
  }
  const ProbeRefusal busy = probeRefusal(-1, true);
  EXPECT_TRUE(busy.refused && !busy.asMessageBox);
  EXPECT_EQ(busy.text, kProbeInProgress);
}

TEST(Probes, SayWhatTheCheckFound) {
  EXPECT_EQ(linkCheckText(false, 0, 0, false, false), "Please connect the serial device.");
  EXPECT_EQ(linkCheckText(false, 1, 1, false, false), "Ethernet communication failed. Please reconfigure.");
  EXPECT_EQ(linkCheckText(false, 4, 4, false, false), "Bluetooth communication failed. Please reconfigure.");
  EXPECT_EQ(linkCheckText(false, 3, 1, false, false), "Connection failed. Please reconfigure.");
  EXPECT_EQ(linkCheckText(true, 0, 0, true, false), "Switching to serial success.");
  // A LAN row is checked as Wi-Fi but named as the link chosen.
  EXPECT_EQ(linkCheckText(true, 3, 1, false, false), "Switching Wifi success.");
  EXPECT_EQ(linkCheckText(true, 4, 4, true, false), "Switch Bluetooth successful, please disconnect the USB connection.");
  EXPECT_EQ(linkCheckText(true, 4, 4, false, true), " Bluetooth 接続完了.");
  EXPECT_EQ(usbCheckText(false), "Please connect the USB device.");
  EXPECT_EQ(voltageText(12.3456f), "votage: 12.346 V");
  EXPECT_EQ(voltageText(std::nullopt), "votage: read failed, please retry");
}

}  // namespace
