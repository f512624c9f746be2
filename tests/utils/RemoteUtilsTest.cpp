#include "utils/RemoteUtils.h"

#include "utils/LogFacade.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct SeenRequest {
  std::string method;
  std::string path;
  std::string body;
  std::string userAgent;
  std::string contentType;
  bool hasContentType = false;
  bool hasAccept = false;
};

// A web server on 127.0.0.1 that records what it was sent.
class LocalServer {
 public:
  LocalServer() {
    server_.Get("/text", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("hello body", "text/plain");
    });
    server_.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("{\"error\":\"no such thing\"}", "application/json");
    });
    server_.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", "/text");
      res.set_content("moved away", "text/plain");
    });
    server_.Get("/huge", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(RemoteUtils::kMaxResponseBytes + 1, 'x'), "text/plain");
    });
    server_.Get("/cut", [](const httplib::Request&, httplib::Response& res) {
      // Promises 1000 bytes, sends 10, then drops the connection.
      res.set_content_provider(1000, "application/octet-stream",
                               [](size_t, size_t, httplib::DataSink& sink) {
                                 sink.write("0123456789", 10);
                                 return false;
                               });
    });
    server_.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
      std::unique_lock<std::mutex> lock(mutex_);
      released_.wait_for(lock, 10s, [this] { return release_; });
      res.set_content("late", "text/plain");
    });
    // A megabyte at 4 bytes a second: never stalls, never ends.
    server_.Get("/drip", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(1 << 20, "application/octet-stream", [this](size_t, size_t, httplib::DataSink& sink) {
        if (!sink.write("x", 1)) return false;
        std::unique_lock<std::mutex> lock(mutex_);
        return !released_.wait_for(lock, 250ms, [this] { return release_; }) && sink.is_writable();
      });
    });
    // 64 KiB in 1.6 s: longer than a 1 s time-out, far above the floor rate.
    server_.Get("/paced", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(64 << 10, "application/octet-stream", [](size_t offset, size_t, httplib::DataSink& sink) {
        if (offset > 0) std::this_thread::sleep_for(200ms);
        return sink.write(std::string(8 << 10, 'p').data(), 8 << 10);
      });
    });
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mutex_);
      SeenRequest seen;
      seen.method = req.method;
      seen.path = req.path;
      seen.body = req.body;
      seen.userAgent = req.get_header_value("User-Agent");
      seen.hasContentType = req.has_header("Content-Type");
      seen.contentType = req.get_header_value("Content-Type");
      seen.hasAccept = req.has_header("Accept");
      seen_.push_back(seen);
      res.set_content("recorded", "text/plain");
    };
    server_.Get("/echo", record);
    server_.Post("/echo", record);

    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 500 && !server_.is_running(); ++i) std::this_thread::sleep_for(2ms);
  }

  ~LocalServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      release_ = true;
    }
    released_.notify_all();
    server_.stop();
    thread_.join();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int port() const { return port_; }

  std::vector<SeenRequest> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;  // guards seen_ and release_
  std::condition_variable released_;
  bool release_ = false;
  std::vector<SeenRequest> seen_;
};

// Collects the messages of every log record while it lives.
class LogCapture {
 public:
  LogCapture() : appender_(new Appender) {
    ::logfacade::write(::logfacade::kDebug, __FILE__, __LINE__, "", "log capture on");
    log4cplus::Logger::getRoot().addAppender(appender_);
  }
  ~LogCapture() { log4cplus::Logger::getRoot().removeAppender(appender_); }

