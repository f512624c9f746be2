#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "session/Frame.h"
#include "utils/HexText.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A reply frame carrying exactly these data bytes.
Frame replyWith(const Bytes& data, uint8_t cmd = 0x61, uint8_t sub = 0x05) {
  Frame f;
  bool ok = data.empty() ? f.build(0xF0, 0xF8, cmd, sub) : f.build(0xF0, 0xF8, cmd, sub, data.data(), data.size());
  EXPECT_TRUE(ok);
  return f;
}

// Fixes the checksum after a test has edited a frame's bytes on purpose.
void reseal(Bytes& b) { b.back() = Frame::checksum(b.data() + 2, b.size() - 3); }

// The fixed requests of discovery and probing are frames like any other: the
// codec must produce exactly those bytes for the same serial.
TEST(Frame, Build_knownRequests_matchTheirWireBytes) {
  struct Case {
    uint8_t serialBefore, addr1, cmd, sub;
    Bytes data;
    Bytes wire;
  };
  const Case cases[] = {
      {255, 0xF0, 0x21, 0x33, {}, Bytes{0x55, 0xAA, 0xF0, 0xF8, 0x00, 0x03, 0x00, 0x21, 0x33, 0x19}},
      {255, 0xF1, 0x2C, 0x2A, {}, Bytes{0x55, 0xAA, 0xF1, 0xF8, 0x00, 0x03, 0x00, 0x2C, 0x2A, 0x0C}},
      {0, 0xF0, 0x40, 0x04, Bytes{0x01, 0x10},
       Bytes{0x55, 0xAA, 0xF0, 0xF8, 0x00, 0x05, 0x01, 0x40, 0x04, 0x01, 0x10, 0x59}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toHexString(c.wire.data(), c.wire.size()));
    Frame::setSerial(c.serialBefore);
    Frame f;
    ASSERT_TRUE(c.data.empty() ? f.build(c.addr1, 0xF8, c.cmd, c.sub)
                               : f.build(c.addr1, 0xF8, c.cmd, c.sub, c.data.data(), c.data.size()));
    EXPECT_EQ(f.bytes(), c.wire);
    EXPECT_TRUE(Frame::isValid(f.bytes().data(), f.size()));
  }
}

// Builds from several threads share the counter: no serial is lost or doubled.
TEST(Frame, Serial_concurrentBuilds_eachValueHandedOutEvenly) {
  Frame::setSerial(0);
  std::array<std::atomic<int>, 256> seen{};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&seen] {
      Frame f;
      for (int i = 0; i < 256; ++i) {
        f.build(0xF0, 0xF8, 0x21, 0x05);
        ++seen[f.serial()];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int s = 0; s < 256; ++s) EXPECT_EQ(seen[s], 4) << "serial " << s;
}

// What the length field cannot count is refused and leaves the frame as it
// was; the largest data it can count is taken, whole or appended.
TEST(Frame, BuildAndAppend_lengthLimits) {
  const uint8_t one = 0x11;
  const Bytes big(Frame::kMaxDataLength + 1, 0xA5);
  const struct {
    const char* name;
    const uint8_t* data;
    unsigned length;
  } refused[] = {
      {"data without length", &one, 0},
      {"length without data", nullptr, 5},
      {"data past the length field", big.data(), static_cast<unsigned>(big.size())},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    Frame f = replyWith({});
    const Bytes before = f.bytes();
    EXPECT_FALSE(f.build(0xF0, 0xF8, 0x24, 0x03, c.data, c.length));
    EXPECT_EQ(f.bytes(), before);
  }
  Frame empty;
  EXPECT_FALSE(empty.appendData(&one, 1));
  EXPECT_TRUE(empty.empty());

  Frame whole, pieces;
  Frame::setSerial(9);
  ASSERT_TRUE(whole.build(0xF0, 0xF8, 0x24, 0x03, big.data(), Frame::kMaxDataLength));
  EXPECT_EQ(whole.size(), Frame::kMaxSize);
  EXPECT_TRUE(Frame::isValid(whole.bytes().data(), whole.size()));
  Frame::setSerial(9);
  ASSERT_TRUE(pieces.build(0xF0, 0xF8, 0x24, 0x03, big.data(), Frame::kMaxDataLength - 1));
  const Bytes before = pieces.bytes();
  EXPECT_FALSE(pieces.appendData(big.data(), 2));
  EXPECT_EQ(pieces.bytes(), before);
  EXPECT_TRUE(pieces.appendData(big.data(), 1));
  EXPECT_EQ(pieces.bytes(), whole.bytes());
}

