#pragma once
#include <arpa/inet.h>
#include <minizip/zip.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/AppState.h"
#include "app/Messages.h"
#include "app/MessageTarget.h"

// What the firmware and upgrade-task tests share: a window that records the
// firmware progress, a web server that hands out any bytes (malicious
// packages), and zip and file helpers.
namespace upgradetest {

using Step = std::pair<int, int>;  // (part, step)
using Steps = std::vector<Step>;

// Registers itself as the application's window and records UM_FIRMWARE_PROGRESS.
class ProgressWindow {
 public:
  ProgressWindow() {
    target_ = std::make_shared<QueuedMessageTarget>([this](const AppMessage& message) {
      if (message.id != UM_FIRMWARE_PROGRESS) return;
      std::lock_guard<std::mutex> guard(lock_);
      steps_.emplace_back(static_cast<int>(message.wParam), static_cast<int>(message.lParam));
    });
    AppState::getInstance().setTarget(target_);
  }
  ~ProgressWindow() {
    AppState::getInstance().setTarget(nullptr);
    target_->shutdown();
  }
  Steps steps() const {
    std::lock_guard<std::mutex> guard(lock_);
    return steps_;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    steps_.clear();
  }

 private:
  std::shared_ptr<QueuedMessageTarget> target_;
  mutable std::mutex lock_;  // guards steps_
  Steps steps_;
};

inline std::string describe(const Steps& steps) {
  std::string out;
  for (const auto& [part, step] : steps) out += "(" + std::to_string(part) + "," + std::to_string(step) + ")";
  return out.empty() ? "none" : out;
}

// Answers GET requests on 127.0.0.1 with fixed bodies, one connection at a time.
class FileServer {
 public:
  FileServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_ >= 0 && ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::listen(listen_, 8) == 0 && ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port_ = ntohs(addr.sin_port);
      thread_ = std::thread([this] { loop(); });
    }
  }
  ~FileServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_ >= 0) ::close(listen_);
  }
  bool ok() const { return port_ != 0; }
  void serve(const std::string& path, const std::vector<uint8_t>& body, int status = 200) {
    std::lock_guard<std::mutex> guard(lock_);
    bodies_[path] = {status, std::string(body.begin(), body.end())};
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  void loop() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) continue;
      answer(fd);
      ::close(fd);
    }
  }
  void answer(int fd) {
    std::string request;
    char buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) return;
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<size_t>(n));
    }
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    std::pair<int, std::string> reply{404, "not here"};
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = bodies_.find(path);
      if (it != bodies_.end()) reply = it->second;
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.first) + (reply.first == 200 ? " OK" : " Not Found") +
                      "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                      std::to_string(reply.second.size()) + "\r\nConnection: close\r\n\r\n" + reply.second;
    size_t sent = 0;
    while (sent < out.size()) {
      ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  int listen_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;  // guards bodies_
  std::map<std::string, std::pair<int, std::string>> bodies_;
  std::thread thread_;
};

struct ZipItem {
  std::string name;
  std::string data;
  unsigned long unixMode = 0;  // 0: written as from a non-Unix host
};

// A zip archive in memory, entries stored under exactly the given names.
inline std::vector<uint8_t> makeZip(const std::string& scratchPath, const std::vector<ZipItem>& items) {
  zipFile zf = zipOpen64(scratchPath.c_str(), APPEND_STATUS_CREATE);
  if (!zf) return {};
  for (const ZipItem& item : items) {
    zip_fileinfo info{};
    info.external_fa = item.unixMode << 16;
    uLong madeBy = item.unixMode ? (3u << 8) | 20 : 20;
    zipOpenNewFileInZip4_64(zf, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6, 0,
                            -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, madeBy, 0, 0);
    if (!item.data.empty()) zipWriteInFileInZip(zf, item.data.data(), static_cast<unsigned>(item.data.size()));
    zipCloseFileInZip(zf);
  }
  zipClose(zf, nullptr);
  std::ifstream in(scratchPath, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(scratchPath);
  return bytes;
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// Every path below root, relative to it.
inline std::vector<std::string> treeOf(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    out.push_back(std::filesystem::relative(it->path(), root).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace upgradetest