  bool contains(const std::string& text) const {
    auto* a = static_cast<Appender*>(appender_.get());
    std::lock_guard<std::mutex> lock(a->mutex);
    return std::any_of(a->messages.begin(), a->messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
  }

 private:
  struct Appender : log4cplus::Appender {
    ~Appender() override { destructorImpl(); }
    void close() override {}
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
      std::lock_guard<std::mutex> lock(mutex);
      messages.push_back(event.getMessage());
    }
    std::mutex mutex;
    std::vector<std::string> messages;
  };
  log4cplus::SharedAppenderPtr appender_;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

size_t entryCount(const fs::path& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// A loopback port that nothing listens on.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

fs::path freshFolder(const std::string& name) {
  fs::path folder = fs::path(std::getenv("TARNFIELD_HOME")) / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

constexpr int kTimeout = 5;

}  // namespace

TEST(RemoteUtilsParseUrl, splitsAsTheCallersExpect) {
  struct Case {
    const char* url;
    bool ok;
    const char* host;
    const char* path;
    uint16_t port;
    bool https;
  };
  const Case cases[] = {
      {"http://api.example.com/api/list?sn=1&x=2", true, "api.example.com", "/api/list?sn=1&x=2", 80, false},
      {"https://svc.example.com/Device/soft", true, "svc.example.com", "/Device/soft", 443, true},
      {"https://svc.example.com", true, "svc.example.com", "/", 443, true},
      {"HTTPS://svc.example.com/x", true, "svc.example.com", "/x", 80, false},
      {"http://127.0.0.1:8080/p", true, "127.0.0.1", "/p", 8080, false},
      {"https://localhost:8443", true, "localhost", "/", 8443, true},
      {"http://host:65535/", true, "host", "/", 65535, false},
      {"ftp://host/file", true, "host", "/file", 80, false},
      {"api.example.com/api", false, "", "", 0, false},
      {"http:/host/x", false, "", "", 0, false},
      {"http://host:abc/", false, "", "", 0, false},
      {"http://host:/", false, "", "", 0, false},
      {"http://host:80x/", false, "", "", 0, false},
      {"http://host:-1/", false, "", "", 0, false},
      {"http://host:0/", false, "", "", 0, false},
      {"http://host:65536/", false, "", "", 0, false},
      {"http://host:0000080/", false, "", "", 0, false},
      {"http://user@evil.example/", false, "", "", 0, false},
      {"http://a b/", false, "", "", 0, false},
      {"http://host/p\r\nX-Injected: 1", false, "", "", 0, false},
  };
  for (const Case& c : cases) {
    std::string host = "unchanged", path = "unchanged";
    uint16_t port = 1;
    bool https = false;
    bool ok = RemoteUtils::parseUrl(c.url, host, path, port, https);
    EXPECT_EQ(ok, c.ok) << c.url;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(host, c.host) << c.url;
    EXPECT_EQ(path, c.path) << c.url;
    EXPECT_EQ(port, c.port) << c.url;
    EXPECT_EQ(https, c.https) << c.url;
  }
}

TEST(RemoteUtilsRequest, unsplittableUrl_returnsMinusOneAndLogs) {
  LogCapture log;
  std::string response = "kept";
  EXPECT_EQ(RemoteUtils::request("no-scheme-here/path", 1, "{}", 1, response, kTimeout), -1);
  EXPECT_EQ(response, "kept");
  EXPECT_TRUE(log.contains("parse url failed"));
  fs::path folder = freshFolder("dl-unsplit");
  EXPECT_EQ(RemoteUtils::download("http://host:port/x", 0, "", (folder / "f").string(), kTimeout), -1);
  EXPECT_EQ(entryCount(folder), 0u);
}

TEST(RemoteUtilsRequest, anyStatus_returnsItsBodyUnfollowed) {
  LocalServer server;
  const std::pair<const char*, const char*> cases[] = {
      {"/missing", "{\"error\":\"no such thing\"}"},
      {"/moved", "moved away"},
  };
  for (const auto& [path, body] : cases) {
    std::string response = "prefix:";
    EXPECT_EQ(RemoteUtils::request(server.url(path), 0, "", 1, response, kTimeout), 0) << path;
    EXPECT_EQ(response, std::string("prefix:") + body);
  }
}

TEST(RemoteUtilsRequest, methodBodyAndHeaders_areAsTheCallerAsked) {
  LocalServer server;
  struct Case {
    int method;
    const char* body;
    int contentKind;
    const char* expectMethod;
    const char* expectBody;
    const char* expectType;
  };
  const Case cases[] = {
      {1, "{\"sn\":\"A1\"}", 1, "POST", "{\"sn\":\"A1\"}", "application/json"},
      {1, "<soap/>", 2, "POST", "<soap/>", "text/xml;charset=utf-8"},
      {1, "", 1, "POST", "", "application/json"},
      {0, "never sent", 1, "GET", "", "application/json"},
      {7, "never sent", 0, "GET", "", "text/xml;charset=utf-8"},
  };
  for (const Case& c : cases) {
    std::string response;
    ASSERT_EQ(RemoteUtils::request(server.url("/echo"), c.method, c.body, c.contentKind, response, kTimeout), 0);
    EXPECT_EQ(response, "recorded");
  }
  auto seen = server.seen();
  ASSERT_EQ(seen.size(), std::size(cases));
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].method, cases[i].expectMethod);
    EXPECT_EQ(seen[i].body, cases[i].expectBody);
    EXPECT_EQ(seen[i].contentType, cases[i].expectType);
    EXPECT_EQ(seen[i].userAgent, "RemoteUtils/1.0");
    EXPECT_FALSE(seen[i].hasAccept);
  }
}

TEST(RemoteUtilsRequest, tlsOnlyForTheLowerCaseScheme) {
  LocalServer server;
  std::string hostPort = "127.0.0.1:" + std::to_string(server.port());
  std::string response;
  EXPECT_EQ(RemoteUtils::request("HTTPS://" + hostPort + "/text", 0, "", 1, response, kTimeout), 0);
  EXPECT_EQ(response, "hello body");
  // The local server speaks plain HTTP, so a TLS handshake with it must fail.
  EXPECT_NE(RemoteUtils::request("https://" + hostPort + "/text", 0, "", 1, response, kTimeout), 0);
  EXPECT_EQ(response, "hello body");
}

