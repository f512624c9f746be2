#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Present USB devices, their tty nodes, and hot-plug notices.
//
// Two sources: udev (the machine's real devices), or a text file that the
// virtual device writes when KESTREL_SIM_USB names it.
//
// The simulated list file, as read by parseSimUsbList and written by
// formatSimUsbList / writeSimUsbList:
//   - UTF-8/ASCII text, lines ended by '\n' (a '\r' before it is ignored);
//   - one device per line:  VVVV PPPP TTY [DESCRIPTION]
//       VVVV, PPPP   vendor and product id, 1 to 4 hexadecimal digits each
//                    (upper or lower case, no "0x"), e.g. 045B 1127;
//       TTY          absolute path of the device's tty node (/dev/ttyACM0, or
//                    the virtual device's pty such as /dev/pts/7), or "-"
//                    for a device that has no tty;
//       DESCRIPTION  optional free text up to the end of the line or the
//                    first '\r', blanks around it dropped;
//     fields are separated by one or more spaces or tabs;
//   - blank lines, and lines whose first non-blank character is '#', are
//     ignored;
//   - a line longer than kSimUsbMaxLine bytes, or one that does not match the
//     form above, is skipped; the lines around it still count;
//   - only the first kSimUsbMaxFile bytes are read, and at most
//     kSimUsbMaxDevices devices are taken;
//   - a missing or unreadable file means no device is present.
// Example:
//   # vid  pid  tty          description
//   0000 0002 /dev/pts/7   Kestrel boot loader
//   1A86 55DA -            hub without a serial function
namespace platform {

constexpr size_t kSimUsbMaxLine = 512;
constexpr size_t kSimUsbMaxFile = 64 * 1024;
constexpr size_t kSimUsbMaxDevices = 256;

struct UsbDevice {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string ttyNode;  // empty when the device has no tty
  std::string description;

  bool operator==(const UsbDevice&) const = default;
};

// A vendor/product pair.
struct UsbIds {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

inline bool hasIds(const UsbDevice& device, UsbIds ids) {
  return device.vendorId == ids.vendorId && device.productId == ids.productId;
}

// The boot loader's USB serial function.
inline constexpr UsbIds kBootLoaderUsbIds{0x0000, 0x0002};

// The USB serial functions discovery probes, in the order a scan tests them.
inline constexpr std::array<UsbIds, 3> kSerialScanUsbIds{{{0x1A86, 0x55DA}, {0x0525, 0xA4A7}, kBootLoaderUsbIds}};

// Every USB identity the device shows in any mode; any of them present means
// the device is attached by USB.
inline constexpr std::array<UsbIds, 6> kDeviceUsbIds{
    {{0x045B, 0x1127}, {0x0502, 0x3210}, kBootLoaderUsbIds, {0x0525, 0xA4A7}, {0x1A86, 0x55DA}, {0x0525, 0xA4A2}}};

inline bool isDeviceUsbId(const UsbDevice& device) {
  for (const UsbIds& ids : kDeviceUsbIds) {
    if (hasIds(device, ids)) return true;
  }
  return false;
}

// arrived is true for an arrival, false for a removal.
using UsbMonitorCallback = std::function<void(bool arrived, const UsbDevice& device)>;

class UsbDeviceList {
 public:
  virtual ~UsbDeviceList() = default;

  // One entry per tty node of a USB device, and one entry (empty ttyNode) per
  // USB device that has no tty, so a presence check sees every device. A
  // device with two serial functions gives two entries. Empty when nothing
  // can be listed.
  virtual std::vector<UsbDevice> presentDevices() = 0;

  // Reports every entry that appears in or disappears from presentDevices()
  // after the call, on a thread of the list's own; the state at the call is
  // the baseline, so devices already present are not reported. Removals of a
  // batch come before its arrivals. False when a monitor already runs or
  // cannot be started. The callback must not call startMonitor.
  virtual bool startMonitor(UsbMonitorCallback callback) = 0;

  // Stops and joins the monitor; safe to call twice, and from the callback
  // itself (the thread is then joined by the next start or the destructor).
  virtual void stopMonitor() = 0;
};

// The process-wide list: the simulated file when KESTREL_SIM_USB is set, else
// udev. Created on first use.
std::shared_ptr<UsbDeviceList> usbDevices();

// Replaces the process-wide list; nullptr goes back to the default.
void setUsbDevicesForTest(std::shared_ptr<UsbDeviceList> list);

std::shared_ptr<UsbDeviceList> makeUdevUsbDeviceList();
std::shared_ptr<UsbDeviceList> makeSimUsbDeviceList(std::string path);

// Parses the simulated list format described above.
std::vector<UsbDevice> parseSimUsbList(std::string_view text);

// One line per device in the simulated list format. A description is cut at
// the first line break and the tty path must not contain blanks, so what is
// written parses back to the same list.
std::string formatSimUsbList(const std::vector<UsbDevice>& devices);

// Writes the list to a temporary file beside path and renames it into place,
// so a reader never sees half a list. False when a tty path cannot be
// written, the list would not be read whole (more than kSimUsbMaxDevices
// devices or kSimUsbMaxFile bytes), or writing fails.
bool writeSimUsbList(const std::string& path, const std::vector<UsbDevice>& devices);

// Calls callback(false, d) for each entry of before missing from after, then
// callback(true, d) for each entry of after missing from before. Entries are
// compared whole and counted: a second identical entry is a device of its own.
void reportUsbChanges(const std::vector<UsbDevice>& before, const std::vector<UsbDevice>& after,
                      const UsbMonitorCallback& callback);

}  // namespace platform
