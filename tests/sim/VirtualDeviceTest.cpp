#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ListenAddress.h"
#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "session/Exchange.h"
#include "session/SessionApi.h"
#include "support/SimLinks.h"

// The device's model, as the product's own sessions meet it. Its faults and
// links are exercised by the product's integration tests (task, firmware,
// devinfo); this table pins the rules those tests rely on the device to keep.
namespace {

using Bytes = std::vector<uint8_t>;

Bytes be(size_t value, int bytes) {
  Bytes out;
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct Step {
  uint8_t cmd, sub;
  Bytes data;
  Bytes reply;  // the whole reply data expected
};

Step announce(const std::string& name, size_t size, uint8_t status) {
  return {0x24, 0x02, cat({be(name.size() + 1, 2), bytesOf(name), {0}, be(size, 4)}), {status}};
}

// An image in 4096-byte chunks as the host sends it, then a digest.
std::vector<Step> transfer(const Bytes& image, int corruptChunk, const std::string& digest, uint8_t verdict) {
  std::vector<Step> steps = {announce("DOWNLOAD.BIN", image.size(), 0)};
  for (size_t offset = 0; offset < image.size(); offset += 4096) {
    const size_t n = std::min<size_t>(4096, image.size() - offset);
    Bytes chunk = cat({be(offset, 4), be(n, 2), Bytes(image.begin() + offset, image.begin() + offset + n)});
    if (static_cast<int>(offset / 4096) == corruptChunk) chunk[6 + n / 2] ^= 0x40;
    steps.push_back({0x24, 0x03, chunk, {0}});
  }
  steps.push_back({0x24, 0x04, bytesOf(digest), {verdict}});
  return steps;
}

class VirtualDeviceModelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(initSessionManager(), 0); }
  void TearDown() override { closeAllSessions(); }

  // The reply data, or "none" when no reply came.
  static Bytes ask(int session, uint8_t cmd, uint8_t sub, const Bytes& data) {
    Frame request, reply;
    request.build(cmd == 0x2C ? 0xF1 : 0xF0, 0xF8, cmd, sub, data.data(), static_cast<unsigned>(data.size()));
    if (exchangeFrame(session, request, reply, 2000) != 0) return bytesOf("none");
    return Bytes(reply.data(), reply.data() + reply.payloadSize());
  }
};

TEST_F(VirtualDeviceModelTest, Conversations_areAnsweredAsTheDeviceRulesSay) {
  struct Row {
    const char* name;
    sim::DeviceConfig config;
    bool configPort;
    std::vector<Step> steps;  // after the safety check when the device is in its boot loader
    std::function<void(const sim::VirtualDevice&)> check;
  };
  const auto boot = [](const char* serial) {
    return sim::DeviceConfig{.serialNumber = serial, .mode = sim::DeviceMode::BootLoader};
  };
  const Bytes image = sim::buildFirmwareImage("V1.30", 0x60000);
  const std::string digest = sim::md5Hex(image);
  const auto holds = [&](bool accepted) {
    return [&, accepted](const sim::VirtualDevice& device) {
      const sim::StoredImage stored = device.core().image(sim::ImageSlot::Firmware);
      EXPECT_EQ(stored.name, "DOWNLOAD.BIN");
      EXPECT_EQ(stored.accepted, accepted);
      EXPECT_TRUE(!accepted || stored.md5 == digest);
      EXPECT_EQ(device.core().config().firmwareVersion, accepted ? "V1.30" : "V1.10");
    };
  };
  const Bytes wifi = {3, 'L', 'a', 'b', 0x02, 8, 's', 'e', 'c', 'r', 'e', 't', '9', '9'};
  Bytes keyPastBlock = wifi;
  keyPastBlock[5] = 9;
  const Row rows[] = {
      {"Wi-Fi stored only from a well-formed block", {}, false,
       {{0x2C, 0x12, wifi, {0}}, {0x2C, 0x12, keyPastBlock, {1}}},
       [](const sim::VirtualDevice& device) {
         EXPECT_EQ(device.core().config().wifiSsid, "Lab");
         EXPECT_EQ(device.core().config().wifiKey, "secret99");
       }},
      {"model 0 image sizes", boot("5RHM10000001"), false,
       {announce("DOWNLOAD.BIN", 0x60000 - 1, 1), announce("J2534.BIN", 0x60000, 1), announce("J2534.BIN", 0x70000, 0)},
       nullptr},
      {"model 4 takes any size, not any name", boot("5RWM80000001"), false,
       {announce("DOWNLOAD.BIN", 0x60000 - 1, 0), announce("OTHER.BIN", 100, 1)}, nullptr},
      {"intact image", boot("5RHM10000001"), false, transfer(image, -1, digest, 0), holds(true)},
      {"corrupted chunk", boot("5RHM10000001"), false, transfer(image, 40, digest, 1), holds(false)},
      {"digest of another image", boot("5RHM10000001"), false,
       transfer(image, -1, sim::md5Hex(sim::buildFirmwareImage("V1.31", 0x60000)), 1), holds(false)},
      // Flow ids run 0, 1, 2...; a skipped one ends the upload, and without
      // its final chunk the upload is no package to install.
      {"system upload out of order", {}, true,
       {{0x2C, 0x05, {0x02, 0x55, 0, 0, 4, 1, 2, 3, 4}, {0, 0}},
        {0x2C, 0x05, {0x02, 0x55, 2, 0, 4, 1, 2, 3, 4}, {2, 1}},
        {0x2C, 0x07, {}, {1}}},
       [](const sim::VirtualDevice& device) {
         EXPECT_FALSE(device.core().systemPackage().installed);
         EXPECT_EQ(device.restartCount(), 0u);
       }},
  };
  sim::LinkConfig links = scantest::linkConfig();
  links.pty = false;
  links.discovery = false;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    closeAllSessions();
    auto device = scantest::startDevice(row.config, links);
    ASSERT_TRUE(device);
    const int session = createNetworkSession(0x0100007F, row.configPort ? device->configPort() : device->devicePort(), 0);
    ASSERT_TRUE(waitSessionConnected(session, 3000));
    if (row.config.mode == sim::DeviceMode::BootLoader) {
      // The boot loader's handshake: its four challenge bytes echoed.
      const Bytes challenge = ask(session, 0x25, 0x02, {0x02});
      ASSERT_EQ(challenge.size(), 5u);
      ASSERT_EQ(challenge[0], 0x02);
      ASSERT_EQ(ask(session, 0x25, 0x03, cat({{0x02}, Bytes(challenge.begin() + 1, challenge.end())})), (Bytes{2, 0}));
    }
    for (size_t i = 0; i < row.steps.size(); ++i) {
      const Step& s = row.steps[i];
      EXPECT_EQ(ask(session, s.cmd, s.sub, s.data), s.reply) << "step " << i;
    }
    if (row.check) row.check(*device);
  }
}

