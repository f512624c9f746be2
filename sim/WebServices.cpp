#include "WebServices.h"

#include <httplib.h>

#include <cJSON.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "ListenAddress.h"
#include "SimPackages.h"
#include "app/DeviceModel.h"
#include "platform/Clock.h"
#include "utils/LogFacade.h"
#include "utils/ServiceEndpoints.h"

namespace sim {
namespace {

// The model number the served tables and file names use.
int modelOf(const std::string& serial) { return modelNumber(classifyModel(serial)); }

using std::chrono::milliseconds;

constexpr char kSoftListPath[] = "/api/api/publicSoftInfo/getPublicSoftListBySn";
constexpr char kVersionPath[] = "/Veyra/Device/publicSoftService";
constexpr char kFirmwareInfoPath[] = "/api/tools/firmwareInfo";
constexpr char kPackageQueryPath[] = "/Veyra/v3/soft-wares";
constexpr char kChinaPrefix[] = "/cn";
constexpr char kSoapNamespace[] = "https://tarnfield.invalid/device/publicSoftService";
constexpr char kNotFoundPage[] =
    "<!DOCTYPE html><html><head><title>404 Not Found</title></head>"
    "<body><h1>Not Found</h1><p>The requested URL was not found on this server.</p></body></html>";
constexpr size_t kMaxBody = 64 * 1024;
constexpr size_t kDripBodyBytes = 1 << 20;
// How often a dripping reply looks whether the server is stopping.
constexpr milliseconds kDripPollStep{10};
constexpr char kPortalPath[] = "/portal/login";

std::string between(const std::string& text, const std::string& open, const std::string& close) {
  size_t start = text.find(open);
  if (start == std::string::npos) return {};
  start += open.size();
  size_t end = text.find(close, start);
  return end == std::string::npos ? std::string() : text.substr(start, end - start);
}

bool isSystemName(const std::string& softName) {
  auto lower = softName;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("system") != std::string::npos;
}

std::string jsonText(cJSON* json) {
  char* printed = cJSON_PrintUnformatted(json);
  std::string out = printed ? printed : "{}";
  cJSON_free(printed);
  cJSON_Delete(json);
  return out;
}

std::string soapReply(const std::string& version, const std::string& url) {
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
      "<ns2:getMaxVersionForMobileAppResponse xmlns:ns2=\"";
  body += kSoapNamespace;
  body += "\"><return>";
  if (!version.empty()) body += "<versionNo>" + version + "</versionNo>";
  if (!url.empty()) body += "<downloadUrl>" + url + "</downloadUrl>";
  body += "</return></ns2:getMaxVersionForMobileAppResponse></soap:Body></soap:Envelope>";
  return body;
}

}  // namespace

class WebServer {
 public:
  explicit WebServer(WebConfig config) : config_(std::move(config)) {}

  bool start();
  void stop();

  mutable std::mutex mutex_;  // guards config_, faults_, log_, hits_, cache_
  WebConfig config_;
  struct FaultEntry {
    WebFault fault;
    unsigned seen = 0;
  };
  std::vector<FaultEntry> faults_;
  RandomFaults random_;
  std::vector<std::string> log_;
  std::map<std::string, unsigned> hits_;
  std::map<std::string, std::vector<uint8_t>> cache_;

  httplib::Server server_;
  std::thread thread_;
  std::atomic<int> port_{0};
  std::atomic<bool> stopping_{false};  // ends dripping replies so stop() can join
  std::string servicesFile_;
  std::string host_;  // set before serving starts

  std::string base() const { return "http://" + host_ + ":" + std::to_string(port_.load()); }
  std::vector<uint8_t> cached(const std::string& key, const std::function<std::vector<uint8_t>()>& make);
  std::vector<uint8_t> image(int model, const std::string& softType, const std::string& version);
  std::vector<uint8_t> systemImage(const std::string& version);
  std::string packageUrl(int model, const std::string& softType, const std::string& version) const;
  std::string imageUrl(int model, const std::string& softType, const std::string& version) const;
  std::string systemUrl(const WebConfig& c) const;
  bool knows(const WebConfig& c, const std::string& serial) const {
    return c.serials.empty() || c.serials.count(serial) > 0;
  }

  httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res);
  void routes();
  void softList(const httplib::Request& req, httplib::Response& res, bool china);
  void versionService(const httplib::Request& req, httplib::Response& res, bool china);
};

