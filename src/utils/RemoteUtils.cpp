#include "utils/RemoteUtils.h"

#include "platform/Clock.h"
#include "platform/LoopbackGuard.h"
#include "utils/LogFacade.h"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr char kUserAgent[] = "RemoteUtils/1.0";
// Every log line of the client carries this function name, download's too.
constexpr char kLogFunction[] = "RemoteUtils::request";
constexpr size_t kMaxPortDigits = 5;
constexpr int kMaxTempAttempts = 100;
// A caller that leaves the time-out to the library still gets an end: curl
// itself would wait for ever on a server that keeps the connection alive.
constexpr std::chrono::seconds kDefaultTimeout{60};
// A download's deadline grows by one second per this many bytes received: its
// overall limit is its size at this rate (128 kbit/s, slower than any line a
// package is fetched over) plus the time-out, so a large package on a slow
// line finishes while a server dripping a few KiB a second does not hold the
// device's worker for hours.
constexpr uint64_t kDownloadFloorBytesPerSecond = 16 * 1024;

#define REMOTE_WARN(...) ::logfacade::write(::logfacade::kWarn, __FILE__, __LINE__, kLogFunction, __VA_ARGS__)

void initialiseCurlOnce() {
  // curl_global_init is not thread-safe; every caller passes through here first.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// curl answers "localhost" itself, without asking a resolver, so the name can
// pass the guard; the socket check still sees the address it resolves to.
bool isLocalhostName(std::string_view host) {
  constexpr std::string_view kLocal = "localhost";
  if (host.size() != kLocal.size()) return false;
  for (size_t i = 0; i < host.size(); ++i) {
    char c = host[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kLocal[i]) return false;
  }
  return true;
}

struct CurlEasy {
  CURL* handle = curl_easy_init();
  ~CurlEasy() {
    if (handle) curl_easy_cleanup(handle);
  }
};

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  bool add(const char* line) {
    curl_slist* grown = curl_slist_append(list, line);
    if (!grown) return false;
    list = grown;
    return true;
  }
};

bool isSuccessStatus(long status) { return status >= 200 && status <= 299; }

