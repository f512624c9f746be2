#include "utils/CLogUtils.h"

#include "platform/Paths.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "support/TestEnv.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kStamp = "20240102030405";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Entry {
  std::string name;
  std::string data;
};

// The single entry of a one-file archive, read back with minizip.
std::optional<Entry> onlyEntry(const fs::path& archive) {
  unzFile zf = unzOpen64(archive.c_str());
  if (!zf) return std::nullopt;
  std::optional<Entry> out;
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zf, &global) == UNZ_OK && global.number_entry == 1 && unzGoToFirstFile(zf) == UNZ_OK) {
    char name[256] = {};
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zf, &info, name, sizeof name, nullptr, 0, nullptr, 0) == UNZ_OK &&
        unzOpenCurrentFile(zf) == UNZ_OK) {
      std::string data(info.uncompressed_size, '\0');
      int n = unzReadCurrentFile(zf, data.data(), static_cast<unsigned>(data.size()));
      if (unzCloseCurrentFile(zf) == UNZ_OK && n == static_cast<int>(data.size())) out = Entry{name, data};
    }
  }
  unzClose(zf);
  return out;
}

std::vector<std::string> names(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class LogTidy : public ::testing::Test {
 protected:
  void put(const std::string& name, const std::string& text, int ageSeconds = 0) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    fs::last_write_time(dir_ / name, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
  }

  testsupport::TempFolder folder_{"logtidy"};
  const fs::path& dir_ = folder_.path();
};

TEST_F(LogTidy, KeepsTheFiveArchivesWithTheLargestNames) {
  for (const char* stamp : {"20240101000007", "20240101000001", "20240101000005", "20240101000003",
                            "20240101000002", "20240101000006", "20240101000004"}) {
    put(std::string("Tarnfield_") + stamp + ".log.zip", "z");
  }
  put("Tarnfield.log", "current");
  EXPECT_EQ(CLogUtils::tidyLogFolder(dir_.string()), 0);
  EXPECT_EQ(names(dir_), (std::vector<std::string>{
                             "Tarnfield.log", "Tarnfield_20240101000003.log.zip", "Tarnfield_20240101000004.log.zip",
                             "Tarnfield_20240101000005.log.zip", "Tarnfield_20240101000006.log.zip",
                             "Tarnfield_20240101000007.log.zip"}));
}

TEST_F(LogTidy, RolledFilesOfOneSecondGetArchivesOfTheirOwnInAgeOrder) {
  std::string big;
  for (int i = 0; big.size() < 300 * 1024; ++i) big += "line " + std::to_string(i * 7919) + "\n";
  put("Tarnfield.log", "current");
  put("Tarnfield.log.1", big, 10);
  put("Tarnfield.log.2", "older backup", 20);
  put("Tarnfield.log.3", "oldest backup", 30);

  EXPECT_EQ(CLogUtils::tidyLogFolder(dir_.string(), kStamp), 3);

  const std::vector<std::string> expected = {"Tarnfield.log", "Tarnfield_20240102030405.log.zip",
                                             "Tarnfield_20240102030405_01.log.zip",
                                             "Tarnfield_20240102030405_02.log.zip"};
  ASSERT_EQ(names(dir_), expected);
  const std::string contents[] = {"oldest backup", "older backup", big};
  for (int i = 0; i < 3; ++i) {
    auto entry = onlyEntry(dir_ / expected[i + 1]);
    ASSERT_TRUE(entry) << expected[i + 1];
    EXPECT_EQ(entry->name, expected[i + 1].substr(0, expected[i + 1].size() - 4));
    EXPECT_EQ(entry->data, contents[i]);
  }
  EXPECT_EQ(slurp(dir_ / "Tarnfield.log"), "current");
}

TEST_F(LogTidy, ArchiveFromAnEarlierStartIsNeverReplaced) {
  put("Tarnfield_20240102030405.log.zip", "earlier archive");
  put("Tarnfield.log.1", "rolled");
  EXPECT_EQ(CLogUtils::tidyLogFolder(dir_.string(), kStamp), 1);
  EXPECT_EQ(slurp(dir_ / "Tarnfield_20240102030405.log.zip"), "earlier archive");
  auto entry = onlyEntry(dir_ / "Tarnfield_20240102030405_01.log.zip");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->data, "rolled");
  EXPECT_FALSE(fs::exists(dir_ / "Tarnfield.log.1"));
}

TEST_F(LogTidy, OnlyRolledRegularFilesAreArchived) {
  put("Tarnfield.log.1.zip", "not a log");
  put("other.log.1", "not ours");
  fs::create_directories(dir_ / "Tarnfield.log.dir");
  fs::create_symlink("/etc/hostname", dir_ / "Tarnfield.log.9");
  EXPECT_EQ(CLogUtils::tidyLogFolder(dir_.string(), kStamp), 0);
  EXPECT_EQ(names(dir_),
            (std::vector<std::string>{"Tarnfield.log.1.zip", "Tarnfield.log.9", "Tarnfield.log.dir", "other.log.1"}));
}

// Install in an empty working folder: the default properties are written to
// the root, the file appender writes into <root>/log, and an old roll-over is
// archived.
class LogInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("TARNFIELD_HOME", root_.c_str());
    cwd_ = fs::current_path();
    work_ = root_ / "cwd";
    fs::create_directories(work_);
    fs::current_path(work_);
  }
  void TearDown() override { fs::current_path(cwd_); }

  testsupport::ScopedEnv env_;
  testsupport::TempFolder folder_{"loginstall"};
  const fs::path& root_ = folder_.path();
  fs::path cwd_, work_;
};

TEST_F(LogInstall, WritesDefaultPropertiesAndLogsIntoTheRootLogFolder) {
  fs::create_directories(root_ / "log");
  std::ofstream(root_ / "log" / "Tarnfield.log.4") << "old run";

  CLogUtils::instance().Install();

  EXPECT_EQ(slurp(root_ / "log4cplus.properties"), CLogUtils::defaultProperties());
  EXPECT_NE(slurp(root_ / "log" / "Tarnfield.log").find("start log time : "), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "log" / "Tarnfield.log.4"));
  int archives = 0;
  for (const auto& e : fs::directory_iterator(root_ / "log")) {
    if (e.path().extension() == ".zip") ++archives;
  }
  EXPECT_EQ(archives, 1);
}

TEST_F(LogInstall, PropertiesInTheWorkingFolderComeFirst) {
  std::ofstream(work_ / "log4cplus.properties")
      << "log4cplus.rootLogger=INFO, F\n"
         "log4cplus.appender.F=log4cplus::FileAppender\n"
         "log4cplus.appender.F.File=" << (work_ / "here.log").string() << "\n"
         "log4cplus.appender.F.layout=log4cplus::PatternLayout\n"
         "log4cplus.appender.F.layout.ConversionPattern=%m%n\n";

  CLogUtils::instance().Install();

  EXPECT_EQ(slurp(work_ / "here.log").rfind("start log time : ", 0), 0u);
  EXPECT_FALSE(fs::exists(root_ / "log4cplus.properties"));
}

TEST(LogDefaults, ShippedPropertiesMatchTheEmbeddedCopy) {
  // The build copies config/log4cplus.properties to its top folder, one above this program.
  const char* build = std::getenv("KESTREL_BUILD_DIR");
  fs::path top = build ? fs::path(build) : fs::path(platform::programDir()).parent_path();
  fs::path shipped = top / "log4cplus.properties";
  ASSERT_TRUE(fs::exists(shipped));
  EXPECT_EQ(slurp(shipped), CLogUtils::defaultProperties());
}

}  // namespace