TEST(Frame, IsValid_rejectsDamagedFrames) {
  Frame::setSerial(0);
  const Frame good = replyWith(text("ABCD"));
  const Bytes ok = good.bytes();
  ASSERT_TRUE(Frame::isValid(ok.data(), ok.size()));

  // Adds delta to one byte; sealed: with the checksum made right again.
  auto edited = [&](size_t at, int delta, bool sealed = true) {
    Bytes b = ok;
    b[at] = static_cast<uint8_t>(b[at] + delta);
    if (sealed) reseal(b);
    return b;
  };
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"nine bytes with start bytes", Bytes(ok.begin(), ok.begin() + 9)},
      {"bad start byte 1", edited(0, -1)},
      {"bad start byte 2", edited(1, 1)},
      {"length one more", edited(5, 1)},
      {"length one less", edited(5, -1)},
      {"high length byte set", edited(4, 1)},
      {"changed data byte", edited(10, 4, false)},
      {"changed checksum", edited(ok.size() - 1, 0x80, false)},
      {"trailing byte", ok + Bytes{0x00}},
      {"last byte missing", Bytes(ok.begin(), ok.end() - 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Frame::isValid(c.bytes.data(), c.bytes.size()));
    Frame f = good;
    EXPECT_FALSE(f.parse(c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(f.bytes(), ok);
  }
  EXPECT_FALSE(Frame::isValid(nullptr, 10));
}

Bytes nameReply(const Bytes& data, uint8_t cmd = 0x61, uint8_t sub = 0x33) { return replyWith(data, cmd, sub).bytes(); }

TEST(Frame, MatchNameReply_acceptsOnlyNameRepliesLongEnough) {
  const Bytes thirteen = Bytes{12} + text("J2K-00012345");
  const Bytes twelve = Bytes{11} + text("J2K-0001234");
  Bytes badSum = nameReply(thirteen);
  badSum.back() ^= 1;
  const struct {
    const char* name;
    Bytes raw;
    bool ok;
    std::string text;
  } cases[] = {
      {"13 data bytes", nameReply(thirteen), true, "J2K-00012345"},
      {"name cut at zero", nameReply(Bytes{12} + text("J2K") + Bytes(9, 0)), true, "J2K"},
      {"12 data bytes", nameReply(twelve), false, ""},
      {"other sub-command", nameReply(thirteen, 0x61, 0x03), false, ""},
      {"request, not reply", nameReply(thirteen, 0x21, 0x33), false, ""},
      {"bad checksum", badSum, false, ""},
      {"declared name past the data", nameReply(Bytes{13} + text("J2K-00012345")), false, ""},
      {"not a frame", text("hello, device!"), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "untouched";
    EXPECT_EQ(matchNameReply(c.raw.data(), c.raw.size(), out), c.ok);
    EXPECT_EQ(out, c.ok ? c.text : "untouched");
  }
}

// The payload readers take replies from the device, which may lie about
// lengths: a declared length that runs past the data is refused and leaves the
// outputs alone; one that ends exactly at the end of the data is accepted.
enum class Reader { FirstByte, String8, TwoStrings8, TwoStrings16, FiveFields16 };

struct ReaderCase {
  const char* name;
  Reader reader;
  Bytes data;
  bool ok;
  std::vector<std::string> texts;
};

// Runs one reader with outputs preset to "untouched"; what it returns in them
// goes to texts.
bool runReader(Reader reader, const Frame& f, std::vector<std::string>& texts) {
  texts.assign(reader == Reader::FiveFields16 ? 5 : reader >= Reader::TwoStrings8 ? 2 : 1, "untouched");
  switch (reader) {
    case Reader::FirstByte: {
      uint8_t b = 0xEE;
      const bool ok = readFirstByte(f, b);
      if (ok || b != 0xEE) texts[0] = std::string(1, static_cast<char>(b));
      return ok;
    }
    case Reader::String8: return readString8(f, texts[0]);
    case Reader::TwoStrings8: return readTwoStrings8(f, texts[0], texts[1]);
    case Reader::TwoStrings16: return readTwoStrings16(f, texts[0], texts[1]);
    case Reader::FiveFields16: {
      std::array<std::string, 5> out;
      out.fill("untouched");
      const bool ok = readFiveFields16(f, out);
      texts.assign(out.begin(), out.end());
      return ok;
    }
  }
  return false;
}

Bytes be16(size_t n) { return Bytes{static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)}; }
Bytes field16(const Bytes& body) { return be16(body.size()) + body; }
Bytes field16(const std::string& body) { return field16(text(body)); }
Bytes field8(const std::string& body) { return Bytes{static_cast<uint8_t>(body.size())} + text(body); }

std::vector<std::string> untouched(size_t n) { return std::vector<std::string>(n, "untouched"); }

std::vector<ReaderCase> readerCases() {
  using namespace std::string_literals;
  const Bytes five = field16("xS/N") + field16("xMODEL") + field16("xV1.2") + field16("xV3.4") + field16("xSYS");
  const Bytes longField(256, 'c');
  return {
      {"first byte, no data", Reader::FirstByte, {}, false, untouched(1)},
      {"first byte", Reader::FirstByte, Bytes{0x07, 0x01}, true, {"\x07"}},

      {"string8, no data", Reader::String8, {}, false, untouched(1)},
      {"string8, ends at the end", Reader::String8, Bytes{3} + text("abc"), true, {"abc"}},
      {"string8, one past the end", Reader::String8, Bytes{4} + text("abc"), false, untouched(1)},
      {"string8, 255 declared", Reader::String8, Bytes{255} + text("a"), false, untouched(1)},
      {"string8, cut at zero", Reader::String8, Bytes{5} + text("a\0bcd"s), true, {"a"}},
      {"string8, empty", Reader::String8, Bytes{0}, true, {""}},

      {"two8, end at the end", Reader::TwoStrings8, field8("ab") + field8("c"), true, {"ab", "c"}},
      {"two8, kept whole past a zero", Reader::TwoStrings8, field8("a\0"s) + field8("c"), true, {"a\0"s, "c"}},
      {"two8, second one past", Reader::TwoStrings8, field8("ab") + Bytes{2} + text("c"), false, untouched(2)},
      {"two8, second length missing", Reader::TwoStrings8, Bytes{2} + text("ab"), false, untouched(2)},
      {"two8, first one past", Reader::TwoStrings8, Bytes{3} + text("ab"), false, untouched(2)},
      {"two8, both empty", Reader::TwoStrings8, Bytes{0, 0}, true, {"", ""}},

      {"two16, end at the end", Reader::TwoStrings16, field16("ab") + field16("c"), true, {"ab", "c"}},
      {"two16, cut at zero", Reader::TwoStrings16, field16("a\0b"s) + field16("c\0"s), true, {"a", "c"}},
      {"two16, second one past", Reader::TwoStrings16, field16("ab") + be16(2) + text("c"), false, untouched(2)},
      {"two16, half a second length", Reader::TwoStrings16, field16("ab") + Bytes{0}, false, untouched(2)},
      {"two16, 256 declared", Reader::TwoStrings16, be16(256) + text("a"), false, untouched(2)},
      {"two16, half a first length", Reader::TwoStrings16, Bytes{0}, false, untouched(2)},
      {"two16, 0xFFFF declared", Reader::TwoStrings16, be16(0xFFFF) + text("ab"), false, untouched(2)},

      // Each text starts one byte into its field and takes one byte of what
      // follows: here the zero high byte of the next length ends it.
      {"five16, device layout", Reader::FiveFields16, five, true, {"S/N", "MODEL", "V1.2", "V3.4", "SYS"}},
      {"five16, next length's high byte joins the text", Reader::FiveFields16,
       field16("ab") + field16(longField) + field16("") + field16("") + field16(""), true,
       {"b\x01", std::string(255, 'c'), "", "", ""}},
      {"five16, last text cut at the end of the data", Reader::FiveFields16,
       field16("") + field16("") + field16("") + field16("") + field16("xyz"), true, {"", "", "", "", "yz"}},
      {"five16, last field one past", Reader::FiveFields16,
       field16("a") + field16("b") + field16("c") + field16("d") + be16(4) + text("xyz"), false, untouched(5)},
      {"five16, middle field past", Reader::FiveFields16, field16("a") + be16(0x4000) + text("b"), false,
       untouched(5)},
      {"five16, four fields", Reader::FiveFields16, field16("a") + field16("b") + field16("c") + field16("d"), false,
       untouched(5)},
      {"five16, half a fifth length", Reader::FiveFields16,
       field16("a") + field16("b") + field16("c") + field16("d") + Bytes{0}, false, untouched(5)},
      {"five16, no data", Reader::FiveFields16, {}, false, untouched(5)},
  };
}

TEST(Frame, PayloadReaders_hostileLengths) {
  for (const auto& c : readerCases()) {
    SCOPED_TRACE(c.name);
    Frame f = replyWith(c.data);
    std::vector<std::string> texts;
    EXPECT_EQ(runReader(c.reader, f, texts), c.ok);
    EXPECT_EQ(texts, c.texts);
  }
}

}  // namespace
