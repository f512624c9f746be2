#include "utils/ServiceEndpoints.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/TestEnv.h"

// The virtual web services write this file and every online test reads it back;
// here only what they never do.
TEST(ServiceEndpoints, lineBreakInAValueRefused_missingKeyLeftEmpty) {
  testsupport::TempFolder folder("services");
  const std::string path = folder.file("config/services.ini");
  ServiceEndpoints written;
  written.firmwareInfoUrl = "http://127.0.0.1:4100/tools/firmwareInfo";
  ASSERT_EQ(saveServiceEndpoints(path, written), 0);  // creates config/
  ServiceEndpoints broken = written;
  broken.firmwareInfoUrl = "http://x/\r\n[Services]";
  EXPECT_EQ(saveServiceEndpoints(path, broken), EINVAL);
  EXPECT_EQ(loadServiceEndpoints(path).firmwareInfoUrl, written.firmwareInfoUrl);

  testsupport::writeText(folder.file("partial.ini"),
                         "[Other]\nSoftListUrl=http://wrong/\n[services]\nsofturl = x\nsoftlisturl = http://127.0.0.1:1/x\n");
  ServiceEndpoints some = loadServiceEndpoints(folder.file("partial.ini"));
  EXPECT_EQ(some.softListUrl, "http://127.0.0.1:1/x");
  EXPECT_TRUE(some.softListUrlCN.empty());
  EXPECT_TRUE(some.versionServiceUrl.empty());
}