TEST(SimFaultSyntax, ParsesTheCommandLineForms) {
  using K = sim::Occurrence::Kind;
  using F = sim::FaultKind;
  struct Case {
    const char* text;
    bool ok;
    F kind = {};
    uint8_t command = 0, sub = 0;
    K when = K::Every;
    unsigned n = 0;
    uint8_t status = 1;
  };
  const Case cases[] = {
      {"noreply:2403:3", true, F::NoReply, 0x24, 0x03, K::Nth, 3},
      {"late:2105:2+:2500", true, F::LateReply, 0x21, 0x05, K::FromNth, 2},
      {"refused:2c05:*:0x05", true, F::RefusedStatus, 0x2C, 0x05, K::Every, 1, 5},
      {"silent:2133", true, F::NoReply, 0x21, 0x33, K::Every, 1},
      {"dup:2133:1:7", true, F::DuplicateReply, 0x21, 0x33, K::Nth, 1},
      {"powerloss:2c05:4", true, F::PowerLoss, 0x2C, 0x05, K::Nth, 4},
      {"noreply:213:1", false},      {"noreply:2133:0", false},     {"badsum:2133:1:7", false},
      {"refused:2133:1:256", false}, {"unknown:2133:1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    sim::Fault fault;
    ASSERT_EQ(sim::parseFault(c.text, fault), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(fault.kind, c.kind);
    EXPECT_EQ(fault.command, c.command);
    EXPECT_EQ(fault.subCommand, c.sub);
    EXPECT_EQ(fault.when.kind, c.when);
    EXPECT_EQ(fault.when.n, c.n);
    EXPECT_EQ(fault.status, c.status);
  }
}

// Off loopback the device would answer on the machine's real networks: only
// a namespace of its own may give it another address.
TEST(VirtualDeviceListen, OutsideANamespaceOfItsOwn_onlyLoopbackIsTaken) {
  if (sim::networkNamespace() != sim::NetNamespace::Initial) GTEST_SKIP() << "runs in a network namespace of its own";
  struct Case {
    const char* address;
    bool taken;
  };
  const Case cases[] = {{"127.0.0.2", true}, {"192.168.100.1", false}, {"0.0.0.0", false}, {"localhost", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    sim::VirtualDevice device({}, {.listenAddress = c.address, .pty = false});
    sim::WebServices web({.host = c.address, .writeServicesFile = false});
    EXPECT_EQ(device.start(), c.taken);
    EXPECT_EQ(web.start(), c.taken);
    if (!c.taken) continue;
    const sim::EnvList env = sim::simEnvironment(&device, &web);
    EXPECT_NE(std::find(env.begin(), env.end(), sim::EnvList::value_type{"KESTREL_DEVICE_HOST", c.address}), env.end());
    EXPECT_NE(std::find(env.begin(), env.end(), sim::EnvList::value_type{"KESTREL_LOOPBACK_ONLY", "1"}), env.end());
    EXPECT_EQ(web.baseUrl().rfind(std::string("http://") + c.address + ":", 0), 0u);
    device.stop();
    web.stop();
  }
}

}  // namespace
