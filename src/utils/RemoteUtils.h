#pragma once
#include <cstdint>
#include <string>

// The program's one web client. Each call is a self-contained exchange on its
// own handle: no proxy (whatever the environment says), no redirects, no
// cookies, user agent "RemoteUtils/1.0", HTTP/1.1, TLS with certificate and
// host checks when the scheme is exactly "https". Under the loopback guard a
// destination outside 127.0.0.0/8 fails as a connection error before any
// packet is sent.
//
// Results: 0 on success; -1 when the URL does not split (parseUrl); otherwise
// the positive CURLcode of the failing network step, or for download's file
// steps the errno (callers only test for 0 and log the number). Every call may
// run on any thread and blocks it until the exchange ends or times out.
class RemoteUtils {
 public:
  static constexpr int kMethodPost = 1;   // any other method value is GET
  static constexpr int kContentJson = 1;  // any other content kind is XML

  // The largest response body request keeps in memory, and the largest file
  // download writes; beyond them the call fails with CURLE_FILESIZE_EXCEEDED.
  static constexpr uint64_t kMaxResponseBytes = 16ull << 20;
  static constexpr uint64_t kMaxDownloadBytes = 2ull << 30;

  // Sends the body only for POST and only when not empty. The response body
  // is appended to response on success, whatever the HTTP status (callers
  // parse error pages themselves); on failure response is left as it was.
  // A timeout below 1 second leaves the library's defaults.
  static int request(const std::string& url, int method, const std::string& body, int contentKind,
                     std::string& response, int timeoutSeconds);

  // Writes the response body to filePath, creating the folders along it.
  // The body goes to a temporary file beside it that replaces filePath only
  // once the whole body has arrived with a status below 400; on any failure
  // nothing is left behind and an existing file stays as it was. An HTTP
  // status of 400 or more gives CURLE_HTTP_RETURNED_ERROR. Logs nothing
  // but a guard refusal; the callers log the result.
  static int download(const std::string& url, int method, const std::string& body,
                      const std::string& filePath, int timeoutSeconds);

  // Splits scheme://host[:port][/path?query]. https is true only for the
  // scheme written "https"; the port defaults to 443 or 80 by that flag; a
  // missing path is "/". False without "://", with a port that is not a
  // decimal number from 1 to 65535, with a host character outside letters,
  // digits, '-', '.' and '_', or with a control character anywhere.
  static bool parseUrl(const std::string& url, std::string& host, std::string& path, uint16_t& port,
                       bool& https);
};
