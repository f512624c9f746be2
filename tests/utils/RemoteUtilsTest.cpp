#include "utils/RemoteUtils.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "support/LogCapture.h"
#include "support/LoopbackSockets.h"
#include "support/TestEnv.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::readText;
using testsupport::writeText;

namespace {

struct SeenRequest {
  std::string method, body, userAgent, contentType;
  bool hasAccept = false;
};

// A web server on 127.0.0.1 that records what it was sent and misbehaves on request.
class LocalServer {
 public:
  LocalServer() {
    auto fixed = [this](const char* path, int status, const std::string& body) {
      server_.Get(path, [=](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        if (status == 302) res.set_header("Location", "/text");
        res.set_content(body, "text/plain");
      });
    };
    fixed("/text", 200, "hello body");
    fixed("/missing", 404, "{\"error\":\"no such thing\"}");
    fixed("/moved", 302, "moved away");
    fixed("/huge", 200, std::string(RemoteUtils::kMaxResponseBytes + 1, 'x'));
    // Promises 1000 bytes, sends 10, then drops the connection.
    server_.Get("/cut", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(1000, "application/octet-stream", [](size_t, size_t, httplib::DataSink& sink) {
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
    // 64 KiB at 8 KiB a second: bytes keep coming, far too slowly for a package.
    server_.Get("/trickle", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(64 << 10, "application/octet-stream", [](size_t offset, size_t, httplib::DataSink& sink) {
        if (offset > 0) std::this_thread::sleep_for(125ms);
        return sink.write(std::string(1 << 10, 't').data(), 1 << 10);
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
      seen_.push_back({req.method, req.body, req.get_header_value("User-Agent"), req.get_header_value("Content-Type"),
                       req.has_header("Accept")});
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

  std::string url(const std::string& path, const char* prefix = "http://127.0.0.1:") const {
    return prefix + std::to_string(port_) + path;
  }
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

std::string closedUrl() {
  return "http://127.0.0.1:" + std::to_string(testsupport::freePort(SOCK_STREAM, "127.0.0.1")) + "/x";
}

// What curl was built to trust; a fresh machine may not have it installed yet.
bool curlCanLoadTrustStore() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  std::error_code ec;
  return (info->cainfo && fs::exists(info->cainfo, ec)) || (info->capath && fs::is_directory(info->capath, ec));
}

constexpr int kTimeout = 5;

}  // namespace

TEST(RemoteUtilsParseUrl, splitsAsTheCallersExpect) {
  struct Case {
    const char* url;
    bool ok;
    const char* host = "";
    const char* path = "";
    uint16_t port = 0;
    bool https = false;
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
      {"api.example.com/api", false},
      {"http:/host/x", false},
      {"http://host:abc/", false},
      {"http://host:/", false},
      {"http://host:80x/", false},
      {"http://host:-1/", false},
      {"http://host:0/", false},
      {"http://host:65536/", false},
      {"http://host:0000080/", false},
      {"http://user@evil.example/", false},
      {"http://a b/", false},
      {"http://host/p\r\nX-Injected: 1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string host, path;
    uint16_t port = 1;
    bool https = false;
    ASSERT_EQ(RemoteUtils::parseUrl(c.url, host, path, port, https), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(path, c.path);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(https, c.https);
  }
}

TEST(RemoteUtilsRequest, methodBodyAndHeaders_areAsTheCallerAsked) {
  LocalServer server;
  // Method 1 posts the body; any other gets, sending no body.
  struct Case {
    int method;
    const char* body;
    int contentKind;
    const char* expectType;
  };
  const Case cases[] = {
      {1, "{\"sn\":\"A1\"}", 1, "application/json"},
      {1, "<soap/>", 2, "text/xml;charset=utf-8"},
      {1, "", 1, "application/json"},
      {0, "never sent", 1, "application/json"},
      {7, "never sent", 0, "text/xml;charset=utf-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.method << " " << c.body);
    std::string response;
    ASSERT_EQ(RemoteUtils::request(server.url("/echo"), c.method, c.body, c.contentKind, response, kTimeout), 0);
    EXPECT_EQ(response, "recorded");
    const SeenRequest seen = server.seen().back();
    EXPECT_EQ(seen.method, c.method == 1 ? "POST" : "GET");
    EXPECT_EQ(seen.body, c.method == 1 ? c.body : "");
    EXPECT_EQ(seen.contentType, c.expectType);
    EXPECT_EQ(seen.userAgent, "RemoteUtils/1.0");
    EXPECT_FALSE(seen.hasAccept);
  }
}

// The body of any answer, whatever its status, is appended to the response; on
// failure the response stays as it was, the call ends in time and the log says
// which step failed. No proxy of the environment is used, no redirect followed,
// TLS only for the lower-case scheme, and nothing is sent off loopback.
TEST(RemoteUtilsRequest, outcome_bodyOrUnchangedResponseAndTheFailedStep) {
  LocalServer server;
  testsupport::ScopedEnv env;
  for (const char* name : {"http_proxy", "HTTP_PROXY"}) env.set(name, closedUrl().c_str());
  struct Case {
    std::string url;
    int rc;
    const char* body;
    const char* logged = nullptr;
    std::chrono::milliseconds bound = 5s;
    int timeout = kTimeout;
  };
  const Case cases[] = {
      {server.url("/text"), 0, "hello body"},
      {server.url("/text", "HTTPS://127.0.0.1:"), 0, "hello body"},
      {server.url("/text", "http://localhost:"), 0, "hello body"},
      {server.url("/missing"), 0, "{\"error\":\"no such thing\"}", "HTTP status 404 from http://127.0.0.1:"},
      {server.url("/moved"), 0, "moved away"},
      {"no-scheme-here/path", -1, "", "parse url failed", 1s},
      {server.url("/huge"), CURLE_FILESIZE_EXCEEDED, ""},
      {server.url("/cut"), CURLE_PARTIAL_FILE, "", "ReadResponse truncated"},
      {server.url("/slow"), CURLE_OPERATION_TIMEDOUT, "", "HttpSendRequestA err", 5s, 1},
      {closedUrl(), CURLE_COULDNT_CONNECT, "", "InternetConnect err"},
      // The local server speaks plain HTTP, so a TLS handshake with it must fail;
      // without a trust store curl stops earlier, at loading it.
      {server.url("/text", "https://127.0.0.1:"),
       curlCanLoadTrustStore() ? CURLE_SSL_CONNECT_ERROR : CURLE_SSL_CACERT_BADFILE, ""},
      // Off loopback: refused by the guard before any packet.
      {"http://10.1.2.3:8080/api", CURLE_COULDNT_CONNECT, "", "loopback guard: refused", 1s},
      {"http://services.example.com/api", CURLE_COULDNT_CONNECT, "", "loopback guard: refused", 1s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    LogCapture log;
    std::string response = "prefix:";
    auto start = std::chrono::steady_clock::now();
    int rc = RemoteUtils::request(c.url, 0, "", 1, response, c.timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, c.bound);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(response, std::string("prefix:") + c.body);
    EXPECT_TRUE(!c.logged || log.contains(c.logged)) << log.dump();
    EXPECT_TRUE(c.rc != CURLE_COULDNT_CONNECT || log.contains("InternetConnect err")) << log.dump();
  }
}

// Only a whole 2xx body replaces the target, in folders made on the way; on any
// failure nothing is left behind and an existing file stays as it was.
TEST(RemoteUtilsDownload, onlyAWholeAnswerReplacesTheFile) {
  LocalServer server;
  const std::pair<std::string, int> cases[] = {
      {server.url("/text"), 0},
      {server.url("/missing"), CURLE_HTTP_RETURNED_ERROR},
      {server.url("/moved"), CURLE_HTTP_RETURNED_ERROR},  // its page is not the file
      {server.url("/cut"), CURLE_PARTIAL_FILE},
      {"http://host:port/x", -1},
      {"https://192.168.100.1/x", CURLE_COULDNT_CONNECT},
  };
  const std::string old = "an older package, longer than the new one";
  for (const auto& [url, expected] : cases) {
    SCOPED_TRACE(url);
    testsupport::TempFolder folder("dl");
    writeText(folder.path() / "old.zip", old);
    LogCapture log;
    EXPECT_EQ(RemoteUtils::download(url, 0, "", folder.file("Update/deep/pkg.zip"), 1), expected);
    // The user is told the address and the status of a refused download.
    EXPECT_EQ(log.contains("download failed, HTTP status "), expected == CURLE_HTTP_RETURNED_ERROR) << log.dump();
    EXPECT_EQ(RemoteUtils::download(url, 0, "", folder.file("old.zip"), 1), expected);
    std::vector<std::string> files;
    for (const std::string& p : testsupport::treeOf(folder.path())) {
      if (!fs::is_directory(folder.path() / p)) files.push_back(p);
    }
    using Names = std::vector<std::string>;
    EXPECT_EQ(files, (expected == 0 ? Names{"Update/deep/pkg.zip", "old.zip"} : Names{"old.zip"}));
    EXPECT_EQ(readText(folder.path() / "old.zip"), expected == 0 ? "hello body" : old);
    EXPECT_EQ(readText(folder.path() / "Update/deep/pkg.zip"), expected == 0 ? "hello body" : "");
  }

  testsupport::TempFolder folder("dl-dir");
  fs::create_directories(folder.path() / "pkg.zip" / "inside");
  EXPECT_EQ(RemoteUtils::download(server.url("/text"), 0, "", folder.file("pkg.zip"), kTimeout), EISDIR);
  EXPECT_EQ(testsupport::treeOf(folder.path()), (std::vector<std::string>{"pkg.zip", "pkg.zip/inside"}));
}

// Every call ends by its deadline or the caller's stop flag, whatever the
// server does; a download is allowed longer only while its bytes keep coming.
TEST(RemoteUtilsDeadline, dripAndStop_endWithinTheirBound) {
  LocalServer server;
  struct Case {
    bool download;
    const char* path;
    int timeoutSeconds;
    std::chrono::milliseconds stopAfter;  // 0: no stop flag raised
    int rc;
    std::chrono::milliseconds bound;
  } cases[] = {
      {false, "/drip", 1, 0ms, CURLE_OPERATION_TIMEDOUT, 2500ms},
      {true, "/drip", 1, 0ms, CURLE_OPERATION_TIMEDOUT, 2500ms},
      {true, "/trickle", 1, 0ms, CURLE_OPERATION_TIMEDOUT, 3500ms},
      {true, "/slow", 30, 300ms, CURLE_ABORTED_BY_CALLBACK, 2500ms},  // stopped
      {true, "/paced", 1, 0ms, 0, 5000ms},                            // above the floor rate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.download ? "download " : "request ") + c.path);
    testsupport::TempFolder folder("deadline");
    fs::path target = folder.path() / "pkg.zip";
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
    auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_EQ(rc, c.rc);
    EXPECT_LT(took, c.bound);
    EXPECT_EQ(fs::exists(target), c.download && c.rc == 0);
  }
}

TEST(RemoteUtilsDownload, stalePartialsOfTheTarget_areRemovedOthersKept) {
  LocalServer server;
  testsupport::TempFolder temp("dl-partials");
  const fs::path& folder = temp.path();
  const char* stale[] = {".pkg.zip.part-4194300-0", ".pkg.zip.part-1-17"};
  const char* kept[] = {".other.zip.part-1-1", ".pkg.zip.part-x-1", ".pkg.zip.part-1-", "pkg.zip.part-1-1"};
  for (const char* name : stale) writeText(folder / name, "half a package");
  for (const char* name : kept) writeText(folder / name, "not ours");
  // A download of the same target still running holds its partial file locked.
  fs::path running = folder / ".pkg.zip.part-1-99";
  writeText(running, "in progress");
  int held = ::open(running.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  EXPECT_EQ(RemoteUtils::download(server.url("/text"), 0, "", (folder / "pkg.zip").string(), kTimeout), 0);
  for (const char* name : stale) EXPECT_FALSE(fs::exists(folder / name)) << name;
  for (const char* name : kept) EXPECT_TRUE(fs::exists(folder / name)) << name;
  EXPECT_TRUE(fs::exists(running));
  EXPECT_EQ(readText(folder / "pkg.zip"), "hello body");
  ::close(held);
}
