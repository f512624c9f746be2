#include "platform/Locale.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include "support/TestEnv.h"

namespace {

TEST(Paths, RootComesFromTarnfieldHomeThenXdgThenHome) {
  testsupport::ScopedEnv env;
  env.set("TARNFIELD_HOME", "/srv/tf/");
  env.set("XDG_DATA_HOME", "/data");
  env.set("HOME", "/home/u");
  // The settings and log tests show the config and log folders below it.
  EXPECT_EQ(platform::workRoot(), "/srv/tf");
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
  const std::pair<const char*, int> cases[] = {{"zh_CN.UTF-8", 2052}, {"zh_CN", 2052},       {"zh_CN@pinyin", 2052},
                                               {"ja_JP.eucJP", 1041}, {"en_US.UTF-8", 1033}, {"zh_TW.UTF-8", 1033},
                                               {"zh_CNX", 1033},      {"C", 1033},           {"", 1033}};
  for (const auto& [name, id] : cases) {
    EXPECT_EQ(platform::localeIdFromName(name), id) << name;
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

}  // namespace
