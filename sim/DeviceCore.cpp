#include "DeviceCore.h"

#include <algorithm>
#include <cstring>

#include "SimPackages.h"
#include "app/DeviceModel.h"
#include "platform/Clock.h"
#include "utils/LogFacade.h"

namespace sim {
namespace {

using std::chrono::milliseconds;

constexpr uint8_t kReplyAddress = 0xF8;
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusRefused = 0x01;
constexpr uint8_t kSafetyStatus = 0x02;
constexpr size_t kMaxImage = 16u << 20;
constexpr size_t kMaxPackage = 64u << 20;
constexpr size_t kMaxSystemChunk = 8192;
constexpr size_t kLogLimit = 4096;
constexpr size_t kLoggedData = 64;
// Links drop this long after the reply that caused a restart, so the host
// reads the reply before the link goes.
constexpr milliseconds kDropDelay{100};
constexpr milliseconds kDefaultLate{3000};
constexpr milliseconds kDefaultSplitPause{50};

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
void putBe16(std::vector<uint8_t>& out, size_t v) {
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}
void putText(std::vector<uint8_t>& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

// A reply to request: addresses F8 and the request's first address, the
// request's serial, command + 0x40, the same sub-command.
std::vector<uint8_t> replyFrame(const Frame& request, const std::vector<uint8_t>& data) {
  const auto& in = request.bytes();
  size_t l = data.size() + 3;
  std::vector<uint8_t> out = {0x55,
                              0xAA,
                              kReplyAddress,
                              in.size() > 2 ? in[2] : static_cast<uint8_t>(0xF0),
                              static_cast<uint8_t>((l >> 8) & 0xFF),
                              static_cast<uint8_t>(l & 0xFF),
                              request.serial(),
                              static_cast<uint8_t>(request.command() + DeviceCommand::kReplyOffset),
                              request.subCommand()};
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(Frame::checksum(out.data() + 2, out.size() - 2));
  return out;
}

// An 8-bit-length text, cut to what the length can say.
void putText8(std::vector<uint8_t>& out, const std::string& text) {
  size_t n = std::min<size_t>(text.size(), 0xFF);
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), text.begin(), text.begin() + static_cast<long>(n));
}

// One field of the version reply. The host reads each text from one byte
// after the length field, so the field carries a lead byte before the text and
// a zero after it.
void putVersionField(std::vector<uint8_t>& out, const std::string& text) {
  putBe16(out, text.size() + 2);
  out.push_back(0x01);
  putText(out, text);
  out.push_back(0x00);
}

uint8_t nextFlowId(uint8_t id) { return id == 255 ? 1 : static_cast<uint8_t>(id + 1); }

std::string imageNameOf(ImageSlot slot) { return slot == ImageSlot::Firmware ? "DOWNLOAD.BIN" : "J2534.BIN"; }

}  // namespace

DeviceCore::DeviceCore(DeviceConfig config) : config_(std::move(config)) {
  images_[0].name.clear();
  images_[1].name.clear();
}

void DeviceCore::setHooks(DeviceHooks hooks) {
  std::lock_guard<std::mutex> lock(mutex_);
  hooks_ = std::move(hooks);
}

DeviceConfig DeviceCore::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

void DeviceCore::update(const std::function<void(DeviceConfig&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(config_);
}

void DeviceCore::setMode(DeviceMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.mode = mode;
  powered_ = true;
  resetBootSession();
}

int DeviceCore::model() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.model >= 0 ? config_.model : modelNumber(classifyModel(config_.serialNumber));
}

StoredImage DeviceCore::image(ImageSlot slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return images_[slot == ImageSlot::Firmware ? 0 : 1];
}

StoredPackage DeviceCore::systemPackage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  StoredPackage copy = package_;
  // Made on request: hashing the whole upload after every chunk would make
  // a large upload quadratic.
  copy.md5 = md5Hex(copy.bytes);
  return copy;
}

void DeviceCore::registerVersion(const std::string& md5, const std::string& version) {
  std::lock_guard<std::mutex> lock(mutex_);
  versionsByMd5_[md5] = version;
}

unsigned DeviceCore::requestCount(uint8_t command, uint8_t subCommand) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(static_cast<uint16_t>((command << 8) | subCommand));
  return it == counts_.end() ? 0 : it->second;
}

std::vector<RequestRecord> DeviceCore::requestLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

void DeviceCore::clearRequestLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
  counts_.clear();
}

void DeviceCore::resetBootSession() {
  announced_ = nullptr;
  safetyPassed_ = false;
  challengeIssued_ = false;
  uploading_ = false;
}

