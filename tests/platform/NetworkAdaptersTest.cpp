#include "platform/NetworkAdapters.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "support/TestEnv.h"

namespace {

// The routing table prints an address as the 32-bit value in memory, so the
// expected text depends on the machine's byte order; build it the same way.
std::string routeHex(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
  char text[9];
  std::snprintf(text, sizeof text, "%08X", a.s_addr);
  return text;
}

std::string routeLine(const std::string& iface, const char* destination, const char* gateway, const char* flags,
                      const char* metric, const char* mask) {
  return iface + "\t" + routeHex(destination) + "\t" + routeHex(gateway) + "\t" + flags + "\t0\t0\t" + metric + "\t" +
         routeHex(mask) + "\t0\t0\t0                                                                               \n";
}

const std::string kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT                          "
    "                             \n";

TEST(ParseDefaultGateways, KeepsTheBestUsableDefaultRoutePerInterface) {
  using G = std::vector<platform::DefaultGateway>;
  struct Case {
    const char* name;
    std::string table;
    G expected;
  } cases[] = {
      {"as the kernel prints it",
       kHeader + routeLine("eth0", "0.0.0.0", "192.0.2.1", "0003", "0", "0.0.0.0") +
           routeLine("eth0", "192.0.2.0", "0.0.0.0", "0001", "0", "255.255.255.0"),
       {{"eth0", "192.0.2.1"}}},
      {"lowest metric wins, earlier line on a tie",
       kHeader + routeLine("wlan0", "0.0.0.0", "10.0.0.1", "0003", "600", "0.0.0.0") +
           routeLine("wlan0", "0.0.0.0", "10.0.0.2", "0003", "100", "0.0.0.0") +
           routeLine("wlan0", "0.0.0.0", "10.0.0.3", "0003", "100", "0.0.0.0"),
       {{"wlan0", "10.0.0.2"}}},
      {"one entry per interface, in table order",
       kHeader + routeLine("eth1", "0.0.0.0", "172.16.0.1", "0003", "0", "0.0.0.0") +
           routeLine("eth0", "0.0.0.0", "192.168.1.1", "0003", "0", "0.0.0.0"),
       {{"eth1", "172.16.0.1"}, {"eth0", "192.168.1.1"}}},
      {"route that is down, direct, or not a default route",
       kHeader + routeLine("eth0", "0.0.0.0", "192.168.1.1", "0002", "0", "0.0.0.0") +
           routeLine("eth1", "0.0.0.0", "192.168.2.1", "0001", "0", "0.0.0.0") +
           routeLine("eth2", "10.0.0.0", "192.168.3.1", "0003", "0", "255.0.0.0") +
           routeLine("eth3", "0.0.0.0", "192.168.4.1", "0003", "0", "255.0.0.0"),
       {}},
      {"malformed lines skipped",
       kHeader + "eth0\t00000000\n" + "eth0\t00000000\tZZ01A8C0\t0003\t0\t0\t0\t00000000\n" +
           "eth0\t00000000\t1230101A8C0\t0003\t0\t0\t0\t00000000\n" +
           "eth0\t00000000\t0101A8C0\t0003\t0\t0\t-1\t00000000\n" +
           routeLine("averyveryverylongname", "0.0.0.0", "192.168.9.1", "0003", "0", "0.0.0.0") +
           routeLine("eth5", "0.0.0.0", "192.168.5.1", "0003", "0", "0.0.0.0"),
       {{"eth5", "192.168.5.1"}}},
      {"empty text", "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::parseDefaultGateways(c.table), c.expected) << c.name;
  }
}

TEST(LinuxAdapters, ListsLoopbackWithItsMaskAndTheGatewayOfItsOwnRoute) {
  testsupport::TempFolder dir("route");
  std::vector<platform::AdapterAddress> list;
  auto loopback = [&](const std::string& routeFile) {
    list.clear();
    EXPECT_TRUE(platform::makeLinuxNetworkAdapters(routeFile)->list(list));
    auto it = std::find_if(list.begin(), list.end(), [](const auto& a) { return a.ip == "127.0.0.1"; });
    return it == list.end() ? platform::AdapterAddress{} : *it;
  };
  platform::AdapterAddress lo = loopback(dir.file("missing"));
  EXPECT_EQ(lo.mask, "255.0.0.0");
  EXPECT_EQ(lo.gateway, "0.0.0.0");
  EXPECT_TRUE(lo.loopback);
  EXPECT_TRUE(lo.up);
  ASSERT_FALSE(lo.description.empty());

  testsupport::writeText(dir.file("route"), kHeader + routeLine("other0", "0.0.0.0", "192.0.2.1", "0003", "0", "0.0.0.0") +
                                                routeLine(lo.description, "0.0.0.0", "127.0.0.254", "0003", "0", "0.0.0.0"));
  EXPECT_EQ(loopback(dir.file("route")).gateway, "127.0.0.254");
}

}  // namespace
