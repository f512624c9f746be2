#include "platform/FileVersion.h"
#include "platform/Locale.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include "support/TestEnv.h"

#include <array>
#include <optional>

namespace {

TEST(Paths, RootComesFromTarnfieldHomeThenXdgThenHome) {
  testsupport::ScopedEnv env;
  env.set("TARNFIELD_HOME", "/srv/tf/");
  env.set("XDG_DATA_HOME", "/data");
  env.set("HOME", "/home/u");
  EXPECT_EQ(platform::workRoot(), "/srv/tf");
  EXPECT_EQ(platform::configDir(), "/srv/tf/config");
  EXPECT_EQ(platform::logDir(), "/srv/tf/log");
  EXPECT_EQ(platform::updateDir(), "/srv/tf/Update");

  env.set("TARNFIELD_HOME", nullptr);
  EXPECT_EQ(platform::workRoot(), "/data/Tarnfield");
  env.set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(platform::workRoot(), "/home/u/.local/share/Tarnfield");
  env.set("XDG_DATA_HOME", "");
  EXPECT_EQ(platform::workRoot(), "/home/u/.local/share/Tarnfield");
}

// The first non-empty variable decides; its language and territory give the id.
TEST(Locale, MapsTheUserLocaleToItsId) {
  struct Case {
    const char* name;
    int id;
  };
  for (const Case& c : {Case{"zh_CN.UTF-8", 2052}, Case{"zh_CN", 2052}, Case{"zh_CN@pinyin", 2052},
                        Case{"ja_JP.eucJP", 1041}, Case{"en_US.UTF-8", 1033}, Case{"zh_TW.UTF-8", 1033},
                        Case{"zh_CNX", 1033}, Case{"C", 1033}, Case{"", 1033}}) {
    EXPECT_EQ(platform::localeIdFromName(c.name), c.id) << c.name;
  }
  testsupport::ScopedEnv env;
  env.set("LC_ALL", "");
  env.set("LC_MESSAGES", "ja_JP.UTF-8");
  env.set("LANG", "zh_CN.UTF-8");
  EXPECT_EQ(platform::userLocaleId(), 1041);
  env.set("LC_ALL", "zh_CN.UTF-8");
  EXPECT_EQ(platform::userLocaleId(), 2052);
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) env.set(name, nullptr);
  EXPECT_EQ(platform::userLocaleId(), 1033);
}

TEST(FileVersion, ReadsFourNumericPartsAtTheEndOfTheName) {
  struct Case {
    const char* name;
    std::optional<std::array<int, 4>> version;
  };
  const Case cases[] = {
      {"libkestrel32.so.1.16.0.0", std::array{1, 16, 0, 0}},
      {"/usr/lib/kestrel/libkestrel32.so.10.2.3.65535", std::array{10, 2, 3, 65535}},
      {"libkestrel32.so", std::nullopt},
      {"libkestrel32.so.1.16", std::nullopt},
      {"libkestrel32.so.1.16.0.x", std::nullopt},
      {"libkestrel32.so.1.16..0", std::nullopt},
      {"libkestrel32.so.1.65536.0.0", std::nullopt},
      {"lib.so.1.2.3.4.5", std::nullopt},
      {"1.2.3.4", std::nullopt},
  };
  for (const Case& c : cases) {
    auto v = platform::versionFromFileName(c.name);
    ASSERT_EQ(v.has_value(), c.version.has_value()) << c.name;
    if (v) {
      EXPECT_EQ((std::array<int, 4>{v->major, v->minor, v->build, v->revision}), *c.version) << c.name;
    }
  }
}

}  // namespace