std::string DeviceCore::versionOf(const std::vector<uint8_t>& bytes) const {
  auto it = versionsByMd5_.find(md5Hex(bytes));
  return it != versionsByMd5_.end() ? it->second : embeddedVersion(bytes);
}

Response DeviceCore::handle(const Frame& request, LinkKind link) {
  const uint8_t cmd = request.command();
  const uint8_t sub = request.subCommand();
  const uint8_t* in = request.data();
  const size_t size = request.payloadSize();
  {
    // Until the links are down and it starts again, a device without power hears nothing.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!powered_) return {};
  }

  bool lost = false, disconnect = false, empty = false, refused = false, badSum = false, duplicate = false;
  bool comeBack = true, powerLoss = false;
  uint8_t refusedStatus = kStatusRefused;
  milliseconds late{0};
  milliseconds duplicateGap{0};
  const Fault* split = nullptr;
  std::vector<Fault> hits = faults_.hit(cmd, sub);
  for (const auto& f : hits) {
    switch (f.kind) {
      case FaultKind::NoReply: lost = true; break;
      case FaultKind::Disconnect: disconnect = true; break;
      case FaultKind::EmptyReply: empty = true; break;
      case FaultKind::RefusedStatus: refused = true; refusedStatus = f.status; break;
      case FaultKind::BadChecksum: badSum = true; break;
      case FaultKind::DuplicateReply:
        duplicate = true;
        duplicateGap = platform::scaled(f.delay);
        break;
      case FaultKind::LateReply: late += f.delay.count() > 0 ? f.delay : kDefaultLate; break;
      case FaultKind::SplitReply: split = &f; break;
      case FaultKind::NoComeback: comeBack = false; break;
      case FaultKind::PowerLoss: powerLoss = true; break;
    }
  }

  std::vector<uint8_t> data;
  bool answered = false;
  Effects effects;
  milliseconds identityDelay{0};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (log_.size() >= kLogLimit) log_.erase(log_.begin(), log_.begin() + kLogLimit / 2);
    log_.push_back({cmd, sub, link, std::vector<uint8_t>(in, in + std::min(size, kLoggedData))});
    ++counts_[static_cast<uint16_t>((cmd << 8) | sub)];

    if (lost) return {};
    if (disconnect) return {{}, true};
    if (powerLoss) {
      // Nothing of the request is kept. A boot loader holding an unfinished
      // image starts in it again; anything else starts its old system.
      powered_ = false;
      if (hooks_.restart) {
        auto hook = hooks_.restart;
        DeviceMode back = config_.mode == DeviceMode::BootLoader ? DeviceMode::BootLoader : DeviceMode::Normal;
        effects.push_back([hook, back] { hook(back, true, milliseconds{0}); });
      }
    } else if (refused) {
      // The chunk acknowledgement carries its status second, after the flow id.
      if (request.is(kCmdSystemChunk)) data.push_back(size >= 3 ? in[2] : 0);
      // So does the safety answer's, after the 0x02 it always starts with.
      if (request.is(kCmdSafetyAnswer)) data.push_back(0x02);
      data.push_back(refusedStatus);
      answered = true;
    } else if (empty) {
      answered = true;
    } else {
      replyLate_ = late;
      answered = answer(request, link, comeBack, data, effects);
      replyLate_ = milliseconds{0};
    }
    if (link == LinkKind::Serial && (request.is(kCmdReadSerial) || request.is(kCmdReadIdentity))) {
      identityDelay = config_.serialIdentityDelay;
    }
  }
  for (auto& effect : effects) effect();
  if (!answered) return {};

  std::vector<uint8_t> reply = replyFrame(request, data);
  if (badSum) reply.back() ^= 0xFF;

  Response response;
  milliseconds first = identityDelay + (late.count() > 0 ? platform::scaled(late) : milliseconds{0});
  if (split && reply.size() > 1) {
    size_t at = split->splitAt > 0 && split->splitAt < reply.size() ? split->splitAt : reply.size() / 2;
    milliseconds pause = platform::scaled(split->delay.count() > 0 ? split->delay : kDefaultSplitPause);
    response.emissions.push_back({first, std::vector<uint8_t>(reply.begin(), reply.begin() + static_cast<long>(at))});
    response.emissions.push_back({pause, std::vector<uint8_t>(reply.begin() + static_cast<long>(at), reply.end())});
  } else {
    response.emissions.push_back({first, reply});
  }
  if (duplicate) response.emissions.push_back({duplicateGap, reply});
  return response;
}

