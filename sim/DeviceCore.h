#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "SimFaults.h"
#include "session/Frame.h"

// The device itself, without any link: its identity, versions, stored images
// and settings, and how it answers each request of the frame protocol. The
// links (VirtualDevice) feed it request frames and carry its replies.
namespace sim {

// The first data byte of the mode reply.
enum class DeviceMode : uint8_t { BootLoader = 0, Normal = 1, J2534 = 2 };

// What a boot switch does to the links: InPlace keeps the network clients
// (the USB side still re-enumerates with the boot loader's ids); Restart drops
// every link and brings the device back in its boot loader after restartDelay.
enum class SwitchEffect { InPlace, Restart };

enum class LinkKind { Device, Config, Serial, Discovery };

struct DeviceConfig {
  std::string serialNumber = "5RHM10000001";  // alphanumeric, model 0
  int model = -1;                             // -1: classifyModel(serialNumber)
  DeviceMode mode = DeviceMode::Normal;

  std::string identityText = "KESTREL-VCI";  // first text of the kCmdReadIdentity reply
  // The five texts of the kCmdReadVersions reply, in order.
  std::string hardwareVersion = "H1.00";
  std::string firmwareVersion = "V1.10";
  std::string bootVersion = "B1.02";
  std::string protocolVersion = "P04.04";
  std::string j2534Version = "V2.10";

  // The unit behind address 0xF1; without it kCmdReadSystemVersion goes unanswered.
  bool hasSystem = true;
  // kCmdReadSystemVersion reply texts: "<platformName>-<platformVersion>" and
  // "<systemPackageName>_<platformName>-<systemVersion>".
  std::string platformName = "P1";
  std::string platformVersion = "2.0";
  std::string systemPackageName = "V3.10";
  std::string systemVersion = "205";

  std::string wifiSsid{};
  std::string wifiKey{};
  uint32_t supplyMillivolts = 12345;
  std::string linkName{};  // name in the answer to discovery request B; empty: the serial number

  uint16_t usbVendor = 0x1A86;  // ids of the normal-mode USB serial function
  uint16_t usbProduct = 0x55DA;

  SwitchEffect qtrakBootSwitch = SwitchEffect::Restart;   // kCmdQtrakEnterBoot
  SwitchEffect bootSwitch = SwitchEffect::InPlace;        // kCmdEnterBoot without data
  SwitchEffect numericBootEntry = SwitchEffect::InPlace;  // kCmdEnterBoot with 0x02
  // False: the device installs without restarting (its links never drop).
  bool installRestarts = true;
  // False: the install fails inside the device, which answers and restarts as
  // usual but comes back with the system it had.
  bool installTakes = true;
  // Non-empty: what comes back after a restart is another device, with this
  // serial number (swapped while the first one restarted).
  std::string serialAfterRestart{};
  // From dropping the links to being back (scaled).
  std::chrono::milliseconds restartDelay{1500};
  // Real time before the identity replies on the serial link (a slow device);
  // none by default, so probes meet a device that answers at once.
  std::chrono::milliseconds serialIdentityDelay{0};
};

enum class ImageSlot { Firmware, J2534 };

// What the boot loader holds for one image name.
struct StoredImage {
  std::string name;  // "DOWNLOAD.BIN" or "J2534.BIN"; empty when nothing was announced
  uint32_t announcedLength = 0;
  std::vector<uint8_t> bytes;  // announcedLength bytes; never written areas are zero
  std::string md5;             // of bytes, lower-case hex
  bool accepted = false;       // the host's digest matched
  std::string version;         // adopted on acceptance; empty when unknown
};

struct StoredPackage {
  std::vector<uint8_t> bytes;  // the system.zip as received
  std::string md5;         // of bytes, made when the record is read
  bool complete = false;   // the final chunk arrived
  bool installed = false;  // kCmdSystemInstall came after it
  std::string version;     // from the package itself; empty when unknown
};

struct RequestRecord {
  uint8_t command = 0;
  uint8_t subCommand = 0;
  LinkKind link = LinkKind::Device;
  std::vector<uint8_t> data;
};

// Bytes for the link to write, `after` the previous emission on the same link.
struct Emission {
  std::chrono::milliseconds after{0};  // already scaled
  std::vector<uint8_t> bytes;
};

struct Response {
  std::vector<Emission> emissions;
  bool disconnect = false;  // drop this link once the emissions are out
};

// What the model asks of the device around it; called without the model's
// lock held, on the link thread that handled the request.
struct DeviceHooks {
  // Drop every link once dropAfter has passed (the reply is out by then) and
  // come back in mode after restartDelay (never when comeBack is false).
  std::function<void(DeviceMode mode, bool comeBack, std::chrono::milliseconds dropAfter)> restart;
  // The USB side re-enumerates (mode decides its ids); network clients stay.
  std::function<void(DeviceMode mode)> reenumerateUsb;
};

class DeviceCore {
 public:
  explicit DeviceCore(DeviceConfig config = {});

