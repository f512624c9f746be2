#include "platform/WlanClient.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace platform {
namespace {

// Every call to the service is bounded, so a stuck service cannot hang a scan.
constexpr int kCallTimeoutMs = 2000;
constexpr size_t kMaxDevices = 64;
constexpr size_t kMaxAccessPoints = 512;
constexpr uint32_t kDeviceTypeWifi = 2;

constexpr const char* kService = "org.freedesktop.NetworkManager";
constexpr const char* kManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kManagerInterface = "org.freedesktop.NetworkManager";
constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";
constexpr const char* kWirelessInterface = "org.freedesktop.NetworkManager.Device.Wireless";
constexpr const char* kAccessPointInterface = "org.freedesktop.NetworkManager.AccessPoint";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
// NetworkManager refuses a scan right after another one; the results it
// holds are then fresh, which is what the caller wants.
constexpr const char* kScanNotAllowed = "org.freedesktop.NetworkManager.Device.NotAllowed";

struct MessageDeleter {
  void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<DBusMessage, MessageDeleter>;

class ScopedError {
 public:
  ScopedError() { dbus_error_init(&error_); }
  ~ScopedError() { dbus_error_free(&error_); }
  ScopedError(const ScopedError&) = delete;
  ScopedError& operator=(const ScopedError&) = delete;
  DBusError* get() { return &error_; }
  bool isSet() const { return dbus_error_is_set(&error_); }
  std::string name() const { return error_.name ? error_.name : ""; }
  std::string text() const {
    std::string s = name();
    if (error_.message) s += std::string(": ") + error_.message;
    return s;
  }

 private:
  DBusError error_;
};

bool serviceAbsent(const std::string& errorName) {
  return errorName == DBUS_ERROR_SERVICE_UNKNOWN || errorName == DBUS_ERROR_NAME_HAS_NO_OWNER;
}

// Reads an "ao" reply (or the array inside a variant) into paths.
bool readObjectPaths(DBusMessageIter* iter, size_t limit, std::vector<std::string>& paths) {
  if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY ||
      dbus_message_iter_get_element_type(iter) != DBUS_TYPE_OBJECT_PATH) {
    return false;
  }
  DBusMessageIter element;
  dbus_message_iter_recurse(iter, &element);
  while (dbus_message_iter_get_arg_type(&element) == DBUS_TYPE_OBJECT_PATH && paths.size() < limit) {
    const char* path = nullptr;
    dbus_message_iter_get_basic(&element, &path);
    if (path) paths.emplace_back(path);
    dbus_message_iter_next(&element);
  }
  return true;
}

class NetworkManagerWlanClient : public WlanClient {
 public:
  explicit NetworkManagerWlanClient(std::string busAddress) : busAddress_(std::move(busAddress)) {}
  ~NetworkManagerWlanClient() override { close(); }

