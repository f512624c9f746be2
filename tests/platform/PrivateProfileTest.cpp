#include "platform/PrivateProfile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::findProfileValue;
using platform::setProfileValues;

namespace {

struct LookupCase {
  const char* label;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

class ProfileLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookup, FindsValueAsPrivateProfileReads) {
  const auto& c = GetParam();
  EXPECT_EQ(findProfileValue(c.text, c.section, c.key), c.expected) << c.label;
}

const std::string kLongLine = "k=" + std::string(platform::kMaxProfileLine, 'x');

INSTANTIATE_TEST_SUITE_P(
    Buffer, ProfileLookup,
    ::testing::Values(
        LookupCase{"names ignore case", "[Settings]\nTransferType=3\n", "settings", "TRANSFERTYPE", "3"},
        LookupCase{"blanks trimmed", "[ S ]\n \t k  =  v w \t\n", "S", "k", "v w"},
        LookupCase{"quotes removed", "[S]\nk=\"  x \"\n", "S", "k", "  x "},
        LookupCase{"unmatched quote kept", "[S]\nk=\"x\n", "S", "k", "\"x"},
        LookupCase{"empty value present", "[S]\nk=\n", "S", "k", ""},
        LookupCase{"equals in value", "[S]\nk=a=b\n", "S", "k", "a=b"},
        LookupCase{"other section", "[T]\nk=1\n[S]\nj=2\n", "S", "k", std::nullopt},
        LookupCase{"before any section", "k=1\n[S]\n", "S", "k", std::nullopt},
        LookupCase{"comment", "[S]\n;k=1\n#k=2\n", "S", "k", std::nullopt},
        LookupCase{"line without equals", "[S]\nk\n", "S", "k", std::nullopt},
        LookupCase{"crlf", "[S]\r\nk=v\r\n", "S", "k", "v"},
        LookupCase{"utf8 mark", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
        LookupCase{"no final newline", "[S]\nk=v", "S", "k", "v"},
        LookupCase{"first duplicate wins", "[S]\nk=1\nk=2\n", "S", "k", "1"},
        LookupCase{"repeated section searched", "[S]\na=1\n[T]\n[s]\nk=2\n", "S", "k", "2"},
        LookupCase{"overlong line ignored", "[S]\n" + kLongLine + "\nk=ok\n", "S", "k", "ok"},
        LookupCase{"overlong header ignored", "[S]\n[" + std::string(5000, 'T') + "]\nk=1\n", "S", "k", "1"},
        LookupCase{"empty key never matches", "[S]\n=1\n", "S", "", std::nullopt}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

struct SetCase {
  const char* label;
  std::string before;
  const char* key;
  const char* value;
  std::string after;
};

class ProfileSet : public ::testing::TestWithParam<SetCase> {};

TEST_P(ProfileSet, ChangesOnlyTheKey) {
  const auto& c = GetParam();
  auto out = setProfileValues(c.before, "S", {{c.key, c.value}});
  ASSERT_TRUE(out) << c.label;
  EXPECT_EQ(*out, c.after) << c.label;
  EXPECT_EQ(findProfileValue(*out, "S", c.key), std::string(c.value)) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Buffer, ProfileSet,
    ::testing::Values(
        SetCase{"replace keeps the rest", "; head\n[S]\na=1\nb=2\n[T]\nb=9\n", "b", "5",
                "; head\n[S]\na=1\nb=5\n[T]\nb=9\n"},
        SetCase{"replace ignores case", "[s]\nKEY = 1\n", "key", "2", "[s]\nkey=2\n"},
        SetCase{"add at end of section", "[S]\na=1\n\n[T]\nx=1\n", "b", "2", "[S]\na=1\nb=2\n\n[T]\nx=1\n"},
        SetCase{"add after header without newline", "[S]", "k", "v", "[S]\nk=v\n"},
        SetCase{"append section", "[T]\nx=1", "k", "v", "[T]\nx=1\n\n[S]\nk=v\n"},
        SetCase{"create from nothing", "", "k", "v", "[S]\nk=v\n"},
        SetCase{"keep crlf", "[S]\r\na=1\r\n", "b", "2", "[S]\r\na=1\r\nb=2\r\n"},
        SetCase{"replace in crlf", "[S]\r\na=1\r\nb=2\r\n", "a", "3", "[S]\r\na=3\r\nb=2\r\n"},
        // A last line ending in a bare CR gets only the LF, or the CR joins its name.
        SetCase{"add after header ending in cr", "\r\n[S\t\r", "k", "v", "\r\n[S\t\r\nk=v\r\n"},
        SetCase{"append after line ending in cr", "[T]\r", "k", "v", "[T]\r\n\n[S]\nk=v\n"},
        SetCase{"overlong line kept", "[S]\n" + kLongLine + "\n", "k", "v", "[S]\n" + kLongLine + "\nk=v\n"}));

TEST(ProfileSetRejects, NamesAndValuesThatWouldBreakTheFile) {
  const std::string text = "[S]\na=1\n";
  struct Bad {
    const char* section;
    const char* key;
    const char* value;
  };
  for (const Bad& b : {Bad{"S", "a", "1\nTransferType=4"}, Bad{"S", "a", "x\ry"}, Bad{"S", "a=b", "1"},
                       Bad{"S", "[T]", "1"}, Bad{"S", ";a", "1"}, Bad{"S", " ", "1"}, Bad{"", "a", "1"},
                       Bad{"S]x", "a", "1"}, Bad{"S\n", "a", "1"}, Bad{"S", "\ta", "1"},
                       Bad{"S", "a ", "1"}, Bad{" S", "a", "1"}}) {
    EXPECT_FALSE(setProfileValues(text, b.section, {{b.key, b.value}})) << b.section << "/" << b.key;
  }
  EXPECT_FALSE(setProfileValues(text, "S", {{"a", std::string(platform::kMaxProfileLine, 'v')}}));
}

TEST(ProfileInt, ParsesLeadingDigitsLikeTheOriginal) {
  struct Case {
    const char* text;
    uint32_t expected;
  };
  for (const Case& c : {Case{"42", 42}, Case{" 7x", 7}, Case{"x", 99}, Case{"", 99}, Case{"-1", 99},
                        Case{"4294967295", 4294967295u}, Case{"4294967296", 0}, Case{"23374016", 23374016}}) {
    EXPECT_EQ(platform::parseProfileInt(c.text, 99), c.expected) << c.text;
  }
}

class ProfileFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kestrel-profile-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    file_ = (dir_ / "a.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

  fs::path dir_;
  std::string file_;
};

TEST_F(ProfileFile, WriteCreatesFileAndReadIgnoresCase) {
  ASSERT_TRUE(platform::writeProfileString(file_, "Settings", "Addr", "23374016"));
  EXPECT_EQ(platform::getProfileInt(file_, "SETTINGS", "addr", 5), 23374016u);
  EXPECT_EQ(platform::getProfileString(file_, "settings", "ADDR", "d"), "23374016");
  EXPECT_EQ(platform::getProfileString(file_, "settings", "Name", "d"), "d");
  EXPECT_EQ(platform::getProfileInt(file_, "settings", "Name", 5), 5u);
}

TEST_F(ProfileFile, WriteReplacesOneKeyAndKeepsEveryOtherByte) {
  const std::string before = "; kept\n[Settings]\r\nTransferType = 1\r\nName=dev\r\n\r\n[Other]\r\nx=1\r\n";
  spit(file_, before);
  ASSERT_TRUE(platform::writeProfileString(file_, "settings", "transfertype", "3"));
  EXPECT_EQ(slurp(file_), "; kept\n[Settings]\r\ntransfertype=3\r\nName=dev\r\n\r\n[Other]\r\nx=1\r\n");
}

TEST_F(ProfileFile, WriteIntoMissingFolderFailsAndCreatesNothing) {
  const std::string inMissing = (dir_ / "missing" / "a.ini").string();
  EXPECT_FALSE(platform::writeProfileString(inMissing, "S", "k", "v"));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_EQ(platform::getProfileString(inMissing, "S", "k", "none"), "none");
}

TEST_F(ProfileFile, WriteOverFolderFailsAndLeavesNoTemporaryFile) {
  fs::create_directories(dir_ / "a.ini");
  EXPECT_FALSE(platform::writeProfileString(file_, "S", "k", "v"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ProfileFile, OversizedFileIsReadInPartButNeverRewritten) {
  std::string text = "[S]\nfirst=1\n";
  while (text.size() <= platform::kMaxProfileFile) text += "pad=" + std::string(100, 'p') + "\n";
  text += "last=2\n";
  spit(file_, text);
  EXPECT_EQ(platform::getProfileInt(file_, "S", "first", 0), 1u);
  EXPECT_EQ(platform::getProfileInt(file_, "S", "last", 0), 0u);
  // Rewriting from the part that was read would drop the tail.
  EXPECT_FALSE(platform::writeProfileString(file_, "S", "first", "3"));
  EXPECT_EQ(slurp(file_), text);
}

TEST_F(ProfileFile, WriteThroughSymlinkKeepsTheLink) {
  const std::string real = (dir_ / "real.ini").string();
  spit(real, "[S]\na=1\n");
  fs::create_symlink(real, file_);
  ASSERT_TRUE(platform::writeProfileString(file_, "S", "b", "2"));
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(slurp(real), "[S]\na=1\nb=2\n");
}

TEST_F(ProfileFile, ConcurrentWritersLoseNoUpdate) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int r = 0; r <= kRounds; ++r) {
        platform::writeProfileString(file_, "S", "key" + std::to_string(t), std::to_string(r));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(platform::getProfileInt(file_, "S", "key" + std::to_string(t), 0), static_cast<uint32_t>(kRounds));
  }
}

}  // namespace