bool DeviceCore::answer(const Frame& request, LinkKind link, bool comeBack, std::vector<uint8_t>& data,
                        Effects& effects) {
  const uint8_t cmd = request.command();
  const uint8_t sub = request.subCommand();
  const uint8_t* in = request.data();
  const size_t size = request.payloadSize();

  // Discovery hears only the two discovery requests.
  if (link == LinkKind::Discovery) {
    if (request.is(kCmdReadSerial)) return answerIdentity(kCmdReadSerial, data);
    if (request.is(kCmdDiscoverLink)) {
      std::string name = config_.linkName.empty() ? config_.serialNumber : config_.linkName;
      name.resize(std::min<size_t>(name.size(), 64));
      data.push_back(static_cast<uint8_t>(config_.mode));
      data.push_back(static_cast<uint8_t>(name.size()));
      putText(data, name);
      return true;
    }
    return false;
  }

  switch (DeviceCommand::keyOf(cmd, sub)) {
    case kCmdReadIdentity.key():
    case kCmdReadVersions.key():
    case kCmdReadSerial.key():
      return answerIdentity({cmd, sub}, data);
    case kCmdReadMode.key():
      data.push_back(static_cast<uint8_t>(config_.mode));
      return true;
    case kCmdSwitchToJ2534.key():
      if (config_.mode == DeviceMode::BootLoader) {
        data.push_back(kStatusRefused);
      } else {
        config_.mode = DeviceMode::J2534;
        data.push_back(kStatusOk);
      }
      return true;
    case kCmdQtrakEnterBoot.key():
    case kCmdImageAnnounce.key():
    case kCmdImageChunk.key():
    case kCmdImageDigest.key():
    case kCmdEnterBoot.key():
    case kCmdSafetyChallenge.key():
    case kCmdSafetyAnswer.key():
      return answerBoot(request, comeBack, data, effects);
    case kCmdReadSystemVersion.key():
    case kCmdSystemChunk.key():
    case kCmdSystemInstall.key():
    case kCmdSetWifi.key():
      return answerSystem(request, comeBack, data, effects);
    case kCmdReadSupplyVoltage.key():
      if (size == 2 && in[0] == 0x01 && in[1] == 0x10) {
        // Fourteen data bytes: the channel echoed, eight reserved, the supply
        // in millivolts (BE24, frame bytes 19-21), one reserved.
        data = {0x01, 0x10, 0, 0, 0, 0, 0, 0, 0, 0};
        uint32_t mv = std::min<uint32_t>(config_.supplyMillivolts, 0xFFFFFF);
        data.push_back(static_cast<uint8_t>(mv >> 16));
        data.push_back(static_cast<uint8_t>(mv >> 8));
        data.push_back(static_cast<uint8_t>(mv));
        data.push_back(0);
      } else {
        data.push_back(kStatusRefused);
      }
      return true;
  }
  return false;
}

bool DeviceCore::answerIdentity(DeviceCommand request, std::vector<uint8_t>& data) {
  const std::string& serial = config_.serialNumber;
  switch (request.key()) {
    case kCmdReadSerial.key(): {
      // The serial number zero-terminated inside its length: a probe matching
      // the reply as text looks for the 12 bytes followed by a zero.
      std::string text = serial.substr(0, 0xFE);
      data.push_back(static_cast<uint8_t>(text.size() + 1));
      putText(data, text);
      data.push_back(0);
      return true;
    }
    case kCmdReadIdentity.key(): {
      std::string identity = config_.identityText.substr(0, 0xFFFE);
      std::string text = serial.substr(0, 0xFFFE);
      putBe16(data, identity.size() + 1);
      putText(data, identity);
      data.push_back(0);
      putBe16(data, text.size() + 1);
      putText(data, text);
      data.push_back(0);
      data.push_back(0);  // the reply ends in two zero bytes
      return true;
    }
    case kCmdReadVersions.key():
      putVersionField(data, config_.hardwareVersion);
      putVersionField(data, config_.firmwareVersion);
      putVersionField(data, config_.bootVersion);
      putVersionField(data, config_.protocolVersion);
      putVersionField(data, config_.j2534Version);
      return true;
  }
  return false;
}

void DeviceCore::switchToBoot(SwitchEffect effect, bool comeBack, Effects& effects) {
  if (effect == SwitchEffect::Restart) {
    if (!config_.serialAfterRestart.empty()) config_.serialNumber = config_.serialAfterRestart;
    if (hooks_.restart) {
      auto hook = hooks_.restart;
      effects.push_back(
          [hook, comeBack, drop = kDropDelay + replyLate_] { hook(DeviceMode::BootLoader, comeBack, drop); });
    }
    return;
  }
  config_.mode = DeviceMode::BootLoader;
  resetBootSession();
  if (hooks_.reenumerateUsb) {
    auto hook = hooks_.reenumerateUsb;
    effects.push_back([hook] { hook(DeviceMode::BootLoader); });
  }
}

