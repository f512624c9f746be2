#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "SimEnvironment.h"
#include "SimFaults.h"

// The maker's web services on 127.0.0.1 (or WebConfig::host), answering for one or more simulated
// devices:
//   POST /api/api/publicSoftInfo/getPublicSoftListBySn      JSON software list
//   POST /cn/api/api/publicSoftInfo/getPublicSoftListBySn   the same, China
//   POST /Veyra/Device/publicSoftService                    SOAP version service
//   POST /cn/Veyra/Device/publicSoftService                 the same, China
//   GET  /api/tools/firmwareInfo?random=&sn=&softType=      firmware information
//   GET  /Veyra/v3/soft-wares?serial_number=                system package query
//   GET  /packages/firmware/<softType>/<model>/<version>.zip
//   GET  /packages/image/<softType>/<model>/<version>.bin
//   GET  /packages/system/<packageName>_<version>.zip
// and writes the deployment file of endpoints ([Services] in services.ini).
//
//   sim::WebServices web({.latestFirmware = "V1.30"});
//   ASSERT_TRUE(web.start());
//   web.addFault({.kind = sim::WebFaultKind::NotFound,
//                 .path = "/api/api/publicSoftInfo/getPublicSoftListBySn"});
namespace sim {

struct WebConfig {
  // Another than loopback only inside a network namespace of its own
  // (ListenAddress.h).
  std::string host = "127.0.0.1";
  uint16_t port = 0;  // 0: ephemeral
  // Empty: $KESTREL_SERVICES, else $TARNFIELD_HOME/config/services.ini.
  std::string servicesFile{};
  bool writeServicesFile = true;
  std::set<std::string> serials{};  // the devices the services know; empty: every serial

  std::string latestFirmware = "V1.20";  // software type "1"
  std::string latestJ2534 = "V2.20";     // software type "3"
  std::string firmwarePackageName = "DOWNLOAD_BIN";
  std::string j2534PackageName = "J2534_BOX_BIN";
  bool softTypeAsNumber = false;   // "softType": 3 instead of "3" in the software list
  bool internationalEmpty = false; // the international list and version service know nothing

  std::string latestSystem = "206";  // empty: the version service answers 0 (nothing newer)
  std::string systemPackageName = "V3.10";
  bool systemPackageOnline = true;   // the package query offers a package
  size_t systemImageSize = 20000;    // size of the system.zip inside the package
  size_t anySizeImage = 0x9000;      // image size for models without a size rule
};

enum class WebFaultKind {
  NotFound,     // 404 with an HTML body
  ServerError,  // 500
  Slow,         // answered normally after `delay`
  Truncated,    // Content-Length larger than the bytes sent, then the connection closes
  Redirect,     // 302 to another path, with an HTML body (a captive portal's answer)
  Drip,         // 200 with a 1 MiB Content-Length, one byte of it per `delay` (the last kind)
};

struct WebFault {
  WebFaultKind kind = WebFaultKind::NotFound;
  std::string path{};  // the request path without query; a trailing '*' matches a prefix
  Occurrence when = Occurrence::every();
  std::chrono::milliseconds delay{6000};  // Slow, Drip; scaled by platform::scaled
};

// "KIND:PATH[:OCCURRENCE[:MS]]", KIND one of 404, 500, slow, truncated, 302,
// drip; OCCURRENCE as for device faults (default every time); MS the delay of
// slow and drip.
bool parseWebFault(std::string_view text, WebFault& out);

class WebServer;

class WebServices {
 public:
  explicit WebServices(WebConfig config = {});
  ~WebServices();
  WebServices(const WebServices&) = delete;
  WebServices& operator=(const WebServices&) = delete;

  // Binds the host, starts serving and writes the services file.
  bool start();
  void stop();  // safe to call twice

  uint16_t port() const;
  std::string baseUrl() const;  // http://HOST:PORT
  std::string servicesFile() const;

  WebConfig config() const;
  void update(const std::function<void(WebConfig&)>& change);

  void addFault(const WebFault& fault);
  void clearFaults();
  // Besides the scripted ones, every request meets a fault of any kind, with
  // the default delay, with probability rate.
  void setRandomFaults(double rate, uint32_t seed);
  unsigned randomFaultsInjected() const;

  // What the services hand out for the newest versions, to compare with what
  // the device stored.
  std::vector<uint8_t> firmwareImage(const std::string& softType, const std::string& serial) const;
  std::vector<uint8_t> systemImage() const;  // the system.zip inside the package
  std::string firmwarePackageUrl(const std::string& softType, const std::string& serial) const;
  std::string firmwareImageUrl(const std::string& softType, const std::string& serial) const;
  std::string systemPackageUrl() const;

  unsigned hits(const std::string& path) const;  // requests for this path so far
  // "METHOD /path?query" per request, in arrival order.
  std::vector<std::string> requestLog() const;

  // KESTREL_SERVICES.
  EnvList environment() const;

 private:
  std::unique_ptr<WebServer> server_;
};

}  // namespace sim
