#include "utils/ServiceEndpoints.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

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

// The variable wins, then the working root's file, then the machine's.
TEST(ServiceEndpoints, readPath_variableThenRootThenSystemFile) {
  testsupport::TempFolder folder("services-order");
  testsupport::ScopedEnv env;
  env.set("TARNFIELD_HOME", folder.file("root").c_str());
  const std::string variable = folder.file("env.ini");
  const std::string root = folder.file("root/config/services.ini");
  const std::string system = folder.file("etc/services.ini");
  struct Case {
    bool variableSet, rootFile, systemFile;
    std::string expected;
  };
  const Case cases[] = {
      {true, true, true, variable},    {true, false, true, variable}, {false, true, true, root},
      {false, false, true, system},    {false, true, false, root},    {false, false, false, root},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(folder.path());
    if (c.rootFile) testsupport::writeText(root, "[Services]\n");
    if (c.systemFile) testsupport::writeText(system, "[Services]\nFirmwareInfoUrl=http://127.0.0.1:9/f\n");
    env.set("KESTREL_SERVICES", c.variableSet ? variable.c_str() : nullptr);
    EXPECT_EQ(readServiceEndpointsPath(system), c.expected)
        << c.variableSet << c.rootFile << c.systemFile;
  }
}