// Where the body goes: memory for request, a file descriptor for download.
struct Sink {
  std::string* text = nullptr;
  int fd = -1;
  uint64_t limit = 0;
  uint64_t received = 0;
  bool overLimit = false;
  int fileErrno = 0;
  bool gotHeaders = false;
  CURL* handle = nullptr;
  bool onlySuccess = false;  // download: keep no body of a status outside 2xx
  long refusedStatus = 0;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t n = size * count;
  if (sink->onlySuccess && sink->received == 0) {
    // A redirect or portal page is not the file asked for; stop at its first byte.
    long status = 0;
    curl_easy_getinfo(sink->handle, CURLINFO_RESPONSE_CODE, &status);
    if (!isSuccessStatus(status)) {
      sink->refusedStatus = status;
      return 0;
    }
  }
  if (sink->received + n > sink->limit) {
    sink->overLimit = true;
    return 0;  // makes curl stop with a write error
  }
  sink->received += n;
  if (sink->text) {
    sink->text->append(data, n);
    return n;
  }
  for (size_t done = 0; done < n;) {
    ssize_t w = ::write(sink->fd, data + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      sink->fileErrno = errno;
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  static_cast<Sink*>(user)->gotHeaders = true;
  return size * count;
}

// Ends an exchange past its deadline or on the caller's stop flag. curl calls
// this at least about once a second, also while nothing arrives.
struct Watch {
  const std::atomic<bool>* stop = nullptr;
  int64_t startMs = 0;
  int64_t baseMs = 0;      // the deadline with nothing received
  bool growsWithBytes = false;
  bool expired = false;
};

int onProgress(void* user, curl_off_t, curl_off_t dlNow, curl_off_t, curl_off_t) {
  auto* watch = static_cast<Watch*>(user);
  if (watch->stop && watch->stop->load()) return 1;
  int64_t allowed = watch->baseMs;
  if (watch->growsWithBytes && dlNow > 0)
    allowed += static_cast<int64_t>(static_cast<uint64_t>(dlNow) * 1000 / kDownloadFloorBytesPerSecond);
  if (platform::nowMs() - watch->startMs > allowed) {
    watch->expired = true;
    return 1;
  }
  return 0;
}

curl_socket_t openGuardedSocket(void*, curlsocktype, curl_sockaddr* address) {
  if (!platform::destinationAllowed(&address->addr, static_cast<socklen_t>(address->addrlen)))
    return CURL_SOCKET_BAD;  // curl reports it as CURLE_COULDNT_CONNECT
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

struct Exchange {
  std::string url;  // rebuilt from the split parts
  std::string host;
  int method = 0;
  const std::string* body = nullptr;
  const char* contentType = nullptr;  // nullptr: no Content-Type at all
  int timeoutSeconds = 0;
  bool failOnHttpError = false;
  bool log = false;
  bool download = false;
  const std::atomic<bool>* stop = nullptr;
};

// Runs one exchange. The log texts name the steps of the client as its
// callers know them, from opening the session to reading the response.
int perform(const Exchange& ex, Sink& sink) {
  initialiseCurlOnce();
  auto warn = [&](const char* text) {
    if (ex.log) REMOTE_WARN("%s", text);
  };

  // A stop raised before the call is kept: nothing is sent.
  if (ex.stop && ex.stop->load()) return CURLE_ABORTED_BY_CALLBACK;
  if (!isLocalhostName(ex.host) && !platform::destinationAllowed(ex.host)) {
    warn("InternetConnect err");
    return CURLE_COULDNT_CONNECT;
  }

  CurlEasy curl;
  CURL* h = curl.handle;
  if (!h) {
    warn("InternetOpen err");
    return CURLE_FAILED_INIT;
  }

  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, option, value);
  };

  set(CURLOPT_USERAGENT, kUserAgent);
  set(CURLOPT_PROXY, "");
  set(CURLOPT_NOPROXY, "*");
  set(CURLOPT_NOSIGNAL, 1L);
  if (platform::loopbackGuardActive()) set(CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
  set(CURLOPT_OPENSOCKETFUNCTION, &openGuardedSocket);
  if (rc != CURLE_OK) {
    warn("InternetOpen err");
    return rc;
  }

  Watch watch;
  watch.stop = ex.stop;
  watch.startMs = platform::nowMs();
  if (ex.timeoutSeconds >= 1) {
    // A transfer that moves nothing for the whole time-out counts as stalled,
    // the nearest to a per-receive time-out that curl offers.
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ex.timeoutSeconds) * 1000L);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(ex.timeoutSeconds));
    watch.baseMs = static_cast<int64_t>(ex.timeoutSeconds) * 1000;
  } else {
    watch.baseMs = std::chrono::duration_cast<std::chrono::milliseconds>(kDefaultTimeout).count();
  }
  // A request must end within its time-out however slowly its reply comes; a
  // download may take longer as long as its bytes keep coming fast enough.
  watch.growsWithBytes = ex.download;
  if (!ex.download) set(CURLOPT_TIMEOUT_MS, static_cast<long>(watch.baseMs));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &onProgress);
  set(CURLOPT_XFERINFODATA, &watch);
  if (rc != CURLE_OK) {
    warn("SetTimeouts error");
    return rc;
  }

  set(CURLOPT_URL, ex.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_FAILONERROR, ex.failOnHttpError ? 1L : 0L);
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.limit));
  if (ex.method == RemoteUtils::kMethodPost) {
    set(CURLOPT_POST, 1L);
    // An empty POSTFIELDS keeps curl from reading a body from stdin.
    set(CURLOPT_POSTFIELDS, ex.body->c_str());
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ex.body->size()));
  } else {
    set(CURLOPT_HTTPGET, 1L);
  }
  set(CURLOPT_WRITEFUNCTION, &onBody);
  set(CURLOPT_WRITEDATA, &sink);
  set(CURLOPT_HEADERFUNCTION, &onHeader);
  set(CURLOPT_HEADERDATA, &sink);
  if (rc != CURLE_OK) {
    warn("HttpOpenRequest err");
    return rc;
  }

  // No accepted types and no 100-continue pause; a download sends no
  // Content-Type, not even curl's form default for a POST.
  HeaderList headers;
  std::string contentType = ex.contentType ? std::string("Content-Type: ") + ex.contentType : "Content-Type:";
  if (!headers.add("Accept:") || !headers.add("Expect:") || !headers.add(contentType.c_str())) {
    warn("HttpAddRequestHeadersA err");
    return CURLE_OUT_OF_MEMORY;
  }
  set(CURLOPT_HTTPHEADER, headers.list);
  if (rc != CURLE_OK) {
    warn("HttpAddRequestHeadersA err");
    return rc;
  }

  sink.handle = h;
  sink.onlySuccess = ex.download;
  rc = curl_easy_perform(h);
  // An empty body never reached onBody, and curl ends an error status before it does.
  if ((rc == CURLE_OK || rc == CURLE_HTTP_RETURNED_ERROR) && ex.download && sink.refusedStatus == 0) {
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (!isSuccessStatus(status)) sink.refusedStatus = status;
  }
  if (sink.refusedStatus != 0) {
    // Redirects are never followed: what they point at is not what was asked for.
    if (sink.refusedStatus >= 300 && sink.refusedStatus <= 399)
      REMOTE_WARN("download redirect not followed, status : %ld", sink.refusedStatus);
    // The user needs the address and the status to tell a moved file from a broken server.
    REMOTE_WARN("download failed, HTTP status %ld from %s", sink.refusedStatus,
                ::logfacade::escapeForLog(ex.url).c_str());
    return CURLE_HTTP_RETURNED_ERROR;
  }
  if (rc == CURLE_OK && !ex.download) {
    // The callers read the body whatever the status; the status is for the user.
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (!isSuccessStatus(status)) {
      REMOTE_WARN("HTTP status %ld from %s", status, ::logfacade::escapeForLog(ex.url).c_str());
    }
  }
  if (rc == CURLE_OK) return 0;

  if (sink.overLimit) {
    rc = CURLE_FILESIZE_EXCEEDED;
  } else if (sink.fileErrno != 0) {
    return sink.fileErrno;  // a file step of download, which logs nothing
  } else if (watch.expired) {
    rc = CURLE_OPERATION_TIMEDOUT;
  }
  long localPort = 0;
  curl_easy_getinfo(h, CURLINFO_LOCAL_PORT, &localPort);
  bool connectStep = rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_CONNECT ||
                     (rc == CURLE_OPERATION_TIMEDOUT && localPort == 0 && !sink.gotHeaders);
  if (connectStep) warn("InternetConnect err");
  else if (!sink.gotHeaders) warn("HttpSendRequestA err");
  else if (sink.received == 0) warn("ReadResponse empty");
  else warn("ReadResponse truncated");
  return rc;
}

