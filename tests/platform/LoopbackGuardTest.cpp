#include <arpa/inet.h>
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include "platform/LoopbackGuard.h"
#include "support/LogCapture.h"

namespace {

sockaddr_in inet(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

sockaddr_in6 inet6(const char* ip, uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  inet_pton(AF_INET6, ip, &a.sin6_addr);
  return a;
}

class LoopbackGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::loopbackGuardActive()) << "tests run with KESTREL_LOOPBACK_ONLY=1"; }
  LogCapture log;
};

// A host as text, and as an address in network order where it is one; the
// connection tests read the refusal's log line.
TEST_F(LoopbackGuardTest, Host_onlyLoopbackLiteralsPass) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true},        {"127.255.255.254", true}, {"192.168.100.1", false},
      {"255.255.255.255", false}, {"0.0.0.0", false},        {"128.0.0.1", false},
      {"1.0.0.127", false},  // a byte-order slip would take it for loopback
      // A name would need a lookup, and the lookup is itself a packet.
      {"localhost", false},       {"device.example", false}, {"", false},
      {"127.0.0.1 ", false},      {"::1", false},
  };
  for (const auto& [host, allowed] : cases) {
    SCOPED_TRACE(host);
    EXPECT_EQ(platform::destinationAllowed(std::string(host)), allowed);
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) == 1) {
      EXPECT_EQ(platform::destinationAllowed(a.s_addr), allowed);
    }
  }
}

TEST_F(LoopbackGuardTest, SocketAddress_familiesAndLengths) {
  sockaddr_in loop = inet("127.0.0.1", 22488);
  sockaddr_in device = inet("192.168.100.1", 22488);
  sockaddr_in6 mappedLoop = inet6("::ffff:127.0.0.1", 80);
  sockaddr_in6 mappedDevice = inet6("::ffff:192.168.100.1", 80);
  sockaddr_in6 v6Loop = inet6("::1", 80);
  const sockaddr_un local{AF_UNIX, "/tmp/x"};
  const sockaddr_rc radio{AF_BLUETOOTH, {{0x12, 0x71, 0xDA, 0x7D, 0x1A, 0x00}}, 1};

  struct Case {
    const char* name;
    const void* address;
    socklen_t length;
    bool allowed;
    const char* logged;
  } cases[] = {
      {"loopback", &loop, sizeof loop, true, nullptr},
      {"device", &device, sizeof device, false, "refused 192.168.100.1:22488"},
      {"short inet", &loop, sizeof(sa_family_t) + 2, false, "refused"},
      {"mapped loopback", &mappedLoop, sizeof mappedLoop, true, nullptr},
      {"mapped device", &mappedDevice, sizeof mappedDevice, false, "refused [::ffff:192.168.100.1]:80"},
      {"ipv6 loopback", &v6Loop, sizeof v6Loop, false, "refused [::1]:80"},
      {"unix", &local, sizeof local, true, nullptr},
      {"bluetooth", &radio, sizeof radio, false, "refused bluetooth 00:1A:7D:DA:71:12"},
      {"null", nullptr, 0, false, "refused an empty address"},
  };
  for (const auto& c : cases) {
    log.clear();
    EXPECT_EQ(platform::destinationAllowed(static_cast<const sockaddr*>(c.address), c.length), c.allowed) << c.name;
    EXPECT_TRUE(c.logged ? log.contains(c.logged, 30000) : log.lines().empty()) << c.name << "\n" << log.dump();
  }
}

}  // namespace
