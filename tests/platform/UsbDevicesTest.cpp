#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/UsbDevices.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "support/TestEnv.h"
#include "support/WaitUntil.h"

using platform::UsbDevice;

namespace {

using namespace std::chrono_literals;

TEST(SimUsbList, ParsesEachLineOrSkipsIt) {
  const std::string longDescription(platform::kSimUsbMaxLine, 'd');
  const struct {
    const char* name;
    std::string text;
    std::vector<UsbDevice> expected;
  } cases[] = {
      {"full line", "045B 1127 /dev/ttyACM0 Kestrel pass-thru\n",
       {{0x045B, 0x1127, "/dev/ttyACM0", "Kestrel pass-thru"}}},
      {"lower-case hex, tabs, short ids", "\t1a86\t55da\t/dev/pts/7\n", {{0x1A86, 0x55DA, "/dev/pts/7", ""}}},
      {"dash means no tty", "0525 A4A2 -  gadget  \n", {{0x0525, 0xA4A2, "", "gadget"}}},
      {"comments and blank lines", "# vid pid tty\n\n   # indented\n0 2 /dev/pts/3\n  \n",
       {{0x0000, 0x0002, "/dev/pts/3", ""}}},
      {"CRLF endings and no final newline", "0000 0002 /dev/pts/3\r\n045B 1127 -",
       {{0, 2, "/dev/pts/3", ""}, {0x045B, 0x1127, "", ""}}},
      {"five hex digits", "12345 0002 /dev/pts/3\n", {}},
      {"not hexadecimal", "0x45B 1127 /dev/pts/3\nGGGG 0002 -\n", {}},
      {"relative tty path", "0000 0002 ttyACM0\n", {}},
      {"missing tty", "0000 0002\n", {}},
      {"only one id", "0000\n", {}},
      {"malformed line between good ones", "0000 0002 -\nrubbish\n045B 1127 -\n",
       {{0, 2, "", ""}, {0x045B, 0x1127, "", ""}}},
      {"overlong line skipped, next kept", "0000 0002 - " + longDescription + "\n045B 1127 -\n",
       {{0x045B, 0x1127, "", ""}}},
      {"control byte in tty path", std::string("0000 0002 /dev/pt\x01s\n"), {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::parseSimUsbList(c.text), c.expected) << c.name;
  }
}

TEST(SimUsbList, OversizedFileCutAtTheLastWholeLineAndDeviceCountCapped) {
  // Padding so that the limit falls inside the last line, right where the cut
  // text "045B 1127 /dev/tt" would still look like a device.
  const size_t padding = platform::kSimUsbMaxFile - 17;
  std::string text = "0000 0002 -\n";
  while (text.size() + 100 < padding) text += "#" + std::string(98, 'x') + "\n";
  text += "#" + std::string(padding - text.size() - 2, 'x') + "\n";
  ASSERT_EQ(text.size(), padding);
  EXPECT_EQ(platform::parseSimUsbList(text + "045B 1127 /dev/ttyACM0\n"), (std::vector<UsbDevice>{{0, 2, "", ""}}));

  text.clear();
  for (size_t i = 0; i < platform::kSimUsbMaxDevices + 10; ++i) text += "0000 0002 -\n";
  EXPECT_EQ(platform::parseSimUsbList(text).size(), platform::kSimUsbMaxDevices);
}

TEST(SimUsbList, WriteKeepsEachDeviceOnItsLineOrRefuses) {
  testsupport::TempFolder dir("usb");
  const std::string path = dir.file("usb.txt");
  EXPECT_FALSE(platform::writeSimUsbList(path, {{0, 2, "/dev/with space", ""}}));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(platform::writeSimUsbList(path, {{0, 2, "/dev/pts/1", ""}, {1, 2, "", "first\n0000 0002 /dev/evil"}}));
  EXPECT_EQ(platform::makeSimUsbDeviceList(path)->presentDevices(),
            (std::vector<UsbDevice>{{0, 2, "/dev/pts/1", ""}, {1, 2, "", "first"}}));
}

using Change = std::pair<bool, UsbDevice>;  // arrived, device

TEST(ReportUsbChanges, RemovalsFirstAndIdenticalEntriesCountedApart) {
  const UsbDevice a{0, 2, "/dev/pts/1", ""};
  const UsbDevice b{0x045B, 0x1127, "", ""};
  const UsbDevice aOtherTty{0, 2, "/dev/pts/2", ""};
  struct Case {
    const char* name;
    std::vector<UsbDevice> before, after;
    std::vector<Change> expected;
  } cases[] = {
      {"unchanged", {a, b}, {b, a}, {}},
      {"arrival", {a}, {a, b}, {{true, b}}},
      {"removal", {a, b}, {b}, {{false, a}}},
      {"tty moved is a removal then an arrival", {a}, {aOtherTty}, {{false, a}, {true, aOtherTty}}},
      {"second identical device", {a}, {a, a}, {{true, a}}},
      {"one of two identical devices gone", {a, a, b}, {a}, {{false, a}, {false, b}}},
  };
  for (const auto& c : cases) {
    std::vector<Change> seen;
    platform::reportUsbChanges(c.before, c.after, [&](bool arrived, const UsbDevice& d) { seen.push_back({arrived, d}); });
    EXPECT_EQ(seen, c.expected) << c.name;
  }
}

class SimUsbMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::setTimeScale(0.05); }  // 10 ms polls
  void TearDown() override { list_->stopMonitor(); }