std::vector<uint8_t> WebServer::cached(const std::string& key, const std::function<std::vector<uint8_t>()>& make) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(key);
    if (it != cache_.end()) return it->second;
  }
  std::vector<uint8_t> bytes = make();
  std::lock_guard<std::mutex> lock(mutex_);
  return cache_.emplace(key, std::move(bytes)).first->second;
}

std::vector<uint8_t> WebServer::image(int model, const std::string& softType, const std::string& version) {
  size_t size = requiredImageSize(model, softType);
  if (size == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    size = config_.anySizeImage;
  }
  return cached("image/" + softType + "/" + std::to_string(size) + "/" + version,
                [&] { return buildFirmwareImage(version, size, softType == "3" ? 3 : 1); });
}

std::vector<uint8_t> WebServer::systemImage(const std::string& version) {
  size_t size;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size = config_.systemImageSize;
  }
  return cached("system/" + version + "/" + std::to_string(size), [&] { return buildSystemImage(version, size); });
}

std::string WebServer::packageUrl(int model, const std::string& softType, const std::string& version) const {
  return base() + "/packages/firmware/" + softType + "/" + std::to_string(model) + "/" + version + ".zip";
}

std::string WebServer::imageUrl(int model, const std::string& softType, const std::string& version) const {
  return base() + "/packages/image/" + softType + "/" + std::to_string(model) + "/" + version + ".bin";
}

std::string WebServer::systemUrl(const WebConfig& c) const {
  return base() + "/packages/system/" + c.systemPackageName + "_" + c.latestSystem + ".zip";
}

httplib::Server::HandlerResponse WebServer::screen(const httplib::Request& req, httplib::Response& res) {
  std::string line = req.method + " " + req.path;
  if (!req.params.empty()) {
    std::string query;
    for (const auto& [key, value] : req.params) query += (query.empty() ? "?" : "&") + key + "=" + value;
    line += query;
  }
  std::vector<WebFault> hits;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(line);
    ++hits_[req.path];
    for (auto& entry : faults_) {
      const std::string& p = entry.fault.path;
      bool prefix = !p.empty() && p.back() == '*';
      bool match = prefix ? req.path.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0 : req.path == p;
      if (!match) continue;
      ++entry.seen;
      if (entry.fault.when.matches(entry.seen)) hits.push_back(entry.fault);
    }
  }
  constexpr int kKinds = static_cast<int>(WebFaultKind::Drip) + 1;
  if (int kind = random_.draw(kKinds); kind >= 0) hits.push_back({.kind = static_cast<WebFaultKind>(kind)});
  for (const auto& fault : hits) {
    switch (fault.kind) {
      case WebFaultKind::Slow:
        std::this_thread::sleep_for(platform::scaled(fault.delay));
        break;
      case WebFaultKind::NotFound:
        res.status = 404;
        res.set_content(kNotFoundPage, "text/html");
        return httplib::Server::HandlerResponse::Handled;
      case WebFaultKind::ServerError:
        res.status = 500;
        res.set_content("<html><body><h1>500 Internal Server Error</h1></body></html>", "text/html");
        return httplib::Server::HandlerResponse::Handled;
      case WebFaultKind::Redirect:
        res.status = 302;
        res.set_header("Location", base() + kPortalPath);
        res.set_content("<html><head><title>302 Found</title></head><body><a href=\"" + base() + kPortalPath +
                            "\">Sign in to continue</a></body></html>",
                        "text/html");
        return httplib::Server::HandlerResponse::Handled;
      case WebFaultKind::Drip: {
        const milliseconds pause = platform::scaled(fault.delay);
        res.status = 200;
        res.set_content_provider(kDripBodyBytes, "application/octet-stream",
                                 [this, pause](size_t, size_t, httplib::DataSink& sink) {
                                   if (!sink.write("x", 1)) return false;
                                   for (milliseconds slept{0}; slept < pause; slept += kDripPollStep) {
                                     if (stopping_.load() || !sink.is_writable()) return false;
                                     std::this_thread::sleep_for(std::min(kDripPollStep, pause - slept));
                                   }
                                   return true;
                                 });
        return httplib::Server::HandlerResponse::Handled;
      }
      case WebFaultKind::Truncated: {
        // Promise a body, send part of it and give up: the client sees the
        // connection close short of Content-Length.
        const std::string partial = "{\"result\":[{\"softType\":\"1\",\"vers";
        res.status = 200;
        res.set_content_provider(partial.size() * 4, "application/octet-stream",
                                 [partial](size_t offset, size_t, httplib::DataSink& sink) {
                                   if (offset == 0) sink.write(partial.data(), partial.size());
                                   return false;
                                 });
        return httplib::Server::HandlerResponse::Handled;
      }
    }
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

void WebServer::softList(const httplib::Request& req, httplib::Response& res, bool china) {
  WebConfig c;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    c = config_;
  }
  std::string serial;
  if (req.body.size() <= kMaxBody) {
    if (cJSON* body = cJSON_ParseWithLength(req.body.data(), req.body.size())) {
      cJSON* sn = cJSON_GetObjectItemCaseSensitive(body, "sn");
      if (cJSON_IsString(sn)) serial = sn->valuestring;
      cJSON_Delete(body);
    }
  }
  cJSON* reply = cJSON_CreateObject();
  cJSON_AddNumberToObject(reply, "code", 200);
  cJSON* result = cJSON_AddArrayToObject(reply, "result");
  if (!serial.empty() && knows(c, serial) && !(c.internationalEmpty && !china)) {
    const int model = modelOf(serial);
    auto add = [&](const std::string& type, const std::string& version, const std::string& packageName) {
      if (version.empty()) return;
      cJSON* item = cJSON_CreateObject();
      if (c.softTypeAsNumber) cJSON_AddNumberToObject(item, "softType", std::atoi(type.c_str()));
      else cJSON_AddStringToObject(item, "softType", type.c_str());
      cJSON_AddStringToObject(item, "version", version.c_str());
      cJSON_AddStringToObject(item, "softPackageName", packageName.c_str());
      cJSON_AddStringToObject(item, "downloadLink", packageUrl(model, type, version).c_str());
      cJSON_AddItemToArray(result, item);
    };
    add("1", c.latestFirmware, c.firmwarePackageName);
    add("3", c.latestJ2534, c.j2534PackageName);
  }
  res.set_content(jsonText(reply), "application/json");
}

