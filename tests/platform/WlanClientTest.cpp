#include "platform/Clock.h"
#include "platform/WlanClient.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestEnv.h"

namespace {

using platform::SimWlanNetwork;

TEST(SimWlanList, ParsesEachLineOrSkipsIt) {
  const std::string ssid32(32, 's');
  struct Case {
    const char* name;
    std::string text;
    std::vector<SimWlanNetwork> expected;
  } cases[] = {
      {"two interfaces", "wlan0\tKST-0012345678\nwlan1\tHome\n", {{"wlan0", "KST-0012345678"}, {"wlan1", "Home"}}},
      {"hidden network", "wlan0\t\n", {{"wlan0", ""}}},
      {"raw bytes and blanks kept", std::string("wlan0\t caf\xc3\xa9 \xff\x01 \n", 16),
       {{"wlan0", std::string(" caf\xc3\xa9 \xff\x01 ", 10)}}},
      {"32-byte SSID kept, 33 skipped", "wlan0\t" + ssid32 + "\nwlan0\t" + ssid32 + "x\n", {{"wlan0", ssid32}}},
      {"CRLF", "wlan0\tHome\r\n", {{"wlan0", "Home"}}},
      {"comments and blank lines", "# iface\tssid\n\nwlan0\tA\n", {{"wlan0", "A"}}},
      {"no tab", "wlan0 Home\n", {}},
      {"second tab", "wlan0\tHo\tme\n", {}},
      {"blank or long interface name", " wlan0\tA\n\tA\nabcdefghijklmnop\tA\n", {}},
      {"SSID ending in a carriage return", "wlan0\tA\r\r\n", {}},
      {"last line without newline", "wlan0\tA\nwlan0\tB", {{"wlan0", "A"}, {"wlan0", "B"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::parseSimWlanList(c.text), c.expected) << c.name;
  }
}

TEST(SimWlanClient, InterfacesInFirstAppearanceOrderWithTheirOwnNetworks) {
  testsupport::TempFolder dir("wlan");
  const std::string path = dir.file("wlan.list");
  // What could not be read back is never written.
  EXPECT_FALSE(platform::writeSimWlanList(path, {{"wlan0", "a\tb"}}));
  EXPECT_FALSE(platform::writeSimWlanList(path, {{"wlan0", std::string(33, 'x')}}));
  EXPECT_FALSE(platform::writeSimWlanList(path, {{"#wlan", "x"}}));
  std::vector<std::string> names{"stale"}, ssids;
  auto missing = platform::makeSimWlanClient(path);
  ASSERT_EQ(missing->open(), 0);
  EXPECT_EQ(missing->enumInterfaces(names), 0);
  EXPECT_TRUE(names.empty()) << "a missing file means no interface";

  ASSERT_TRUE(platform::writeSimWlanList(path, {{"wlan1", "B1"}, {"wlan0", "A1"}, {"wlan1", ""}, {"wlan1", "B1"}}));
  auto client = platform::makeSimWlanClient(path);
  EXPECT_EQ(client->enumInterfaces(names), -1) << "used before open";
  ASSERT_EQ(client->open(), 0);
  ASSERT_EQ(client->enumInterfaces(names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"wlan1", "wlan0"}));
  EXPECT_EQ(client->scan("wlan1"), 0);
  ASSERT_EQ(client->availableNetworks("wlan1", ssids), 0);
  EXPECT_EQ(ssids, (std::vector<std::string>{"B1", "", "B1"}));
  EXPECT_EQ(client->scan("wlan9"), -1);
  EXPECT_EQ(client->availableNetworks("wlan9", ssids), -1);
  EXPECT_TRUE(ssids.empty());
  client->close();
  EXPECT_EQ(client->availableNetworks("wlan1", ssids), -1);
}

// A message bus of the test's own, on a socket in a temporary folder.
class PrivateBus {
 public:
  PrivateBus() {
    const std::string command = "dbus-daemon --session --fork --print-address=1 --print-pid=1 --address=unix:path=" +
                                folder_.file("bus") + " 2>/dev/null";
    if (FILE* out = ::popen(command.c_str(), "r")) {
      char address[512] = {};
      if (std::fscanf(out, "%511s %d", address, &pid_) == 2) address_ = address;
      ::pclose(out);
    }
  }
  ~PrivateBus() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  // Empty when no bus daemon could be started on this machine.
  const std::string& address() const { return address_; }

 private:
  testsupport::TempFolder folder_{"bus"};
  pid_t pid_ = -1;
  std::string address_;
};

// Just enough of the network service to answer the client: an ethernet
// device, a Wi-Fi device with three access points and a stale one, and a
// device whose type has the wrong D-Bus type. silent: never answers.
class FakeNetworkManager {
 public:
  FakeNetworkManager(const std::string& address, bool silent) : silent_(silent) {
    DBusError error;
    dbus_error_init(&error);
    connection_ = dbus_connection_open_private(address.c_str(), &error);
    auto filter = [](DBusConnection*, DBusMessage* message, void* self) {
      return static_cast<FakeNetworkManager*>(self)->handle(message);
    };
    if (connection_ && dbus_bus_register(connection_, &error) &&
        dbus_bus_request_name(connection_, "org.freedesktop.NetworkManager", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) ==
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER &&
        dbus_connection_add_filter(connection_, filter, this, nullptr)) {
      thread_ = std::thread([this] {
        while (!stop_ && dbus_connection_read_write_dispatch(connection_, 20)) {
        }
      });
    }
    dbus_error_free(&error);
  }

  ~FakeNetworkManager() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (connection_) {
      dbus_connection_close(connection_);
      dbus_connection_unref(connection_);
    }
  }

  bool running() const { return thread_.joinable(); }
  std::atomic<int> scans{0};
  static inline const std::string kDevices = "/org/freedesktop/NetworkManager/Devices/";
  static inline const std::string kPoints = "/org/freedesktop/NetworkManager/AccessPoint/";
  static inline const std::string kRawSsid = std::string("caf\xc3\xa9\0\xff", 7);

 private:
  DBusHandlerResult handle(DBusMessage* message) {
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    if (silent_) return DBUS_HANDLER_RESULT_HANDLED;
    const std::string path = dbus_message_get_path(message);
    const std::string member = dbus_message_get_member(message);
    DBusMessage* reply = nullptr;
    if (member == "GetDevices" && path == "/org/freedesktop/NetworkManager") {
      reply = paths(message, {kDevices + "1", kDevices + "2", kDevices + "3"});
    } else if (member == "GetAllAccessPoints" && path == kDevices + "2") {
      reply = paths(message, {kPoints + "1", kPoints + "2", kPoints + "3", kPoints + "4"});
    } else if (member == "RequestScan" && path == kDevices + "2" && dbus_message_has_signature(message, "a{sv}")) {
      ++scans;
      reply = dbus_message_new_method_return(message);
    } else if (member == "Get") {
      reply = property(message, path);
    }
    if (!reply) reply = dbus_message_new_error(message, DBUS_ERROR_UNKNOWN_OBJECT, "no such object");
    dbus_connection_send(connection_, reply, nullptr);
    dbus_message_unref(reply);
    return DBUS_HANDLER_RESULT_HANDLED;
  }

  // A method return holding one container (array or variant) that fill writes.
  static DBusMessage* reply(DBusMessage* call, int container, const char* signature,
                            const std::function<void(DBusMessageIter*)>& fill) {
    DBusMessage* reply = dbus_message_new_method_return(call);
    DBusMessageIter args, inner;
    dbus_message_iter_init_append(reply, &args);
    dbus_message_iter_open_container(&args, container, signature, &inner);
    fill(&inner);
    dbus_message_iter_close_container(&args, &inner);
    return reply;
  }

  static DBusMessage* paths(DBusMessage* call, const std::vector<std::string>& objects) {
    return reply(call, DBUS_TYPE_ARRAY, "o", [&](DBusMessageIter* array) {
      for (const std::string& o : objects) {
        const char* p = o.c_str();
        dbus_message_iter_append_basic(array, DBUS_TYPE_OBJECT_PATH, &p);
      }
    });
  }

  static DBusMessage* variant(DBusMessage* call, int type, const void* value) {
    const char signature[] = {static_cast<char>(type), 0};
    return reply(call, DBUS_TYPE_VARIANT, signature,
                 [&](DBusMessageIter* inner) { dbus_message_iter_append_basic(inner, type, value); });
  }

  static DBusMessage* bytes(DBusMessage* call, const std::string& data) {
    return reply(call, DBUS_TYPE_VARIANT, "ay", [&](DBusMessageIter* inner) {
      DBusMessageIter array;
      const char* p = data.data();
      dbus_message_iter_open_container(inner, DBUS_TYPE_ARRAY, "y", &array);
      dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &p, static_cast<int>(data.size()));
      dbus_message_iter_close_container(inner, &array);
    });
  }

