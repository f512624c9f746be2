#include "platform/BluetoothInquiry.h"

#include "platform/Clock.h"
#include "platform/DeviceEndpoints.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

using namespace std::chrono_literals;

constexpr int kMinInquiryUnits = 1;
constexpr int kMaxInquiryUnits = 48;  // the controller refuses longer inquiries
constexpr int kMaxResponses = 255;
// A device that answered the inquiry but is slow to page gets this long for
// its name; radio timing, so not scaled.
constexpr int kNameTimeoutMs = 5000;
// Many silent devices must not turn one scan into minutes of name reads.
constexpr auto kNameBudget = 30s;
constexpr size_t kMaxNameBytes = 248;

uint64_t addressValue(const bdaddr_t& address) {
  uint64_t value = 0;
  for (int i = 5; i >= 0; --i) value = (value << 8) | address.b[i];
  return value;
}

class HciBluetoothInquiry : public BluetoothInquiry {
 public:
  int inquire(std::vector<BluetoothDeviceFound>& out, int lengthUnits) override {
    out.clear();
    if (deviceEndpoints().loopbackOnly) return fail("loopback-only mode: the Bluetooth radio is not used");

    int deviceId = hci_get_route(nullptr);
    if (deviceId < 0) return fail("no Bluetooth adapter");
    int socket = hci_open_dev(deviceId);
    if (socket < 0) return fail(std::string("cannot open the Bluetooth adapter: ") + std::strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(&socket, [](int* fd) { hci_close_dev(*fd); });

    inquiry_info* found = nullptr;
    int length = std::clamp(lengthUnits, kMinInquiryUnits, kMaxInquiryUnits);
    int count = hci_inquiry(deviceId, length, kMaxResponses, nullptr, &found, IREQ_CACHE_FLUSH);
    std::unique_ptr<inquiry_info, void (*)(void*)> owner(found, std::free);
    if (count < 0) return fail(std::string("inquiry failed: ") + std::strerror(errno));

    const int64_t namesUntil = nowMs() + std::chrono::milliseconds(kNameBudget).count();
    for (int i = 0; i < count && found; ++i) {
      BluetoothDeviceFound device;
      device.address = addressValue(found[i].bdaddr);
      if (nowMs() < namesUntil) {
        char name[kMaxNameBytes + 1] = {};
        if (hci_read_remote_name(socket, &found[i].bdaddr, kMaxNameBytes, name, kNameTimeoutMs) == 0) {
          device.name.assign(name, strnlen(name, kMaxNameBytes));
        }
      }
      out.push_back(std::move(device));
    }
    return 0;
  }

  std::string lastError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
  }

 private:
  int fail(std::string reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = std::move(reason);
    return -1;
  }

  mutable std::mutex mutex_;  // guards lastError_
  std::string lastError_;
};

std::mutex& currentMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<BluetoothInquiry>& currentInquiry() {  // guarded by currentMutex()
  static std::shared_ptr<BluetoothInquiry> inquiry;
  return inquiry;
}

}  // namespace

std::shared_ptr<BluetoothInquiry> makeHciBluetoothInquiry() { return std::make_shared<HciBluetoothInquiry>(); }

std::shared_ptr<BluetoothInquiry> bluetoothInquiry() {
  std::lock_guard<std::mutex> lock(currentMutex());
  auto& inquiry = currentInquiry();
  if (!inquiry) inquiry = makeHciBluetoothInquiry();
  return inquiry;
}

void setBluetoothInquiryForTest(std::shared_ptr<BluetoothInquiry> inquiry) {
  std::lock_guard<std::mutex> lock(currentMutex());
  currentInquiry() = std::move(inquiry);
}

}  // namespace platform