  void record(bool arrived, const UsbDevice& d) {
    std::lock_guard<std::mutex> lock(mutex_);
    changes_.push_back({arrived, d});
  }
  std::vector<Change> changes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }
  bool waitForChanges(size_t count) {
    return testsupport::waitUntil([&] { return changes().size() >= count; }, 5s);
  }

  testsupport::TempFolder dir_{"usbmon"};
  const std::string path_ = dir_.file("usb.txt");
  std::shared_ptr<platform::UsbDeviceList> list_ = platform::makeSimUsbDeviceList(path_);
  std::mutex mutex_;  // guards changes_
  std::vector<Change> changes_;
};

TEST_F(SimUsbMonitorTest, ReportsArrivalAndRemovalButNotTheDevicesAlreadyThere) {
  const UsbDevice hub{0x1A86, 0x55DA, "", "hub"};
  const UsbDevice boot{0x0000, 0x0002, "/dev/pts/9", "boot"};
  ASSERT_TRUE(platform::writeSimUsbList(path_, {hub}));
  ASSERT_TRUE(list_->startMonitor([this](bool arrived, const UsbDevice& d) { record(arrived, d); }));

  ASSERT_TRUE(platform::writeSimUsbList(path_, {hub, boot}));
  ASSERT_TRUE(waitForChanges(1));
  ASSERT_TRUE(platform::writeSimUsbList(path_, {hub}));
  ASSERT_TRUE(waitForChanges(2));
  std::filesystem::remove(path_);  // a vanished file means nothing is attached
  ASSERT_TRUE(waitForChanges(3));

  EXPECT_EQ(changes(), (std::vector<Change>{{true, boot}, {false, boot}, {false, hub}}));
}

TEST_F(SimUsbMonitorTest, StopFromInsideTheCallbackDoesNotDeadlock) {
  ASSERT_TRUE(list_->startMonitor([&](bool arrived, const UsbDevice& d) {
    list_->stopMonitor();
    record(arrived, d);
  }));
  // Two arrivals in one batch: the stop inside the first holds back the second.
  ASSERT_TRUE(platform::writeSimUsbList(path_, {{0, 2, "/dev/pts/1", ""}, {0, 2, "/dev/pts/2", ""}}));
  ASSERT_TRUE(waitForChanges(1));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(changes().size(), 1u);
  EXPECT_TRUE(list_->startMonitor([](bool, const UsbDevice&) {}));  // joins the thread that stopped itself
}

TEST(UdevUsbDeviceList, ListsAndMonitorsWithoutHangingWhereThereIsNoUsb) {
  auto list = platform::makeUdevUsbDeviceList();
  // Whatever this machine has, a tty entry must name a device node.
  for (const UsbDevice& d : list->presentDevices()) EXPECT_TRUE(d.ttyNode.empty() || d.ttyNode.rfind("/dev/", 0) == 0);
  const int64_t started = platform::nowMs();
  if (list->startMonitor([](bool, const UsbDevice&) {})) list->stopMonitor();
  list->stopMonitor();
  EXPECT_LT(platform::nowMs() - started, 2000);
}

// The udev rule the package installs gives the user every identity the
// device shows, so a new one added to the table cannot be left out of it.
TEST(UdevRule, TagsEveryDeviceUsbIdForTheSeatUser) {
  const char* build = std::getenv("KESTREL_BUILD_DIR");
  const std::filesystem::path rule =
      (build ? std::filesystem::path(build) : std::filesystem::path(platform::programDir()).parent_path()) /
      "70-kestrel.rules";
  const std::string text = testsupport::readText(rule);
  ASSERT_FALSE(text.empty()) << rule;
  for (const platform::UsbIds& ids : platform::kDeviceUsbIds) {
    char line[128];
    std::snprintf(line, sizeof line, "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", TAG+=\"uaccess\"",
                  ids.vendorId, ids.productId);
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

}  // namespace
