#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/FakeLink.h"
#include "session/Session.h"

namespace infotest {

using sessiontest::Bytes;

// A device that answers each request kind with fixed reply data, however
// malformed, on a fake link that every new session gets. Kinds without an
// entry go unanswered.
class ScriptedDevice {
 public:
  ScriptedDevice() {
    link_->onWrite = [this](const Bytes& request) {
      if (request.size() < Frame::kMinSize) return;
      std::optional<Bytes> data;
      {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = replies_.find(key(request[7], request[8]));
        if (it != replies_.end()) data = it->second;
      }
      if (!data) return;
      link_->push(sessiontest::frameBytes(request[6], static_cast<uint8_t>(request[7] + 0x40), request[8], *data));
    };
    setConnectionFactoryForTest(
        [link = link_](const SessionEndpoint&) { return std::make_unique<sessiontest::FakeConnection>(link); });
  }
  ~ScriptedDevice() { setConnectionFactoryForTest({}); }
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  void reply(uint8_t cmd, uint8_t sub, const Bytes& data) {
    std::lock_guard<std::mutex> guard(lock_);
    replies_[key(cmd, sub)] = data;
  }
  void silence(uint8_t cmd, uint8_t sub) {
    std::lock_guard<std::mutex> guard(lock_);
    replies_.erase(key(cmd, sub));
  }
  // Every request frame written so far.
  std::vector<Bytes> requests() { return link_->written(); }

  // Replies of a sound device: normal mode, serial 5RHM10000001, firmware
  // V1.10, J2534 V2.10, system texts P1-2.0 and V3.10_P1-205.
  void answerLikeADevice() {
    reply(0x21, 0x14, {0x01});
    reply(0x21, 0x33, text8("5RHM10000001", true));
    Bytes versions;
    for (const char* v : {"H1.00", "V1.10", "B1.02", "P04.04", "V2.10"}) {
      Bytes field = {0x00};  // the text starts one byte into its field
      field.insert(field.end(), v, v + std::char_traits<char>::length(v));
      versions.push_back(static_cast<uint8_t>(field.size() >> 8));
      versions.push_back(static_cast<uint8_t>(field.size()));
      versions.insert(versions.end(), field.begin(), field.end());
    }
    reply(0x21, 0x05, versions);
    Bytes system = text8("P1-2.0", false);
    Bytes second = text8("V3.10_P1-205", false);
    system.insert(system.end(), second.begin(), second.end());
    reply(0x2C, 0x0A, system);
  }

  static Bytes text8(const std::string& text, bool zeroInside) {
    Bytes out = {static_cast<uint8_t>(text.size() + (zeroInside ? 1 : 0))};
    out.insert(out.end(), text.begin(), text.end());
    if (zeroInside) out.push_back(0);
    return out;
  }

 private:
  static uint16_t key(uint8_t cmd, uint8_t sub) { return static_cast<uint16_t>(cmd << 8 | sub); }

  std::shared_ptr<sessiontest::FakeLink> link_ = std::make_shared<sessiontest::FakeLink>();
  std::mutex lock_;  // guards replies_
  std::map<uint16_t, Bytes> replies_;
};

}  // namespace infotest
