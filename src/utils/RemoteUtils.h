#pragma once
#include <atomic>
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
// run on any thread and blocks it until the exchange ends, times out, or the
// caller's stop flag (optional) is raised: then within about a second, with
// CURLE_ABORTED_BY_CALLBACK (at once, sending nothing, when it was raised first).
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
  // The whole exchange ends within the time-out (CURLE_OPERATION_TIMEDOUT);
  // below 1 second a default of a minute applies.
  static int request(const std::string& url, int method, const std::string& body, int contentKind,
                     std::string& response, int timeoutSeconds, const std::atomic<bool>* stop = nullptr);

  // Writes the response body to filePath, creating the folders along it.
  // The body goes to a temporary file beside it (".NAME.part-PID-N") that
  // replaces filePath only once the whole body has arrived with a 2xx status;
  // on any failure nothing is left behind and an existing file stays as it
  // was, and temporary files of the same target that no download holds any
  // more are removed first. Any other status gives CURLE_HTTP_RETURNED_ERROR.
  // The deadline is the time-out plus a second per 16 KiB received, so a
  // transfer slower than that on average ends early. Logs nothing but a guard refusal and
  // a redirect; the callers log the result.
  static int download(const std::string& url, int method, const std::string& body,
                      const std::string& filePath, int timeoutSeconds, const std::atomic<bool>* stop = nullptr);

  // Splits scheme://host[:port][/path?query]. https is true only for the
  // scheme written "https"; the port defaults to 443 or 80 by that flag; a
  // missing path is "/". False without "://", with a port that is not a
  // decimal number from 1 to 65535, with a host character outside letters,
  // digits, '-', '.' and '_', or with a control character anywhere.
  static bool parseUrl(const std::string& url, std::string& host, std::string& path, uint16_t& port,
                       bool& https);
};