  static DBusMessage* property(DBusMessage* call, const std::string& path) {
    const char* interface = nullptr;
    const char* name = "";  // stays empty, so unanswered, when the arguments are not two strings
    dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    const std::string prop = name;
    if (prop == "DeviceType") {
      static const char* wrong = "2";
      if (path == kDevices + "3") return variant(call, DBUS_TYPE_STRING, &wrong);
      dbus_uint32_t type = path == kDevices + "2" ? 2 : 1;
      return variant(call, DBUS_TYPE_UINT32, &type);
    }
    if (prop == "Interface") {
      const char* iface = path == kDevices + "1" ? "eth0" : path == kDevices + "2" ? "wlp2s0" : "wlan9";
      return variant(call, DBUS_TYPE_STRING, &iface);
    }
    if (prop == "Ssid" && path != kPoints + "4") {
      return bytes(call, path == kPoints + "1" ? "KST-0012345678" : path == kPoints + "2" ? "" : kRawSsid);
    }
    return nullptr;
  }

  const bool silent_;
  DBusConnection* connection_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Only Wi-Fi devices are listed, whatever else the service holds; with no bus,
// no service or a silent one every call fails in time.
TEST(NetworkManagerWlanClient, ListsWifiDevicesAndTheirAccessPoints_failsInTimeWithoutAnswers) {
  auto noBus = platform::makeNetworkManagerWlanClient("unix:path=/nonexistent/kestrel-bus");
  int64_t started = platform::nowMs();
  EXPECT_EQ(noBus->open(), -1);
  EXPECT_FALSE(noBus->lastError().empty());
  EXPECT_LT(platform::nowMs() - started, 1000);

  PrivateBus bus;
  if (bus.address().empty()) GTEST_SKIP() << "no dbus-daemon on this machine";
  std::vector<std::string> names{"stale"}, ssids;
  auto client = platform::makeNetworkManagerWlanClient(bus.address());
  ASSERT_EQ(client->open(), 0) << client->lastError();
  started = platform::nowMs();
  EXPECT_EQ(client->enumInterfaces(names), 0) << client->lastError();
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(client->scan("wlan0"), -1);
  EXPECT_LT(platform::nowMs() - started, 1500);
  {
    FakeNetworkManager service(bus.address(), false);
    ASSERT_TRUE(service.running());
    ASSERT_EQ(client->enumInterfaces(names), 0) << client->lastError();
    EXPECT_EQ(names, (std::vector<std::string>{"wlp2s0"}));
    EXPECT_EQ(client->scan("wlp2s0"), 0) << client->lastError();
    EXPECT_EQ(service.scans.load(), 1);
    ASSERT_EQ(client->availableNetworks("wlp2s0", ssids), 0) << client->lastError();
    EXPECT_EQ(ssids, (std::vector<std::string>{"KST-0012345678", "", FakeNetworkManager::kRawSsid}));
    EXPECT_EQ(client->scan("eth0"), -1) << "not a Wi-Fi device";
    client->close();
    EXPECT_EQ(client->enumInterfaces(names), -1);
    ASSERT_EQ(client->open(), 0);
    EXPECT_EQ(client->availableNetworks("wlp2s0", ssids), 0) << "device table refilled after reopening";
  }
  FakeNetworkManager silent(bus.address(), true);
  ASSERT_TRUE(silent.running());
  started = platform::nowMs();
  EXPECT_EQ(client->enumInterfaces(names), -1);
  EXPECT_LT(platform::nowMs() - started, 5000);
}

}  // namespace