  int open() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_) return 0;
    dbus_threads_init_default();
    ScopedError error;
    // A private connection, so close() can really close it without touching
    // a shared one that other code of the process may hold.
    if (busAddress_.empty()) {
      connection_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get());
    } else {
      connection_ = dbus_connection_open_private(busAddress_.c_str(), error.get());
      if (connection_ && !dbus_bus_register(connection_, error.get())) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
      }
    }
    if (!connection_) return fail("cannot reach the system bus: " + error.text());
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);
    return 0;
  }

  int enumInterfaces(std::vector<std::string>& names) override {
    names.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connection_) return fail("the WLAN client is not open");
    if (refreshDevices() != 0) return -1;
    for (const auto& device : devices_) names.push_back(device.first);
    return 0;
  }

  int scan(const std::string& interfaceName) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string path;
    if (!devicePath(interfaceName, path)) return -1;
    MessagePtr request(dbus_message_new_method_call(kService, path.c_str(), kWirelessInterface, "RequestScan"));
    if (!request) return fail("out of memory");
    DBusMessageIter args, options;
    dbus_message_iter_init_append(request.get(), &args);
    if (!dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &options) ||
        !dbus_message_iter_close_container(&args, &options)) {
      return fail("out of memory");
    }
    ScopedError error;
    MessagePtr reply = call(request.get(), error);
    if (reply || error.name() == kScanNotAllowed) return 0;
    return fail("RequestScan on " + interfaceName + " failed: " + error.text());
  }

  int availableNetworks(const std::string& interfaceName, std::vector<std::string>& ssids) override {
    ssids.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    std::string path;
    if (!devicePath(interfaceName, path)) return -1;
    MessagePtr request(
        dbus_message_new_method_call(kService, path.c_str(), kWirelessInterface, "GetAllAccessPoints"));
    if (!request) return fail("out of memory");
    ScopedError error;
    MessagePtr reply = call(request.get(), error);
    if (!reply) return fail("GetAllAccessPoints on " + interfaceName + " failed: " + error.text());
    DBusMessageIter iter;
    std::vector<std::string> accessPoints;
    if (!dbus_message_iter_init(reply.get(), &iter) || !readObjectPaths(&iter, kMaxAccessPoints, accessPoints)) {
      return fail("GetAllAccessPoints gave an unexpected reply");
    }
    for (const std::string& accessPoint : accessPoints) {
      std::string ssid;
      // An access point can vanish between the list and this read; it is then
      // simply not seen any more.
      if (readSsid(accessPoint, ssid)) ssids.push_back(std::move(ssid));
    }
    return 0;
  }

  void close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.clear();
    if (!connection_) return;
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
    connection_ = nullptr;
  }

  std::string lastError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
  }

 private:
  int fail(std::string reason) {
    lastError_ = std::move(reason);
    return -1;
  }

  bool failed(std::string reason) {
    fail(std::move(reason));
    return false;
  }

  MessagePtr call(DBusMessage* request, ScopedError& error) {
    return MessagePtr(dbus_connection_send_with_reply_and_block(connection_, request, kCallTimeoutMs, error.get()));
  }

  // Properties.Get; on success iter points into the variant's content, which
  // lives as long as reply.
  bool getProperty(const std::string& path, const char* interface, const char* property, MessagePtr& reply,
                   DBusMessageIter& value) {
    MessagePtr request(dbus_message_new_method_call(kService, path.c_str(), kPropertiesInterface, "Get"));
    if (!request || !dbus_message_append_args(request.get(), DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                              &property, DBUS_TYPE_INVALID)) {
      return false;
    }
    ScopedError error;
    reply = call(request.get(), error);
    DBusMessageIter iter;
    if (!reply || !dbus_message_iter_init(reply.get(), &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT) {
      return false;
    }
    dbus_message_iter_recurse(&iter, &value);
    return true;
  }

  bool getUint32(const std::string& path, const char* interface, const char* property, uint32_t& out) {
    MessagePtr reply;
    DBusMessageIter value;
    if (!getProperty(path, interface, property, reply, value) ||
        dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_UINT32) {
      return false;
    }
    dbus_uint32_t n = 0;
    dbus_message_iter_get_basic(&value, &n);
    out = n;
    return true;
  }

  bool getString(const std::string& path, const char* interface, const char* property, std::string& out) {
    MessagePtr reply;
    DBusMessageIter value;
    if (!getProperty(path, interface, property, reply, value) ||
        dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_STRING) {
      return false;
    }
    const char* text = nullptr;
    dbus_message_iter_get_basic(&value, &text);
    out = text ? text : "";
    return true;
  }

  bool readSsid(const std::string& accessPoint, std::string& ssid) {
    MessagePtr reply;
    DBusMessageIter value;
    if (!getProperty(accessPoint, kAccessPointInterface, "Ssid", reply, value) ||
        dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&value) != DBUS_TYPE_BYTE) {
      return false;
    }
    DBusMessageIter bytes;
    dbus_message_iter_recurse(&value, &bytes);
    const unsigned char* data = nullptr;
    int count = 0;
    dbus_message_iter_get_fixed_array(&bytes, &data, &count);
    if (count < 0 || (count > 0 && !data)) return false;
    ssid.assign(reinterpret_cast<const char*>(data), std::min(static_cast<size_t>(count), kMaxSsidBytes));
    return true;
  }

  // Fills devices_ with (interface, object path) of every Wi-Fi device.
  int refreshDevices() {
    devices_.clear();
    MessagePtr request(dbus_message_new_method_call(kService, kManagerPath, kManagerInterface, "GetDevices"));
    if (!request) return fail("out of memory");
    ScopedError error;
    MessagePtr reply = call(request.get(), error);
    if (!reply) {
      // No NetworkManager on this machine: no Wi-Fi interface, not a failure.
      if (serviceAbsent(error.name())) return 0;
      return fail("GetDevices failed: " + error.text());
    }
    DBusMessageIter iter;
    std::vector<std::string> paths;
    if (!dbus_message_iter_init(reply.get(), &iter) || !readObjectPaths(&iter, kMaxDevices, paths)) {
      return fail("GetDevices gave an unexpected reply");
    }
    for (const std::string& path : paths) {
      uint32_t type = 0;
      std::string name;
      if (getUint32(path, kDeviceInterface, "DeviceType", type) && type == kDeviceTypeWifi &&
          getString(path, kDeviceInterface, "Interface", name) && !name.empty()) {
        devices_.emplace_back(std::move(name), path);
      }
    }
    return 0;
  }

  bool devicePath(const std::string& interfaceName, std::string& path) {
    if (!connection_) return failed("the WLAN client is not open");
    for (int attempt = 0; attempt < 2; ++attempt) {
      for (const auto& device : devices_) {
        if (device.first == interfaceName) {
          path = device.second;
          return true;
        }
      }
      // Devices come and go; look again once before giving up.
      if (attempt == 0 && refreshDevices() != 0) return false;
    }
    return failed("no such Wi-Fi interface: " + interfaceName);
  }

  const std::string busAddress_;  // empty: the system bus
  mutable std::mutex mutex_;      // guards connection_, devices_, lastError_; held across each bus call
  DBusConnection* connection_ = nullptr;
  std::vector<std::pair<std::string, std::string>> devices_;  // interface name, object path
  std::string lastError_;
};

}  // namespace

std::shared_ptr<WlanClient> makeNetworkManagerWlanClient(std::string busAddress) {
  return std::make_shared<NetworkManagerWlanClient>(std::move(busAddress));
}

}  // namespace platform