void WebServer::versionService(const httplib::Request& req, httplib::Response& res, bool china) {
  WebConfig c;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    c = config_;
  }
  std::string body = req.body.substr(0, kMaxBody);
  std::string serial = between(body, "<imei>", "</imei>");
  std::string softName = between(body, "<softName>", "</softName>");
  std::string systemName = between(body, "<systemName>", "</systemName>");
  std::string version;
  std::string url;
  if (knows(c, serial) && !(c.internationalEmpty && !china) && !softName.empty()) {
    if (isSystemName(softName)) {
      version = c.latestSystem.empty() ? "0" : c.latestSystem;
      if (!c.latestSystem.empty()) url = systemUrl(c);
      else url = base() + "/packages/system/none.zip";
    } else if (!c.latestJ2534.empty()) {
      version = c.latestJ2534;
      url = packageUrl(modelOf(serial), "3", c.latestJ2534);
    }
  }
  (void)systemName;
  res.set_content(soapReply(version, url), "text/xml; charset=utf-8");
}

void WebServer::routes() {
  server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return screen(req, res);
  });
  server_.Post(kSoftListPath, [this](const auto& req, auto& res) { softList(req, res, false); });
  server_.Post(std::string(kChinaPrefix) + kSoftListPath, [this](const auto& req, auto& res) { softList(req, res, true); });
  server_.Post(kVersionPath, [this](const auto& req, auto& res) { versionService(req, res, false); });
  server_.Post(std::string(kChinaPrefix) + kVersionPath,
               [this](const auto& req, auto& res) { versionService(req, res, true); });

  server_.Get(kFirmwareInfoPath, [this](const httplib::Request& req, httplib::Response& res) {
    WebConfig c;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      c = config_;
    }
    std::string serial = req.get_param_value("sn");
    std::string type = req.get_param_value("softType");
    std::string version = type == "1" ? c.latestFirmware : type == "3" ? c.latestJ2534 : std::string();
    cJSON* reply = cJSON_CreateObject();
    cJSON_AddNumberToObject(reply, "code", 200);
    if (knows(c, serial) && !serial.empty() && !version.empty() && req.has_param("random")) {
      cJSON* result = cJSON_AddObjectToObject(reply, "result");
      cJSON_AddStringToObject(result, "version", version.c_str());
      cJSON_AddStringToObject(result, "downloadUrlUS", imageUrl(modelOf(serial), type, version).c_str());
    } else {
      cJSON_AddNullToObject(reply, "result");
    }
    res.set_content(jsonText(reply), "application/json");
  });

  server_.Get(kPackageQueryPath, [this](const httplib::Request& req, httplib::Response& res) {
    WebConfig c;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      c = config_;
    }
    std::string serial = req.get_param_value("serial_number");
    cJSON* reply = cJSON_CreateObject();
    cJSON_AddNumberToObject(reply, "code", 0);
    if (!serial.empty() && knows(c, serial) && c.systemPackageOnline && !c.latestSystem.empty()) {
      cJSON* data = cJSON_AddObjectToObject(reply, "data");
      cJSON_AddStringToObject(data, "path", systemUrl(c).c_str());
    } else {
      cJSON_AddStringToObject(reply, "message", "no package");
    }
    res.set_content(jsonText(reply), "application/json");
  });

  server_.Get(R"(/packages/(firmware|image)/([0-9])/([0-6])/([A-Za-z0-9._-]+)\.(zip|bin))",
              [this](const httplib::Request& req, httplib::Response& res) {
                bool zip = req.matches[1] == "firmware";
                if (zip != (req.matches[5] == "zip")) {
                  res.status = 404;
                  res.set_content(kNotFoundPage, "text/html");
                  return;
                }
                std::vector<uint8_t> img = image(std::stoi(req.matches[3]), req.matches[2], req.matches[4]);
                std::vector<uint8_t> body = zip ? cached("package/" + req.path, [&] { return buildFirmwarePackage(img); })
                                                : img;
                res.set_content(reinterpret_cast<const char*>(body.data()), body.size(),
                                zip ? "application/zip" : "application/octet-stream");
              });

  server_.Get(R"(/packages/system/([A-Za-z0-9.-]+)_([A-Za-z0-9.-]+)\.zip)",
              [this](const httplib::Request& req, httplib::Response& res) {
                std::string name = req.matches[1];
                std::string version = req.matches[2];
                std::vector<uint8_t> inner = systemImage(version);
                std::vector<uint8_t> body =
                    cached("syspkg/" + req.path, [&] { return buildSystemPackage(name, version, inner); });
                res.set_content(reinterpret_cast<const char*>(body.data()), body.size(), "application/zip");
              });
}