bool buildExchange(const std::string& url, int method, const std::string& body, int timeoutSeconds,
                   const std::atomic<bool>* stop, Exchange& ex) {
  std::string path;
  uint16_t port = 0;
  bool https = false;
  if (!RemoteUtils::parseUrl(url, ex.host, path, port, https)) return false;
  ex.url = std::string(https ? "https://" : "http://") + ex.host + ":" + std::to_string(port) + path;
  ex.method = method;
  ex.body = &body;
  ex.timeoutSeconds = timeoutSeconds;
  ex.stop = stop;
  return true;
}

std::string tempPrefix(const fs::path& target) { return "." + target.filename().string() + ".part-"; }

// "PID-N" as openTempBeside writes it.
bool isTempSuffix(std::string_view s) {
  size_t dash = s.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 == s.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i != dash && (s[i] < '0' || s[i] > '9')) return false;
  }
  return true;
}

// Partial files of this target that no download holds any more: left by a
// process that crashed or was killed. A download keeps its own locked, so a
// concurrent one (here or in another process) keeps its file.
void removeStalePartials(const fs::path& target) {
  const std::string prefix = tempPrefix(target);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0 || !isTempSuffix(std::string_view(name).substr(prefix.size())))
      continue;
    int fd = ::open(it->path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
      ::unlink(it->path().c_str());
    ::close(fd);
  }
}