TEST(RemoteUtilsRequest, proxySettingsOfTheEnvironment_areIgnored) {
  LocalServer server;
  ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(closedPort())).c_str(), 1);
  ::setenv("HTTP_PROXY", ("http://127.0.0.1:" + std::to_string(closedPort())).c_str(), 1);
  std::string response;
  int rc = RemoteUtils::request(server.url("/text"), 0, "", 1, response, kTimeout);
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(response, "hello body");
}

TEST(RemoteUtilsRequest, bodyBeyondTheCap_failsAndLeavesResponse) {
  LocalServer server;
  std::string response = "kept";
  EXPECT_EQ(RemoteUtils::request(server.url("/huge"), 0, "", 1, response, kTimeout), CURLE_FILESIZE_EXCEEDED);
  EXPECT_EQ(response, "kept");
}

TEST(RemoteUtilsRequest, truncatedBody_fails) {
  LocalServer server;
  LogCapture log;
  std::string response;
  EXPECT_NE(RemoteUtils::request(server.url("/cut"), 0, "", 1, response, kTimeout), 0);
  EXPECT_TRUE(response.empty());
  EXPECT_TRUE(log.contains("ReadResponse truncated"));
}

TEST(RemoteUtilsRequest, silentServer_timesOut) {
  LocalServer server;
  LogCapture log;
  std::string response;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RemoteUtils::request(server.url("/slow"), 0, "", 1, response, 1), CURLE_OPERATION_TIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(log.contains("HttpSendRequestA err"));
}

TEST(RemoteUtilsRequest, nobodyListening_isAConnectError) {
  LogCapture log;
  std::string response;
  std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x";
  EXPECT_EQ(RemoteUtils::request(url, 0, "", 1, response, kTimeout), CURLE_COULDNT_CONNECT);
  EXPECT_TRUE(log.contains("InternetConnect err"));
}

TEST(RemoteUtilsRequest, localhostName_passesTheGuard) {
  LocalServer server;
  std::string response;
  std::string url = "http://localhost:" + std::to_string(server.port()) + "/text";
  EXPECT_EQ(RemoteUtils::request(url, 0, "", 1, response, kTimeout), 0);
  EXPECT_EQ(response, "hello body");
}

TEST(RemoteUtilsGuard, destinationOffLoopback_isRefusedWithoutConnecting) {
  const char* urls[] = {"http://10.1.2.3:8080/api", "https://192.168.100.1/x",
                        "http://services.example.com/api"};
  for (const char* url : urls) {
    SCOPED_TRACE(url);
    LogCapture log;
    std::string response;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RemoteUtils::request(url, 1, "{}", 1, response, kTimeout), CURLE_COULDNT_CONNECT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(log.contains("loopback guard: refused"));
    EXPECT_TRUE(log.contains("InternetConnect err"));

    fs::path folder = freshFolder("guard");
    EXPECT_EQ(RemoteUtils::download(url, 0, "", (folder / "pkg.zip").string(), kTimeout), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(entryCount(folder), 0u);
  }
}

TEST(RemoteUtilsDownload, success_createsFoldersAndReplacesFile) {
  LocalServer server;
  fs::path root = freshFolder("dl-ok");
  fs::path target = root / "Update" / "deep" / "DOWNLOAD_BIN.zip";
  EXPECT_EQ(RemoteUtils::download(server.url("/text"), 0, "", target.string(), kTimeout), 0);
  EXPECT_EQ(readFile(target), "hello body");

  writeFile(target, "an older package, longer than the new one");
  EXPECT_EQ(RemoteUtils::download(server.url("/text"), 0, "", target.string(), kTimeout), 0);
  EXPECT_EQ(readFile(target), "hello body");
  EXPECT_EQ(entryCount(target.parent_path()), 1u);
}

TEST(RemoteUtilsDownload, failure_leavesNoFileAndKeepsTheOldOne) {
  LocalServer server;
  struct Case {
    const char* name;
    std::string url;
  };
  const Case cases[] = {
      {"http 404", server.url("/missing")},
      {"cut short", server.url("/cut")},
      {"timed out", server.url("/slow")},
      {"refused", "http://127.0.0.1:" + std::to_string(closedPort()) + "/x"},
      {"redirect", server.url("/moved")},  // its page is not the file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path folder = freshFolder("dl-fail");
    fs::path fresh = folder / "new" / "pkg.zip";
    EXPECT_NE(RemoteUtils::download(c.url, 0, "", fresh.string(), 1), 0);
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(entryCount(fresh.parent_path()), 0u);

    fs::path existing = folder / "old.zip";
    writeFile(existing, "the package from last time");
    EXPECT_NE(RemoteUtils::download(c.url, 0, "", existing.string(), 1), 0);
    EXPECT_EQ(readFile(existing), "the package from last time");
  }
  EXPECT_EQ(RemoteUtils::download(server.url("/missing"), 0, "", (freshFolder("dl-404") / "x").string(), 1),
            CURLE_HTTP_RETURNED_ERROR);
}

TEST(RemoteUtilsDownload, targetThatCannotBeReplaced_failsAndStaysAsItWas) {
  LocalServer server;
  fs::path folder = freshFolder("dl-dir");
  fs::path target = folder / "pkg.zip";
  fs::create_directories(target / "inside");
  EXPECT_EQ(RemoteUtils::download(server.url("/text"), 0, "", target.string(), kTimeout), EISDIR);
  EXPECT_TRUE(fs::is_directory(target / "inside"));
  EXPECT_EQ(entryCount(folder), 1u);
}

TEST(RemoteUtilsDownload, postWithBody_sendsNoContentType) {
  LocalServer server;
  fs::path target = freshFolder("dl-post") / "reply.txt";
  EXPECT_EQ(RemoteUtils::download(server.url("/echo"), 1, "q=1", target.string(), kTimeout), 0);
  auto seen = server.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, "q=1");
  EXPECT_FALSE(seen[0].hasContentType);
  EXPECT_EQ(seen[0].userAgent, "RemoteUtils/1.0");
}

