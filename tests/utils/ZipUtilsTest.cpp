#include "utils/ZipUtils.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <vector>

#include "support/TestEnv.h"
#include "support/ZipMaker.h"

namespace fs = std::filesystem;

namespace {

using testsupport::readText;
using testsupport::writeText;
using testsupport::ZipItem;

void makeZip(const fs::path& path, const std::vector<ZipItem>& items) { ASSERT_TRUE(testsupport::writeZip(path, items)); }

std::vector<std::string> treeOf(const fs::path& root) { return testsupport::treeOf(root.string()); }

class ZipUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(root_ / "sandbox"); }

  fs::path package() const { return root_ / "pkg.zip"; }
  fs::path target() const { return root_ / "sandbox" / "out"; }

  testsupport::TempFolder folder_{"zip"};
  const fs::path& root_ = folder_.path();
};

}  // namespace

TEST_F(ZipUtilsTest, nestedPackage_isExtractedUnderStoredNames) {
  makeZip(package(), {
                         {"Download\\DOWNLOAD.BIN", std::string(300000, '\x5a')},
                         {"docs/readme.txt", "read me"},
                         {"empty/", ""},
                         {"./flat.txt", "flat"},
                         {"tool.sh", "#!/bin/sh\n", S_IFREG | 0755},
                     });
  ASSERT_EQ(ziputils::unzipToFolder(package().string(), target().string()), 0);
  EXPECT_EQ(treeOf(target()), (std::vector<std::string>{"Download", "Download/DOWNLOAD.BIN", "docs", "docs/readme.txt",
                                                        "empty", "flat.txt", "tool.sh"}));
  EXPECT_EQ(readText(target() / "Download/DOWNLOAD.BIN"), std::string(300000, '\x5a'));
  EXPECT_EQ(readText(target() / "tool.sh"), "#!/bin/sh\n");

  // A second package over the same folder replaces what the first left.
  makeZip(package(), {{"docs/readme.txt", "v2"}});
  ASSERT_EQ(ziputils::unzipToFolder(package().string(), target().string()), 0);
  EXPECT_EQ(readText(target() / "docs/readme.txt"), "v2");
}