// Opens a new file beside target for the body, readable as a finished file
// would be (0666 less the umask), named so that nothing else picks it up, and
// locked for as long as the download holds it open.
int openTempBeside(const fs::path& target, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    fs::path candidate = target.parent_path() / (tempPrefix(target) + std::to_string(::getpid()) + "-" +
                                                  std::to_string(counter.fetch_add(1)));
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::flock(fd, LOCK_EX | LOCK_NB);  // fresh file: nobody else can hold it yet
      tempPath = candidate.string();
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

bool RemoteUtils::parseUrl(const std::string& url, std::string& host, std::string& path, uint16_t& port,
                           bool& https) {
  for (char c : url) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  size_t sep = url.find("://");
  if (sep == std::string::npos) return false;
  bool secure = url.compare(0, sep, "https") == 0;
  unsigned long portValue = secure ? 443 : 80;

  size_t hostStart = sep + 3;
  size_t slash = url.find('/', hostStart);
  std::string hostText = url.substr(hostStart, slash == std::string::npos ? std::string::npos : slash - hostStart);
  std::string pathText = slash == std::string::npos ? "/" : url.substr(slash);

  size_t colon = hostText.find(':');
  if (colon != std::string::npos) {
    std::string digits = hostText.substr(colon + 1);
    if (digits.empty() || digits.size() > kMaxPortDigits) return false;
    portValue = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      portValue = portValue * 10 + static_cast<unsigned long>(c - '0');
    }
    if (portValue == 0 || portValue > 65535) return false;
    hostText.resize(colon);
  }
  for (char c : hostText) {
    if (!isHostChar(c)) return false;
  }

  host = std::move(hostText);
  path = std::move(pathText);
  port = static_cast<uint16_t>(portValue);
  https = secure;
  return true;
}

int RemoteUtils::request(const std::string& url, int method, const std::string& body, int contentKind,
                         std::string& response, int timeoutSeconds, const std::atomic<bool>* stop) {
  Exchange ex;
  if (!buildExchange(url, method, body, timeoutSeconds, stop, ex)) {
    LOG_WARN("parse url failed");
    return -1;
  }
  ex.contentType = contentKind == kContentJson ? "application/json" : "text/xml;charset=utf-8";
  ex.log = true;

  std::string received;
  Sink sink;
  sink.text = &received;
  sink.limit = kMaxResponseBytes;
  int rc = perform(ex, sink);
  if (rc == 0) response += received;
  return rc;
}

int RemoteUtils::download(const std::string& url, int method, const std::string& body,
                          const std::string& filePath, int timeoutSeconds, const std::atomic<bool>* stop) {
  Exchange ex;
  if (!buildExchange(url, method, body, timeoutSeconds, stop, ex)) return -1;
  ex.failOnHttpError = true;
  ex.download = true;

  fs::path target(filePath);
  if (target.filename().empty()) return EISDIR;
  std::error_code ec;
  if (target.has_parent_path()) {
    fs::create_directories(target.parent_path(), ec);
    if (ec) return ec.value();
  }
  removeStalePartials(target);
  std::string tempPath;
  int fd = openTempBeside(target, tempPath);
  if (fd < 0) return errno;

  Sink sink;
  sink.fd = fd;
  sink.limit = kMaxDownloadBytes;
  int rc = perform(ex, sink);
  // The file must be whole on disk before it takes the old one's place. It is
  // renamed or removed while still open, so its lock keeps a download of the
  // same target from taking it for a stale one meanwhile.
  if (rc == 0 && ::fsync(fd) != 0) rc = errno;
  if (rc == 0 && ::rename(tempPath.c_str(), filePath.c_str()) != 0) rc = errno;
  if (rc != 0) ::unlink(tempPath.c_str());
  if (::close(fd) != 0 && rc == 0) rc = errno;
  return rc;
}