namespace {

// Every call ends by its deadline or the caller's stop flag, whatever the
// server does; a download is allowed longer only while its bytes keep coming.
TEST(RemoteUtilsDeadline, dripAndStop_endWithinTheirBound) {
  LocalServer server;
  struct Case {
    const char* name;
    bool download;
    const char* path;
    int timeoutSeconds;
    std::chrono::milliseconds stopAfter;  // 0: no stop flag raised
    int rc;
    std::chrono::milliseconds bound;
  } cases[] = {
      {"request drip", false, "/drip", 1, 0ms, CURLE_OPERATION_TIMEDOUT, 2500ms},
      {"download drip", true, "/drip", 1, 0ms, CURLE_OPERATION_TIMEDOUT, 2500ms},
      {"request stopped", false, "/drip", 30, 300ms, CURLE_ABORTED_BY_CALLBACK, 2500ms},
      {"download stopped", true, "/slow", 30, 300ms, CURLE_ABORTED_BY_CALLBACK, 2500ms},
      {"download above the floor", true, "/paced", 1, 0ms, 0, 5000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path target = freshFolder("deadline") / "pkg.zip";
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
      if (c.stopAfter.count() == 0) return;
      std::this_thread::sleep_for(c.stopAfter);
      stop = true;
    });
    std::string response;
    auto start = std::chrono::steady_clock::now();
    int rc = c.download ? RemoteUtils::download(server.url(c.path), 0, "", target.string(), c.timeoutSeconds, &stop)
                        : RemoteUtils::request(server.url(c.path), 0, "", 1, response, c.timeoutSeconds, &stop);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    stopper.join();
    EXPECT_EQ(rc, c.rc);
    EXPECT_LT(took, c.bound);
    EXPECT_EQ(fs::exists(target), c.download && c.rc == 0);
    std::printf("[ measure  ] %s: returned after %lld ms (bound %lld ms)\n", c.name,
                static_cast<long long>(took.count()), static_cast<long long>(c.bound.count()));
  }
}

TEST(RemoteUtilsDownload, stalePartialsOfTheTarget_areRemovedOthersKept) {
  LocalServer server;
  fs::path folder = freshFolder("dl-partials");
  fs::path target = folder / "pkg.zip";
  const char* stale[] = {".pkg.zip.part-4194300-0", ".pkg.zip.part-1-17"};
  const char* kept[] = {".other.zip.part-1-1", ".pkg.zip.part-x-1", ".pkg.zip.part-1-", "pkg.zip.part-1-1"};
  for (const char* name : stale) writeFile(folder / name, "half a package");
  for (const char* name : kept) writeFile(folder / name, "not ours");
  // A download of the same target still running holds its partial file locked.
  fs::path running = folder / ".pkg.zip.part-1-99";
  writeFile(running, "in progress");
  int held = ::open(running.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  EXPECT_EQ(RemoteUtils::download(server.url("/text"), 0, "", target.string(), kTimeout), 0);

  for (const char* name : stale) EXPECT_FALSE(fs::exists(folder / name)) << name;
  for (const char* name : kept) EXPECT_TRUE(fs::exists(folder / name)) << name;
  EXPECT_TRUE(fs::exists(running));
  EXPECT_EQ(readFile(target), "hello body");
  ::close(held);
}

}  // namespace
