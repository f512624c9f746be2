#include "utils/IniFile.h"
#include "utils/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <tuple>

#include "support/TestEnv.h"

namespace fs = std::filesystem;

namespace {

// Each test gets its own working root and puts the environment back after.
class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("TARNFIELD_HOME", folder_.path().c_str());
    env_.set("KESTREL_REGISTRY", std::getenv("KESTREL_REGISTRY"));
  }
  std::string write(const std::string& name, const std::string& text) {
    testsupport::writeText(root_ / name, text);
    return folder_.file(name);
  }

  testsupport::ScopedEnv env_;
  testsupport::TempFolder folder_{"settings"};
  const fs::path& root_ = folder_.path();
};

auto fields(const SettingsRecord& r) {  // every field, to compare records whole
  return std::tie(r.TransferType, r.Printf, r.LogFile, r.LogFilePath, r.Loader, r.Name, r.Addr, r.AddrEx, r.serial);
}

TEST_F(SettingsFiles, RefreshWritesDefaultsAndSavedFieldsReadBack) {
  ASSERT_TRUE(refreshSettingsFile());
  EXPECT_EQ(settingsFilePath(), (root_ / "config" / "paramsConfig.ini").string());
  SettingsRecord r;
  EXPECT_EQ(loadSettings(r), 0);
  EXPECT_EQ(r.TransferType, 1u);
  EXPECT_EQ(r.LogFilePath, (root_ / "Log").string());
  EXPECT_EQ(r.Addr, 23374016u);

  // A line break in the name must not inject a key of its own.
  r = {4, 5, 6, "/var/log/x", 7, "evil\nTransferType=9", 0xFFFFFFFFu, 0x1234u, "/dev/ttyACM0"};
  ASSERT_TRUE(saveSettings(r));
  SettingsRecord loaded;
  loadSettings(loaded);
  r.Name = "evil TransferType=9";
  EXPECT_EQ(fields(loaded), fields(r));
}

TEST_F(SettingsFiles, ExistingFileIsLeftAlone_missingIntegersReadZeroAndTextsAreCut) {
  const std::string text = "[Settings]\nLogFile=1\nName=" + std::string(200, 'n') + "\n";
  write("config/paramsConfig.ini", text);
  ASSERT_TRUE(refreshSettingsFile());
  EXPECT_EQ(testsupport::readText(settingsFilePath()), text);
  SettingsRecord r{7, 7, 7, "p", 7, "x", 7, 7, "s"};
  loadSettings(r);
  EXPECT_EQ(fields(r), fields({0, 0, 1, "", 0, std::string(127, 'n'), 0, 0, ""}));  // a new file would hold TransferType 1
}

TEST_F(SettingsFiles, SettingsFolderMissingOrBlockedLoadsEmptyRecord) {
  fs::create_directories(root_ / "config" / "paramsConfig.ini");  // a folder where the file belongs
  EXPECT_FALSE(refreshSettingsFile());
  SettingsRecord r{3, 3, 3, "p", 3, "x", 3, 3, "s"};
  EXPECT_EQ(loadSettings(r), 0);
  EXPECT_EQ(fields(r), fields({}));
  EXPECT_FALSE(saveSettings(r));
}

TEST(IniFileCut, KeepsWithinBufferWithoutSplittingCharacters) {
  struct Case {
    const char* text;
    size_t size;
    const char* expected;
  };
  for (const Case& c : {Case{"abc", 0, ""}, Case{"abc", 1, ""}, Case{"abc", 3, "ab"}, Case{"abc", 4, "abc"},
                        Case{"a\xC3\xA9", 3, "a"}, Case{"a\xC3\xA9", 4, "a\xC3\xA9"},
                        Case{"\xE4\xB8\xAD\xE6\x96\x87", 6, "\xE4\xB8\xAD"}}) {
    EXPECT_EQ(CIniFile::cutToBuffer(c.text, c.size), c.expected) << c.text << " in " << c.size;
  }
}

TEST_F(SettingsFiles, LabelsComeFromLocaleSectionCutToTheirBuffer) {
  std::string file = write("set.ini",
                           "[CN]\nLabelConnected=\xE5\xB7\xB2\xE8\xBF\x9E\xE6\x8E\xA5\nLabelDisConnected=cn-off\n"
                           "[EN]\nLabelConnected=Connected\nLabelDisConnected=" + std::string(100, 'd') + "\n");
  auto cn = readLabels(2052, file);
  EXPECT_EQ(cn.connected, "\xE5\xB7\xB2\xE8\xBF\x9E\xE6\x8E\xA5");
  EXPECT_EQ(cn.disconnected, "cn-off");
  for (int locale : {1033, 1041}) {
    auto en = readLabels(locale, file);
    EXPECT_EQ(en.connected, "Connected");
    EXPECT_EQ(en.disconnected, std::string(79, 'd'));
  }
  EXPECT_EQ(readLabels(2052, (root_ / "missing.ini").string()).connected, "");
}

TEST_F(SettingsFiles, BrandIsQtrakOnlyForTheExactRegisteredName) {
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {"Q-TRAK J2534", true}, {"q-trak j2534", false}, {"Q-TRAK J2534 Pro", false},
      {"Kestrel", false},     {"", false},             {std::nullopt, false}};
  std::string file = (root_ / "registry.ini").string();
  env_.set("KESTREL_REGISTRY", file.c_str());
  for (const auto& [name, qtrak] : cases) {
    testsupport::writeText(file, "[SOFTWARE\\WOW6432Node\\PassThruSupport.04.04\\Kestrel]\n" +
                                     (name ? "Name=" + *name + "\n" : ""));
    EXPECT_EQ(readJ2534Name(), name.value_or("")) << name.value_or("(none)");
    EXPECT_EQ(isQtrakBrand(), qtrak) << name.value_or("(none)");
  }
}

// The version is the last four numbers of the name the library's link points
// to, each within 16 bits and after a part that is not a number.
TEST_F(SettingsFiles, FileVersionTextAlwaysLeadsWithZero) {
  for (const char* name : {"libkestrel32.so.1.16.0.0", "libold.so.10.2.3.65535", "libplain.so", "lib.so.1.16",
                           "lib.so.1.16.0.x", "lib.so.1.16..0", "lib.so.1.65536.0.0", "lib.so.1.2.3.4.5", "1.2.3.4"}) {
    write("lib/" + std::string(name), "x");
  }
  fs::create_symlink("libkestrel32.so.1.16.0.0", root_ / "lib" / "libkestrel32.so");
  struct Case {
    const char* file;
    int parts;
    const char* text;
  };
  const Case cases[] = {
      {"libkestrel32.so", 1, "01"},          {"libkestrel32.so", 3, "01.16.0"},
      {"libkestrel32.so", 0, "01.16.0.0"},   {"libold.so.10.2.3.65535", 2, "010.2"},
      {"libold.so.10.2.3.65535", 7, "010.2.3.65535"},
      {"libplain.so", 2, ""},  {"missing.so", 2, ""},      {"lib.so.1.16", 4, ""},       {"lib.so.1.16.0.x", 4, ""},
      {"lib.so.1.16..0", 4, ""}, {"lib.so.1.65536.0.0", 4, ""}, {"lib.so.1.2.3.4.5", 4, ""}, {"1.2.3.4", 4, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readFileVersion((root_ / "lib" / c.file).string(), c.parts), c.text) << c.file << " parts " << c.parts;
  }
}

}  // namespace
