#pragma once
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/AppState.h"
#include "support/TestEnv.h"
#include "support/WindowRecorder.h"
#include "support/ZipMaker.h"
#include "utils/Settings.h"

// What the firmware and upgrade-task tests share: a window that records the
// firmware progress, a web server that hands out any bytes (malicious
// packages), and zip and file helpers.
namespace upgradetest {

using Step = std::pair<int, int>;  // (part, step)
using Steps = std::vector<Step>;

using ProgressWindow = testsupport::WindowRecorder;

inline std::string describe(const Steps& steps) {
  std::string out;
  for (const auto& [part, step] : steps) out += "(" + std::to_string(part) + "," + std::to_string(step) + ")";
  return out.empty() ? "none" : out;
}

// Answers GET requests on 127.0.0.1 with fixed bodies (malicious packages).
class FileServer {
 public:
  FileServer() {
    server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = bodies_.find(req.path);
      if (it == bodies_.end()) {
        res.status = 404;
        return;
      }
      res.status = it->second.first;
      res.set_content(it->second.second, "application/octet-stream");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ > 0) {
      thread_ = std::thread([this] {
        // A client that hangs up mid-body must cost an EPIPE, not the test process.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        server_.listen_after_bind();
      });
    }
  }
  ~FileServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return port_ > 0; }
  void serve(const std::string& path, const std::vector<uint8_t>& body, int status = 200) {
    std::lock_guard<std::mutex> guard(lock_);
    bodies_[path] = {status, std::string(body.begin(), body.end())};
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  httplib::Server server_;
  int port_ = -1;
  std::mutex lock_;  // guards bodies_
  std::map<std::string, std::pair<int, std::string>> bodies_;
  std::thread thread_;
};

using testsupport::ZipItem;
using testsupport::makeZip;

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

using testsupport::treeOf;

// The record of a device read over the network at 127.0.0.1: without a USB
// link the default session goes to that stored address. Its versions are
// older than the web services' newest, so both images are offered.
inline bool readOverTcp(const std::string& serial) {
  SettingsRecord settings;
  settings.TransferType = 1;
  settings.Addr = 0x0100007F;  // 127.0.0.1
  DeviceInfo info;
  info.serialNumber = serial;
  info.firmware.version = "V1.10";
  info.firmware.latestVersion = "V1.20";
  info.j2534Firmware.version = "V2.10";
  info.j2534Firmware.latestVersion = "V2.20";
  AppState::getInstance().setDeviceInfo(info);
  return saveSettings(settings);
}

}  // namespace upgradetest