TEST_F(ZipUtilsTest, hostilePackage_failsAndWritesNothing) {
  std::string absolute = (root_ / "abs-evil.txt").string();
  struct Case {
    const char* what;
    std::vector<ZipItem> items;
    ziputils::UnzipLimits limits;
    int expected;
  };
  std::vector<ZipItem> six(6, ZipItem{"", "x"});
  for (size_t i = 0; i < six.size(); ++i) six[i].name = "f" + std::to_string(i);

  const Case cases[] = {
      {"parent", {{"ok.txt", "fine"}, {"../evil.txt", "evil"}}, {}, ziputils::kUnsafeEntry},
      {"parent inside", {{"ok.txt", "fine"}, {"a/../../evil.txt", "evil"}}, {}, ziputils::kUnsafeEntry},
      {"parent backslash", {{"..\\evil.txt", "evil"}}, {}, ziputils::kUnsafeEntry},
      {"absolute", {{absolute, "evil"}}, {}, ziputils::kUnsafeEntry},
      {"drive letter", {{"C:\\evil.txt", "evil"}}, {}, ziputils::kUnsafeEntry},
      {"drive relative", {{"c:evil.txt", "evil"}}, {}, ziputils::kUnsafeEntry},
      {"symlink", {{"ok.txt", "fine"}, {"link", "../../..", S_IFLNK | 0777}}, {}, ziputils::kUnsafeEntry},
      {"fifo", {{"pipe", "", S_IFIFO | 0644}}, {}, ziputils::kUnsafeEntry},
      {"too many entries", six, {.maxEntries = 5}, ziputils::kTooManyEntries},
      {"declared total", {{"a", std::string(600, 'a')}, {"b", std::string(600, 'b')}}, {.maxTotalBytes = 1000},
       ziputils::kTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    makeZip(package(), c.items);
    EXPECT_EQ(ziputils::unzipToFolder(package().string(), target().string(), c.limits), c.expected);
    EXPECT_EQ(treeOf(root_ / "sandbox"), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(root_ / "evil.txt"));
    EXPECT_FALSE(fs::exists(absolute));
  }
}

TEST_F(ZipUtilsTest, inflatedSizeNotAsAllowedOrDeclared_failsAndLeavesNoFile) {
  struct Case {
    const char* what;
    std::vector<ZipItem> items;
    ziputils::UnzipLimits limits;
  };
  const Case cases[] = {
      // 2 MiB of zeros deflates about 1000:1.
      {"ratio", {{"bomb.bin", std::string(2u << 20, '\0')}}, {.maxRatio = 100}},
      // The header understates the size, so only the bytes as inflated tell.
      {"understated size", {{"big.bin", std::string(5000, 'q'), 0, 50}}, {.maxTotalBytes = 100}},
      {"overstated size", {{"short.bin", std::string(100, 's'), 0, 5000}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    makeZip(package(), c.items);
    EXPECT_NE(ziputils::unzipToFolder(package().string(), target().string(), c.limits), 0);
    EXPECT_EQ(treeOf(target()), std::vector<std::string>{});
  }
}

TEST_F(ZipUtilsTest, linkAlreadyInTheFolder_isNotFollowed) {
  fs::path outside = root_ / "outside";
  fs::create_directories(outside);
  fs::create_directories(target());
  fs::create_directory_symlink(outside, target() / "link");
  makeZip(package(), {{"link/evil.txt", "evil"}});
  EXPECT_EQ(ziputils::unzipToFolder(package().string(), target().string()), ziputils::kWriteFailed);
  EXPECT_EQ(treeOf(outside), std::vector<std::string>{});

  fs::remove(target() / "link");
  fs::create_symlink(outside / "victim.txt", target() / "file.txt");
  makeZip(package(), {{"file.txt", "evil"}});
  EXPECT_EQ(ziputils::unzipToFolder(package().string(), target().string()), ziputils::kWriteFailed);
  EXPECT_FALSE(fs::exists(outside / "victim.txt"));
}

TEST_F(ZipUtilsTest, notAnArchive_failsBeforeMakingTheFolder) {
  writeText(package(), "this is not a zip file at all");
  EXPECT_EQ(ziputils::unzipToFolder(package().string(), target().string()), ziputils::kOpenFailed);
  EXPECT_EQ(ziputils::unzipToFolder((root_ / "missing.zip").string(), target().string()), ziputils::kOpenFailed);
  EXPECT_FALSE(fs::exists(target()));
}

TEST_F(ZipUtilsTest, findFileByNameAndRemoveTree_followNoLink) {
  fs::path work = root_ / "Temp";
  writeText(work / ".hidden" / "system.ini", "hidden");
  writeText(work / "b" / "system.ini", "b");
  writeText(work / "a" / "x" / "system.ini", "a/x");
  writeText(work / "a" / "system.ini.bak", "not it");
  fs::create_directories(work / "a" / "system.zip");  // a folder, not the file
  writeText(root_ / "elsewhere" / "system.zip", "outside");
  fs::create_directory_symlink(root_ / "elsewhere", work / "0link");

  EXPECT_EQ(ziputils::findFileByName(work.string(), "system.ini"), (work / "a" / "x" / "system.ini").string());
  EXPECT_EQ(ziputils::findFileByName(work.string(), "system.zip"), "");
  EXPECT_EQ(ziputils::findFileByName((root_ / "nowhere").string(), "system.ini"), "");

  EXPECT_EQ(ziputils::removeTree(work.string()), 0);
  EXPECT_FALSE(fs::exists(work));
  EXPECT_EQ(readText(root_ / "elsewhere" / "system.zip"), "outside");
  EXPECT_EQ(ziputils::removeTree(work.string()), 0);
}
