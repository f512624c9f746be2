#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

#include "support/LoopbackSockets.h"
#include "support/TestEnv.h"
#include "support/WindowRecorder.h"
#include "support/ZipMaker.h"

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

// Answers GET requests on 127.0.0.1 with fixed bodies, one connection at a time.
class FileServer {
 public:
  FileServer() {
    if (listen_.fd() >= 0) thread_ = std::thread([this] { loop(); });
  }
  ~FileServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return listen_.port() != 0; }
  void serve(const std::string& path, const std::vector<uint8_t>& body, int status = 200) {
    std::lock_guard<std::mutex> guard(lock_);
    bodies_[path] = {status, std::string(body.begin(), body.end())};
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(listen_.port()) + path; }

 private:
  void loop() {
    while (!stop_) {
      if (!testsupport::readable(listen_.fd(), 20)) continue;
      int fd = ::accept(listen_.fd(), nullptr, nullptr);
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

  testsupport::LocalSocket listen_{SOCK_STREAM};
  std::atomic<bool> stop_{false};
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

}  // namespace upgradetest
