#include <gtest/gtest.h>

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "WebServices.h"
#include "platform/Clock.h"

using namespace std::chrono_literals;

namespace {

struct HttpResult {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
};

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

HttpResult http(const std::string& url, const std::string* postBody = nullptr, long timeoutMs = 5000) {
  HttpResult result;
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
  if (postBody) curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, postBody->c_str());
  result.code = curl_easy_perform(curl.get());
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &result.status);
  return result;
}

class WebServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setTimeScale(0.05);
    config_.servicesFile = ::testing::TempDir() + "/sim-services.ini";
    config_.serials = {"5RHM10000001", "744443100001"};
  }
  void TearDown() override { platform::setTimeScale(1.0); }
  sim::WebConfig config_;
};

const std::string kSoftList = "/api/api/publicSoftInfo/getPublicSoftListBySn";

}  // namespace

TEST_F(WebServicesTest, Faults_failTheScriptedRequestsOnly) {
  sim::WebServices web(config_);
  ASSERT_TRUE(web.start());
  std::string body = R"({"sn":"5RHM10000001"})";
  std::string url = web.baseUrl() + kSoftList;

  web.addFault({.kind = sim::WebFaultKind::NotFound, .path = kSoftList, .when = sim::Occurrence::nth(1)});
  HttpResult first = http(url, &body);
  EXPECT_EQ(first.status, 404);
  EXPECT_NE(first.body.find("<html>"), std::string::npos);
  EXPECT_EQ(http(url, &body).status, 200);

  web.clearFaults();
  web.addFault({.kind = sim::WebFaultKind::ServerError, .path = "/cn/*"});
  EXPECT_EQ(http(web.baseUrl() + "/cn" + kSoftList, &body).status, 500);

  web.addFault({.kind = sim::WebFaultKind::Truncated, .path = kSoftList});
  EXPECT_EQ(http(url, &body).code, CURLE_PARTIAL_FILE);

  // 6000 ms scaled to 300 ms: a 100 ms client gives up, a patient one does not.
  web.clearFaults();
  web.addFault({.kind = sim::WebFaultKind::Slow, .path = kSoftList});
  EXPECT_EQ(http(url, &body, 100).code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(http(url, &body, 5000).status, 200);
  EXPECT_EQ(web.hits(kSoftList), 5u);
}

TEST(SimFaultSyntax, ParsesTheCommandLineForms) {
  struct Case {
    const char* text;
    bool ok;
    sim::FaultKind kind;
    uint8_t command, sub;
    sim::Occurrence::Kind when;
    unsigned n;
  };
  using K = sim::Occurrence::Kind;
  for (const Case& c : {Case{"noreply:2403:3", true, sim::FaultKind::NoReply, 0x24, 0x03, K::Nth, 3},
                        Case{"late:2105:2+:2500", true, sim::FaultKind::LateReply, 0x21, 0x05, K::FromNth, 2},
                        Case{"refused:2c05:*:0x05", true, sim::FaultKind::RefusedStatus, 0x2C, 0x05, K::Every, 1},
                        Case{"silent:2133", true, sim::FaultKind::NoReply, 0x21, 0x33, K::Every, 1},
                        Case{"noreply:213:1", false, {}, 0, 0, K::Every, 0},
                        Case{"noreply:2133:0", false, {}, 0, 0, K::Every, 0},
                        Case{"dup:2133:1:7", true, sim::FaultKind::DuplicateReply, 0x21, 0x33, K::Nth, 1},
                        Case{"badsum:2133:1:7", false, {}, 0, 0, K::Every, 0},
                        Case{"refused:2133:1:256", false, {}, 0, 0, K::Every, 0},
                        Case{"unknown:2133:1", false, {}, 0, 0, K::Every, 0}}) {
    SCOPED_TRACE(c.text);
    sim::Fault fault;
    ASSERT_EQ(sim::parseFault(c.text, fault), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(fault.kind, c.kind);
    EXPECT_EQ(fault.command, c.command);
    EXPECT_EQ(fault.subCommand, c.sub);
    EXPECT_EQ(fault.when.kind, c.when);
    EXPECT_EQ(fault.when.n, c.n);
  }
  sim::Fault refused;
  ASSERT_TRUE(sim::parseFault("refused:2c05:*:0x05", refused));
  EXPECT_EQ(refused.status, 5);
}