bool WebServer::start() {
  stopping_ = false;
  routes();
  uint16_t wanted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted = config_.port;
    host_ = config_.host;
  }
  if (std::string why = listenRefusal(host_); !why.empty()) {
    LOG_WARN("web services will not listen on %s: %s", host_.c_str(), why.c_str());
    return false;
  }
  int port = wanted ? (server_.bind_to_port(host_, wanted) ? wanted : -1) : server_.bind_to_any_port(host_);
  if (port <= 0) {
    LOG_WARN("web services cannot bind %s:%u", host_.c_str(), wanted);
    return false;
  }
  port_ = port;
  thread_ = std::thread([this] {
    // The library writes with plain send(): a client that hung up must cost
    // an EPIPE, not the process. Its worker threads inherit this mask.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    server_.listen_after_bind();
  });
  return true;
}

void WebServer::stop() {
  stopping_ = true;
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

bool parseWebFault(std::string_view text, WebFault& out) {
  const std::vector<std::string_view> parts = splitFaultFields(text);
  if (parts.size() < 2 || parts.size() > 4 || parts[1].empty() || parts[1][0] != '/') return false;
  WebFault fault;
  if (parts[0] == "404") fault.kind = WebFaultKind::NotFound;
  else if (parts[0] == "500") fault.kind = WebFaultKind::ServerError;
  else if (parts[0] == "slow") fault.kind = WebFaultKind::Slow;
  else if (parts[0] == "truncated") fault.kind = WebFaultKind::Truncated;
  else if (parts[0] == "302") fault.kind = WebFaultKind::Redirect;
  else if (parts[0] == "drip") fault.kind = WebFaultKind::Drip;
  else return false;
  fault.path = std::string(parts[1]);
  if (parts.size() >= 3 && !parseOccurrence(parts[2], fault.when)) return false;
  if (parts.size() == 4) {
    bool timed = fault.kind == WebFaultKind::Slow || fault.kind == WebFaultKind::Drip;
    if (!timed || parts[3].empty() || parts[3].size() > 8) return false;
    for (char c : parts[3]) {
      if (c < '0' || c > '9') return false;
    }
    fault.delay = milliseconds(std::stol(std::string(parts[3])));
  }
  out = fault;
  return true;
}

// ---- WebServices ----

WebServices::WebServices(WebConfig config) : server_(std::make_unique<WebServer>(std::move(config))) {}

WebServices::~WebServices() { stop(); }

bool WebServices::start() {
  if (server_->thread_.joinable()) return true;
  if (!server_->start()) return false;

  WebConfig c = config();
  std::string path = c.servicesFile.empty() ? serviceEndpointsPath() : c.servicesFile;
  server_->servicesFile_ = path;
  if (c.writeServicesFile) {
    std::string base = baseUrl();
    ServiceEndpoints endpoints;
    endpoints.softListUrl = base + kSoftListPath;
    endpoints.softListUrlCN = base + kChinaPrefix + kSoftListPath;
    endpoints.versionServiceUrl = base + kVersionPath;
    endpoints.versionServiceUrlCN = base + kChinaPrefix + kVersionPath;
    endpoints.soapNamespace = kSoapNamespace;
    endpoints.firmwareInfoUrl = base + kFirmwareInfoPath;
    endpoints.systemPackageHost = base;
    if (int rc = saveServiceEndpoints(path, endpoints); rc != 0) {
      LOG_WARN("web services cannot write %s (%d)", path.c_str(), rc);
      stop();
      return false;
    }
  }
  return true;
}

void WebServices::stop() { server_->stop(); }

uint16_t WebServices::port() const { return static_cast<uint16_t>(server_->port_.load()); }
std::string WebServices::baseUrl() const { return server_->base(); }
std::string WebServices::servicesFile() const { return server_->servicesFile_; }

WebConfig WebServices::config() const {
  std::lock_guard<std::mutex> lock(server_->mutex_);
  return server_->config_;
}

void WebServices::update(const std::function<void(WebConfig&)>& change) {
  std::lock_guard<std::mutex> lock(server_->mutex_);
  change(server_->config_);
}

void WebServices::addFault(const WebFault& fault) {
  std::lock_guard<std::mutex> lock(server_->mutex_);
  server_->faults_.push_back({fault, 0});
}

void WebServices::clearFaults() {
  std::lock_guard<std::mutex> lock(server_->mutex_);
  server_->faults_.clear();
}

void WebServices::setRandomFaults(double rate, uint32_t seed) { server_->random_.set(rate, seed); }

unsigned WebServices::randomFaultsInjected() const { return server_->random_.injected(); }

std::vector<uint8_t> WebServices::firmwareImage(const std::string& softType, const std::string& serial) const {
  WebConfig c = config();
  return server_->image(modelOf(serial), softType, softType == "3" ? c.latestJ2534 : c.latestFirmware);
}

std::vector<uint8_t> WebServices::systemImage() const { return server_->systemImage(config().latestSystem); }

std::string WebServices::firmwarePackageUrl(const std::string& softType, const std::string& serial) const {
  WebConfig c = config();
  return server_->packageUrl(modelOf(serial), softType, softType == "3" ? c.latestJ2534 : c.latestFirmware);
}

std::string WebServices::firmwareImageUrl(const std::string& softType, const std::string& serial) const {
  WebConfig c = config();
  return server_->imageUrl(modelOf(serial), softType, softType == "3" ? c.latestJ2534 : c.latestFirmware);
}

std::string WebServices::systemPackageUrl() const { return server_->systemUrl(config()); }

unsigned WebServices::hits(const std::string& path) const {
  std::lock_guard<std::mutex> lock(server_->mutex_);
  auto it = server_->hits_.find(path);
  return it == server_->hits_.end() ? 0 : it->second;
}

std::vector<std::string> WebServices::requestLog() const {
  std::lock_guard<std::mutex> lock(server_->mutex_);
  return server_->log_;
}

EnvList WebServices::environment() const { return {{"KESTREL_SERVICES", servicesFile()}}; }

}  // namespace sim
