#include "utils/CLogUtils.h"
#include "utils/ZipUtils.h"

#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "support/TestEnv.h"

namespace fs = std::filesystem;
using testsupport::readText;
using Names = std::vector<std::string>;

namespace {

constexpr const char* kStamp = "20240102030405";

// The archive's one entry as name and contents, read back by the product's unpacker.
std::pair<std::string, std::string> onlyEntry(const fs::path& archive) {
  testsupport::TempFolder out("logzip");
  if (ziputils::unzipToFolder(archive.string(), out.path().string()) != 0) return {"unreadable", ""};
  Names names = testsupport::treeOf(out.path().string());
  if (names.size() != 1) return {"entries: " + std::to_string(names.size()), ""};
  return {names[0], readText(out.path() / names[0])};
}

class LogTidy : public ::testing::Test {
 protected:
  void put(const std::string& name, const std::string& text, int ageSeconds = 0) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    fs::last_write_time(dir_ / name, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
  }
  Names names() const {
    Names out;
    for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  testsupport::TempFolder folder_{"logtidy"};
  const fs::path& dir_ = folder_.path();
};

TEST_F(LogTidy, KeepsTheFiveArchivesWithTheLargestNames) {
  auto archive = [](int second) { return "Tarnfield_2024010100000" + std::to_string(second) + ".log.zip"; };
  for (int second : {7, 1, 5, 3, 2, 6, 4}) put(archive(second), "z");
  put("Tarnfield.log", "current");
  EXPECT_EQ(CLogUtils::tidyLogFolder(dir_.string()), 0);
  EXPECT_EQ(names(), (Names{"Tarnfield.log", archive(3), archive(4), archive(5), archive(6), archive(7)}));
}

// Rolled files of one second get archives of their own, oldest first; an
// archive from an earlier start is never replaced.
TEST_F(LogTidy, RolledFilesGetArchivesOfTheirOwnInAgeOrder) {
  std::string big;
  for (int i = 0; big.size() < 300 * 1024; ++i) big += "line " + std::to_string(i * 7919) + "\n";
  put("Tarnfield.log", "current");
  put("Tarnfield_20240102030405.log.zip", "earlier archive");
  put("Tarnfield.log.1", big, 10);
  put("Tarnfield.log.2", "older backup", 20);
  put("Tarnfield.log.3", "oldest backup", 30);

  EXPECT_EQ(CLogUtils::tidyLogFolder(dir_.string(), kStamp), 3);

  const Names expected = {"Tarnfield.log", "Tarnfield_20240102030405.log.zip", "Tarnfield_20240102030405_01.log.zip",
                          "Tarnfield_20240102030405_02.log.zip", "Tarnfield_20240102030405_03.log.zip"};
  ASSERT_EQ(names(), expected);
  EXPECT_EQ(readText(dir_ / expected[1]), "earlier archive");
  const std::string contents[] = {"oldest backup", "older backup", big};
  for (int i = 0; i < 3; ++i) {
    const std::string& archive = expected[i + 2];
    EXPECT_EQ(onlyEntry(dir_ / archive), std::make_pair(archive.substr(0, archive.size() - 4), contents[i]));
  }
  EXPECT_EQ(readText(dir_ / "Tarnfield.log"), "current");
}

TEST_F(LogTidy, OnlyRolledRegularFilesAreArchived) {
  put("Tarnfield.log.1.zip", "not a log");
  put("other.log.1", "not ours");
  fs::create_directories(dir_ / "Tarnfield.log.dir");
  fs::create_symlink("/etc/hostname", dir_ / "Tarnfield.log.9");
  EXPECT_EQ(CLogUtils::tidyLogFolder(dir_.string(), kStamp), 0);
  EXPECT_EQ(names(), (Names{"Tarnfield.log.1.zip", "Tarnfield.log.9", "Tarnfield.log.dir", "other.log.1"}));
}

// Install in an empty working folder: the default properties are written to
// the root, the file appender writes into <root>/log, and an old roll-over is
// archived under fourteen digits of local time; properties in the working folder come first.
class LogInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("TARNFIELD_HOME", root_.c_str());
    fs::create_directories(work_);
    fs::current_path(work_);
  }
  void TearDown() override { fs::current_path(cwd_); }

  testsupport::ScopedEnv env_;
  testsupport::TempFolder folder_{"loginstall"};
  const fs::path& root_ = folder_.path();
  const fs::path cwd_ = fs::current_path();
  const fs::path work_ = root_ / "cwd";
};

TEST_F(LogInstall, WritesDefaultPropertiesAndLogsIntoTheRootLogFolder) {
  auto archive = [](std::time_t t) {
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", std::localtime(&t));
    return "Tarnfield_" + std::string(stamp) + ".log.zip";
  };
  testsupport::writeText(root_ / "log" / "Tarnfield.log.4", "old run");
  const std::time_t before = std::time(nullptr);
  CLogUtils::instance().Install();
  EXPECT_EQ(readText(root_ / "log4cplus.properties"), CLogUtils::defaultProperties());
  EXPECT_NE(readText(root_ / "log" / "Tarnfield.log").find("start log time : "), std::string::npos);
  Names logs = testsupport::treeOf((root_ / "log").string());
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0], "Tarnfield.log");
  EXPECT_TRUE(logs[1] == archive(before) || logs[1] == archive(std::time(nullptr))) << logs[1];
  EXPECT_EQ(onlyEntry(root_ / "log" / logs[1]).second, "old run");
}

TEST_F(LogInstall, PropertiesInTheWorkingFolderComeFirst) {
  std::ofstream(work_ / "log4cplus.properties")
      << "log4cplus.rootLogger=INFO, F\n"
         "log4cplus.appender.F=log4cplus::FileAppender\n"
         "log4cplus.appender.F.File=" << (work_ / "here.log").string() << "\n"
         "log4cplus.appender.F.layout=log4cplus::PatternLayout\n"
         "log4cplus.appender.F.layout.ConversionPattern=%m%n\n";
  CLogUtils::instance().Install();
  EXPECT_EQ(readText(work_ / "here.log").rfind("start log time : ", 0), 0u);
  EXPECT_FALSE(fs::exists(root_ / "log4cplus.properties"));
}

TEST(LogDefaults, ShippedPropertiesMatchTheEmbeddedCopy) {
  // The build copies config/log4cplus.properties to its top folder, one above this program.
  const char* build = std::getenv("KESTREL_BUILD_DIR");
  fs::path shipped = (build ? fs::path(build) : fs::path(platform::programDir()).parent_path()) / "log4cplus.properties";
  ASSERT_TRUE(fs::exists(shipped));
  EXPECT_EQ(readText(shipped), CLogUtils::defaultProperties());
}

}  // namespace