bool DeviceCore::answerBoot(const Frame& request, bool comeBack, std::vector<uint8_t>& data, Effects& effects) {
  const uint8_t cmd = request.command();
  const uint8_t sub = request.subCommand();
  const uint8_t* in = request.data();
  const size_t size = request.payloadSize();
  const DeviceModel model =
      config_.model >= 0 ? static_cast<DeviceModel>(config_.model) : classifyModel(config_.serialNumber);
  const bool inBoot = config_.mode == DeviceMode::BootLoader;

  switch (DeviceCommand::keyOf(cmd, sub)) {
    case kCmdEnterBoot.key(): {
      bool numeric = size == 1 && in[0] == 0x02;
      if ((size != 0 && !numeric) || (!numeric && isQtrakModel(model))) {
        data.push_back(kStatusRefused);
        return true;
      }
      data.push_back(kStatusOk);
      if (!inBoot) switchToBoot(numeric ? config_.numericBootEntry : config_.bootSwitch, comeBack, effects);
      return true;
    }
    case kCmdSafetyChallenge.key():
      if (!inBoot || size != 1 || in[0] != 0x02) {
        data.push_back(kStatusRefused);
        return true;
      }
      data.push_back(kSafetyStatus);
      for (auto& b : challenge_) {
        challengeSeed_ = challengeSeed_ * 1103515245u + 12345u;
        b = static_cast<uint8_t>(challengeSeed_ >> 16);
      }
      data.insert(data.end(), challenge_, challenge_ + 4);
      challengeIssued_ = true;
      return true;
    case kCmdSafetyAnswer.key(): {
      bool match = inBoot && challengeIssued_ && size == 5 && in[0] == 0x02 &&
                   std::memcmp(in + 1, challenge_, 4) == 0;
      challengeIssued_ = false;
      safetyPassed_ = match;
      data = {kSafetyStatus, match ? kStatusOk : kStatusRefused};
      return true;
    }
    case kCmdQtrakEnterBoot.key():
      if (!isQtrakModel(model) || size != 0) {
        data.push_back(kStatusRefused);
        return true;
      }
      data.push_back(kStatusOk);
      if (!inBoot) switchToBoot(config_.qtrakBootSwitch, comeBack, effects);
      return true;
    case kCmdImageAnnounce.key(): {
      // BE16 name length (with its zero), the name, BE32 image length.
      bool ok = inBoot && safetyPassed_ && size >= 2;
      size_t n = ok ? be16(in) : 0;
      ok = ok && n >= 2 && size == 2 + n + 4 && in[2 + n - 1] == 0;
      std::string name = ok ? std::string(reinterpret_cast<const char*>(in + 2), n - 1) : std::string();
      uint32_t length = ok ? be32(in + 2 + n) : 0;
      StoredImage* slot = nullptr;
      std::string softType;
      if (name == imageNameOf(ImageSlot::Firmware)) {
        slot = &images_[0];
        softType = "1";
      } else if (name == imageNameOf(ImageSlot::J2534)) {
        slot = &images_[1];
        softType = "3";
      }
      size_t required = requiredImageSize(modelNumber(model), softType);
      ok = ok && slot && length > 0 && length <= kMaxImage && (required == 0 || length == required);
      if (!ok) {
        LOG_WARN("virtual device refuses the image announcement");
        data.push_back(kStatusRefused);
        return true;
      }
      *slot = StoredImage{};
      slot->name = name;
      slot->announcedLength = length;
      slot->bytes.assign(length, 0);
      announced_ = slot;
      data.push_back(kStatusOk);
      return true;
    }
    case kCmdImageChunk.key(): {
      bool ok = inBoot && announced_ && size >= 6;
      uint32_t offset = ok ? be32(in) : 0;
      size_t length = ok ? be16(in + 4) : 0;
      ok = ok && length > 0 && size == 6 + length && static_cast<uint64_t>(offset) + length <= announced_->announcedLength;
      if (ok) std::memcpy(announced_->bytes.data() + offset, in + 6, length);
      data.push_back(ok ? kStatusOk : kStatusRefused);
      return true;
    }
    case kCmdImageDigest.key(): {
      if (!inBoot || !announced_) {
        data.push_back(kStatusRefused);
        return true;
      }
      StoredImage& image = *announced_;
      image.md5 = md5Hex(image.bytes);
      std::string sent(reinterpret_cast<const char*>(in), size);
      image.accepted = size == 32 && sent == image.md5;
      if (image.accepted) {
        image.version = versionOf(image.bytes);
        if (!image.version.empty()) {
          (&image == &images_[0] ? config_.firmwareVersion : config_.j2534Version) = image.version;
        }
      }
      // Each image needs its own handshake and announcement.
      announced_ = nullptr;
      safetyPassed_ = false;
      data.push_back(image.accepted ? kStatusOk : kStatusRefused);
      return true;
    }
  }
  return false;
}

