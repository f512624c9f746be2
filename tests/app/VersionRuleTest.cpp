#include <gtest/gtest.h>

#include <tuple>

#include "app/VersionRule.h"

namespace {

TEST(CompareVersions, OrdersDottedPartsByNumber) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"2.10", "2.9", 1},      {"V2.10", "2.9", 1},  {"V1.20", "V1.20", 0}, {"1.2", "1.2.0", 0},
      {"1.2", "1.2.1", -1},    {"01.5", "1.5", 0},   {"1.10a", "1.10b", -1}, {"1.x", "1.9", 1},
      {"99999999999999999999.1", "99999999999999999998.9", 1},
  };
  for (auto [a, b, order] : cases) {
    EXPECT_EQ(compareVersions(a, b), order) << a << " vs " << b;
    EXPECT_EQ(compareVersions(b, a), -order) << b << " vs " << a;
  }
  EXPECT_FALSE(isNewerVersion("", "1.0"));
}

// Only an upgrade is offered unasked; force offers every verdict.
TEST(VersionRule, OnlyANewerVersionOnlineIsOffered) {
  using V = VersionVerdict;
  struct Case {
    const char* current;
    const char* latest;
    const char* systemPackage;  // nullptr: a firmware image
    V verdict;
  };
  const Case cases[] = {
      {"V2.10", "V2.20", nullptr, V::Upgrade},
      {"V2.9", "2.10", nullptr, V::Upgrade},
      {"V2.20", "2.20", nullptr, V::UpToDate},
      {"V1.30", "V1.20", nullptr, V::NewerThanOnline},
      {"V1.20", "", nullptr, V::LatestUnknown},
      {"", "V1.20", nullptr, V::CurrentUnknown},
      // The system: the service answers a build, or the package name when nothing is newer.
      {"205", "206", "V3.10", V::Upgrade},
      {"205", "V3.10", "V3.10", V::UpToDate},
      {"205", "205", "V3.10", V::UpToDate},
      {"300", "206", "V3.10", V::NewerThanOnline},
      {"205", "", "V3.10", V::LatestUnknown},
  };
  for (const Case& c : cases) {
    SoftwareSlot slot;
    slot.version = c.current;
    slot.latestVersion = c.latest;
    slot.packageName = c.systemPackage ? c.systemPackage : "";
    const V verdict = c.systemPackage ? judgeSystem(slot) : judgeVersion(slot.version, slot.latestVersion);
    EXPECT_EQ(verdict, c.verdict) << c.current << " -> " << c.latest;
    EXPECT_EQ(isOffered(verdict, false), c.verdict == V::Upgrade) << c.current << " -> " << c.latest;
    EXPECT_TRUE(isOffered(verdict, true));
  }
}

}  // namespace