  void setHooks(DeviceHooks hooks);

  // Answers one request frame that arrived on link.
  Response handle(const Frame& request, LinkKind link);

  // The current state (versions adopted after upgrades, Wi-Fi set by the
  // host, mode after switches), and a way to change it from a test.
  DeviceConfig config() const;
  void update(const std::function<void(DeviceConfig&)>& change);
  // Also starts the boot loader's session over (safety check, announced
  // image, system upload) and ends a power loss, as a restart does.
  void setMode(DeviceMode mode);
  int model() const;

  StoredImage image(ImageSlot slot) const;
  StoredPackage systemPackage() const;
  // The version the device adopts when it accepts an image or installs a
  // package with this MD5 (ahead of a version embedded in the bytes).
  void registerVersion(const std::string& md5, const std::string& version);

  FaultScript& faults() { return faults_; }

  unsigned requestCount(uint8_t command, uint8_t subCommand) const;
  unsigned requestCount(DeviceCommand request) const { return requestCount(request.cmd, request.sub); }
  std::vector<RequestRecord> requestLog() const;
  void clearRequestLog();

 private:
  using Effects = std::vector<std::function<void()>>;
  // The reply data, or false when the request goes unanswered. Called with
  // mutex_ held; hook calls go into effects, run after it is released.
  bool answer(const Frame& request, LinkKind link, bool comeBack, std::vector<uint8_t>& data, Effects& effects);
  bool answerIdentity(DeviceCommand request, std::vector<uint8_t>& data);
  bool answerBoot(const Frame& request, bool comeBack, std::vector<uint8_t>& data, Effects& effects);
  bool answerSystem(const Frame& request, bool comeBack, std::vector<uint8_t>& data, Effects& effects);
  void switchToBoot(SwitchEffect effect, bool comeBack, Effects& effects);
  void resetBootSession();
  std::string versionOf(const std::vector<uint8_t>& bytes) const;

  mutable std::mutex mutex_;  // guards every field below
  DeviceConfig config_;
  DeviceHooks hooks_;
  // How late the reply being built goes out: a restart it causes follows it.
  std::chrono::milliseconds replyLate_{0};
  std::map<std::string, std::string> versionsByMd5_;
  StoredImage images_[2];
  StoredImage* announced_ = nullptr;  // the image the chunks go to
  bool safetyPassed_ = false;
  uint8_t challenge_[4] = {0, 0, 0, 0};
  bool challengeIssued_ = false;
  uint32_t challengeSeed_ = 0x5EED1234;
  StoredPackage package_;
  bool uploading_ = false;
  uint8_t lastFlowId_ = 0;
  bool powered_ = true;  // false from a power loss until setMode starts the device again
  std::vector<RequestRecord> log_;
  std::map<uint16_t, unsigned> counts_;
  FaultScript faults_;
};

// A 12-character serial number of the given model (0 to 5) and kind; models
// without a serial of that kind (numeric 2, 4, 5) get the alphanumeric one.
std::string sampleSerial(int model, bool alphanumeric);

}  // namespace sim