bool DeviceCore::answerSystem(const Frame& request, bool comeBack, std::vector<uint8_t>& data, Effects& effects) {
  const uint8_t* in = request.data();
  const size_t size = request.payloadSize();

  switch (DeviceCommand::keyOf(request.command(), request.subCommand())) {
    case kCmdReadSystemVersion.key(): {
      if (!config_.hasSystem) return false;
      putText8(data, config_.platformName + "-" + config_.platformVersion);
      putText8(data, config_.systemPackageName + "_" + config_.platformName + "-" + config_.systemVersion);
      return true;
    }
    case kCmdSystemChunk.key(): {
      if (!config_.hasSystem) return false;
      // 0x02, flag 0x55 (more) or 0xF5 (final), flow id, BE16 length, bytes.
      uint8_t flowId = size >= 3 ? in[2] : 0;
      bool ok = size >= 5 && in[0] == 0x02 && (in[1] == 0x55 || in[1] == 0xF5);
      size_t length = ok ? be16(in + 3) : 0;
      ok = ok && length == size - 5 && length <= kMaxSystemChunk;
      if (ok && flowId == 0) {
        package_ = StoredPackage{};
        uploading_ = true;
      } else {
        ok = ok && uploading_ && flowId == nextFlowId(lastFlowId_);
      }
      ok = ok && package_.bytes.size() + length <= kMaxPackage;
      if (ok) {
        package_.bytes.insert(package_.bytes.end(), in + 5, in + 5 + length);
        lastFlowId_ = flowId;
        if (in[1] == 0xF5) {
          package_.complete = true;
          uploading_ = false;
        }
      } else {
        LOG_WARN("virtual device refuses system chunk %u", flowId);
        uploading_ = false;
      }
      data = {flowId, ok ? kStatusOk : kStatusRefused};
      return true;
    }
    case kCmdSystemInstall.key(): {
      if (!config_.hasSystem) return false;
      // Only an upload that ended with the final flag is a package; anything
      // else is refused and the device stays as it is.
      uploading_ = false;
      if (!package_.complete) {
        data.push_back(kStatusRefused);
        return true;
      }
      package_.installed = true;
      package_.version = versionOf(package_.bytes);
      if (!package_.version.empty() && config_.installTakes) config_.systemVersion = package_.version;
      data.push_back(kStatusOk);
      if (hooks_.restart && config_.installRestarts) {
        if (!config_.serialAfterRestart.empty()) config_.serialNumber = config_.serialAfterRestart;
        auto hook = hooks_.restart;
        effects.push_back(
            [hook, comeBack, drop = kDropDelay + replyLate_] { hook(DeviceMode::Normal, comeBack, drop); });
      }
      return true;
    }
    case kCmdSetWifi.key(): {
      // SSID length, SSID, 0x02, key length, key.
      bool ok = size >= 3;
      size_t s = ok ? in[0] : 0;
      ok = ok && s >= 1 && s <= 32 && size >= s + 3 && in[1 + s] == 0x02;
      size_t k = ok ? in[2 + s] : 0;
      ok = ok && size == s + k + 3 && k <= 64;
      if (ok) {
        config_.wifiSsid.assign(reinterpret_cast<const char*>(in + 1), s);
        config_.wifiKey.assign(reinterpret_cast<const char*>(in + 3 + s), k);
      }
      data.push_back(ok ? kStatusOk : kStatusRefused);
      return true;
    }
  }
  return false;
}

std::string sampleSerial(int model, bool alphanumeric) {
  if (!alphanumeric) {
    switch (model) {
      case 0: return "800000000001";
      case 1: return "744443100001";
      case 3: return "744620000001";
      default: break;
    }
  }
  switch (model) {
    case 0: return "5RHM10000001";
    case 1: return "5RHM20000001";
    case 2: return "5RHMJ0000001";
    case 3: return "5RHM30000001";
    case 4: return "5RWM80000001";
    case 5: return "5RWM84200001";
    default: return "5RXX00000001";
  }
}

}  // namespace sim
