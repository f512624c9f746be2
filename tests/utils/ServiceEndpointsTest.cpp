#include "utils/ServiceEndpoints.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/TestEnv.h"

namespace fs = std::filesystem;

namespace {

fs::path home() { return fs::path(std::getenv("TARNFIELD_HOME")); }

}  // namespace

TEST(ServiceEndpoints, savedFile_loadsBackAndALineBreakCannotAddKeys) {
  testsupport::ScopedEnv env;
  env.set("KESTREL_SERVICES", nullptr);

  ServiceEndpoints written;
  written.softListUrl = "http://127.0.0.1:4100/api/api/publicSoftInfo/getPublicSoftListBySn";
  written.soapNamespace = "https://ns.example.test/device";
  written.firmwareInfoUrl = "http://127.0.0.1:4100/tools/firmwareInfo";
  written.systemPackageHost = "http://127.0.0.1:4102";
  ASSERT_EQ(saveServiceEndpoints(serviceEndpointsPath(), written), 0);  // creates config/
  ServiceEndpoints read = loadServiceEndpoints();
  EXPECT_EQ(read.softListUrl, written.softListUrl);
  EXPECT_EQ(read.soapNamespace, written.soapNamespace);
  EXPECT_EQ(read.firmwareInfoUrl, written.firmwareInfoUrl);
  EXPECT_EQ(read.systemPackageHost, written.systemPackageHost);

  ServiceEndpoints broken = written;
  broken.firmwareInfoUrl = "http://x/\r\n[Services]";
  EXPECT_EQ(saveServiceEndpoints(serviceEndpointsPath(), broken), EINVAL);
  EXPECT_EQ(loadServiceEndpoints().firmwareInfoUrl, written.firmwareInfoUrl);
}

TEST(ServiceEndpoints, missingFileOrKey_leavesFieldsEmpty) {
  ServiceEndpoints none = loadServiceEndpoints((home() / "no-such.ini").string());
  EXPECT_TRUE(none.softListUrl.empty());
  EXPECT_TRUE(none.systemPackageHost.empty());

  fs::path partial = home() / "partial.ini";
  std::ofstream(partial) << "[Other]\nSoftListUrl=http://wrong/\n[services]\nsoftlisturl = http://127.0.0.1:1/x\n";
  ServiceEndpoints some = loadServiceEndpoints(partial.string());
  EXPECT_EQ(some.softListUrl, "http://127.0.0.1:1/x");
  EXPECT_TRUE(some.softListUrlCN.empty());
  EXPECT_TRUE(some.versionServiceUrl.empty());
}
