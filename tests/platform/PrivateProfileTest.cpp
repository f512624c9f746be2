#include "platform/PrivateProfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "support/TestEnv.h"

namespace fs = std::filesystem;
using platform::findProfileValue;
using platform::setProfileValues;
using testsupport::readText;
using testsupport::writeText;

namespace {

const std::string kLongLine = "k=" + std::string(platform::kMaxProfileLine, 'x');

TEST(ProfileBuffer, FindsValueAsTheSettingsFilesAreRead) {
  struct Case {
    const char* label;
    std::string text;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"names ignore case", "[Settings]\nTransferType=3\n", "settings", "TRANSFERTYPE", "3"},
      {"blanks trimmed", "[ S ]\n \t k  =  v w \t\n", "S", "k", "v w"},
      {"quotes removed", "[S]\nk=\"  x \"\n", "S", "k", "  x "},
      {"unmatched quote kept", "[S]\nk=\"x\n", "S", "k", "\"x"},
      {"empty value present", "[S]\nk=\n", "S", "k", ""},
      {"equals in value", "[S]\nk=a=b\n", "S", "k", "a=b"},
      {"other section", "[T]\nk=1\n[S]\nj=2\n", "S", "k", std::nullopt},
      {"before any section", "k=1\n[S]\n", "S", "k", std::nullopt},
      {"comment", "[S]\n;k=1\n#k=2\n", "S", "k", std::nullopt},
      {"line without equals", "[S]\nk\n", "S", "k", std::nullopt},
      {"crlf", "[S]\r\nk=v\r\n", "S", "k", "v"},
      {"utf8 mark", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
      {"no final newline", "[S]\nk=v", "S", "k", "v"},
      {"first duplicate wins", "[S]\nk=1\nk=2\n", "S", "k", "1"},
      {"repeated section searched", "[S]\na=1\n[T]\n[s]\nk=2\n", "S", "k", "2"},
      {"overlong line ignored", "[S]\n" + kLongLine + "\nk=ok\n", "S", "k", "ok"},
      {"overlong header ignored", "[S]\n[" + std::string(5000, 'T') + "]\nk=1\n", "S", "k", "1"},
      {"empty key never matches", "[S]\n=1\n", "S", "", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(findProfileValue(c.text, c.section, c.key), c.expected) << c.label;
  }
}

TEST(ProfileBuffer, SetChangesOnlyTheKey) {
  struct Case {
    const char* label;
    std::string before;
    const char* key;
    const char* value;
    std::string after;
  };
  const Case cases[] = {
      {"replace keeps the rest", "; head\n[S]\na=1\nb=2\n[T]\nb=9\n", "b", "5", "; head\n[S]\na=1\nb=5\n[T]\nb=9\n"},
      {"replace ignores case", "[s]\nKEY = 1\n", "key", "2", "[s]\nkey=2\n"},
      {"add at end of section", "[S]\na=1\n\n[T]\nx=1\n", "b", "2", "[S]\na=1\nb=2\n\n[T]\nx=1\n"},
      {"add after header without newline", "[S]", "k", "v", "[S]\nk=v\n"},
      {"append section", "[T]\nx=1", "k", "v", "[T]\nx=1\n\n[S]\nk=v\n"},
      {"create from nothing", "", "k", "v", "[S]\nk=v\n"},
      {"keep crlf", "[S]\r\na=1\r\n", "b", "2", "[S]\r\na=1\r\nb=2\r\n"},
      {"replace in crlf", "[S]\r\na=1\r\nb=2\r\n", "a", "3", "[S]\r\na=3\r\nb=2\r\n"},
      // A last line ending in a bare CR gets only the LF, or the CR joins its name.
      {"add after header ending in cr", "\r\n[S\t\r", "k", "v", "\r\n[S\t\r\nk=v\r\n"},
      {"append after line ending in cr", "[T]\r", "k", "v", "[T]\r\n\n[S]\nk=v\n"},
      {"overlong line kept", "[S]\n" + kLongLine + "\n", "k", "v", "[S]\n" + kLongLine + "\nk=v\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto out = setProfileValues(c.before, "S", {{c.key, c.value}});
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, c.after);
    EXPECT_EQ(findProfileValue(*out, "S", c.key), std::string(c.value));
  }
}

TEST(ProfileSetRejects, NamesAndValuesThatWouldBreakTheFile) {
  const std::string text = "[S]\na=1\n";
  // Section, key, value.
  const char* bad[][3] = {{"S", "a", "1\nTransferType=4"}, {"S", "a", "x\ry"}, {"S", "a=b", "1"}, {"S", "[T]", "1"},
                          {"S", ";a", "1"},  {"S", " ", "1"},   {"", "a", "1"},    {"S]x", "a", "1"},
                          {"S\n", "a", "1"}, {"S", "\ta", "1"}, {"S", "a ", "1"},  {" S", "a", "1"}};
  for (const auto& [section, key, value] : bad) {
    EXPECT_FALSE(setProfileValues(text, section, {{key, value}})) << section << "/" << key;
  }
  EXPECT_FALSE(setProfileValues(text, "S", {{"a", std::string(platform::kMaxProfileLine, 'v')}}));
}

TEST(ProfileInt, ParsesLeadingDigitsLikeTheOriginal) {
  const std::pair<const char*, uint32_t> cases[] = {{"42", 42},   {" 7x", 7},  {"x", 99},
                                                    {"", 99},     {"-1", 99},  {"4294967295", 4294967295u},
                                                    {"4294967296", 0}, {"23374016", 23374016}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(platform::parseProfileInt(text, 99), expected) << text;
  }
}

class ProfileFile : public ::testing::Test {
 protected:
  testsupport::TempFolder folder_{"profile"};
  const std::string file_ = folder_.file("a.ini");
};

// Through a link, as a settings file may be: the link stays, its file changes.
TEST_F(ProfileFile, WriteReplacesOneKeyKeepsEveryOtherByteAndReadsIgnoringCase) {
  const std::string real = folder_.file("real.ini");
  writeText(real, "; kept\n[Settings]\r\nTransferType = 1\r\nName=dev\r\n\r\n[Other]\r\nx=1\r\n");
  fs::create_symlink(real, file_);
  ASSERT_TRUE(platform::writeProfileString(file_, "settings", "transfertype", "3"));
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(readText(real), "; kept\n[Settings]\r\ntransfertype=3\r\nName=dev\r\n\r\n[Other]\r\nx=1\r\n");
  EXPECT_EQ(platform::getProfileInt(file_, "SETTINGS", "TransferType", 5), 3u);
  EXPECT_EQ(platform::getProfileString(file_, "settings", "NAME", "d"), "dev");
  EXPECT_EQ(platform::getProfileString(file_, "settings", "Addr", "d"), "d");
}

TEST_F(ProfileFile, WriteWhereNoFileCanBeFailsAndLeavesNothing) {
  const fs::path& dir = folder_.path();
  const std::string inMissing = (dir / "missing" / "a.ini").string();
  EXPECT_FALSE(platform::writeProfileString(inMissing, "S", "k", "v"));
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_EQ(platform::getProfileString(inMissing, "S", "k", "none"), "none");

  fs::create_directories(file_);
  EXPECT_FALSE(platform::writeProfileString(file_, "S", "k", "v"));
  EXPECT_EQ(testsupport::treeOf(dir.string()), std::vector<std::string>{"a.ini"});
}

TEST_F(ProfileFile, OversizedFileIsReadInPartButNeverRewritten) {
  std::string text = "[S]\nfirst=1\n";
  while (text.size() <= platform::kMaxProfileFile) text += "pad=" + std::string(100, 'p') + "\n";
  text += "last=2\n";
  writeText(file_, text);
  EXPECT_EQ(platform::getProfileInt(file_, "S", "first", 0), 1u);
  EXPECT_EQ(platform::getProfileInt(file_, "S", "last", 0), 0u);
  // Rewriting from the part that was read would drop the tail.
  EXPECT_FALSE(platform::writeProfileString(file_, "S", "first", "3"));
  EXPECT_EQ(readText(file_), text);
}

TEST_F(ProfileFile, ConcurrentWritersLoseNoUpdate) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([this, key = "key" + std::to_string(t)] {
      for (int round = 0; round <= 25; ++round) platform::writeProfileString(file_, "S", key, std::to_string(round));
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(platform::getProfileInt(file_, "S", "key" + std::to_string(t), 0), 25u) << t;
}

}  // namespace
