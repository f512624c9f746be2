#include <gtest/gtest.h>

#include "support/FakeLink.h"
#include "session/Session.h"

using namespace sessiontest;

namespace {

struct LinkedSession {
  std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();
  Session session{SessionEndpoint::network("127.0.0.1", 22488, 0), std::make_unique<FakeConnection>(link)};

  LinkedSession() { EXPECT_TRUE(session.connect()); }

  // One pass of the receive worker over this session.
  int deliver(const Bytes& bytes) {
    link->push(bytes);
    EXPECT_EQ(session.readData(), static_cast<int>(bytes.size()));
    return session.parseFrame();
  }
};

const Bytes kA = frameBytes(0x01, 0x61, 0x05, {0x10, 0x20, 0x30});
const Bytes kB = frameBytes(0x02, 0x61, 0x14, {0x09});
// A frame whose data holds a start pair and a plausible length of its own.
const Bytes kNested = frameBytes(0x03, 0x61, 0x20, {0x55, 0xAA, 0x00, 0x40, 0x55, 0xAA});
// 55 AA with a length field declaring the largest possible frame.
const Bytes kHugeHeader = {0x55, 0xAA, 0xF0, 0xF8, 0xFF, 0xFF};

Bytes corrupted(Bytes frame) {
  frame.back() ^= 0xFF;
  return frame;
}

Bytes withByteInserted(const Bytes& frame, size_t at, uint8_t value) {
  Bytes out = frame;
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), value);
  return out;
}

std::vector<Bytes> eachByte(const Bytes& b) {
  std::vector<Bytes> out;
  for (uint8_t c : b) out.push_back({c});
  return out;
}

struct ExtractCase {
  const char* name;
  std::vector<Bytes> reads;      // one worker pass each
  std::vector<int> parseResults; // parseFrame after each read
  std::vector<Bytes> filed;      // frames that must be claimable, by their bytes
};

void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }

class ExtractFrames : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractFrames, filesEveryCompleteFrameAndNothingElse) {
  const ExtractCase& c = GetParam();
  LinkedSession s;
  std::vector<int> results;
  for (const Bytes& read : c.reads) results.push_back(s.deliver(read));
  if (!c.parseResults.empty()) {
    EXPECT_EQ(results, c.parseResults);
  }

  for (const Bytes& expected : c.filed) {
    Frame out;
    ASSERT_EQ(s.session.waitFrame(out, expected[7], expected[8], 0), 0) << "serial " << int(expected[6]);
    EXPECT_EQ(out.bytes(), expected);
  }
  EXPECT_FALSE(s.session.hasPendingData()) << "an unexpected frame was filed";
  EXPECT_EQ(s.session.bufferedBytes(), 0u) << "bytes that cannot become a frame were kept";
}

INSTANTIATE_TEST_SUITE_P(
    Session, ExtractFrames,
    ::testing::Values(
        ExtractCase{"splitAcrossReads_isReassembled", {slice(kA, 0, 5), slice(kA, 5, kA.size())}, {-1, 0}, {kA}},
        ExtractCase{"splitBetweenStartBytes_isReassembled", {slice(kA, 0, 1), slice(kA, 1, kA.size())}, {-1, 0}, {kA}},
        ExtractCase{"splitAfterHeader_isReassembled",
                    {slice(kA, 0, 11), slice(kA, 11, kA.size())}, {-1, 0}, {kA}},
        ExtractCase{"oneBytePerRead_isReassembled", eachByte(kB), {}, {kB}},
        ExtractCase{"splitBetweenStartBytesAfterAFrame_isReassembled",
                    {concat({kA, slice(kB, 0, 1)}), slice(kB, 1, kB.size())}, {0, 0}, {kA, kB}},
        ExtractCase{"twoFramesInOneRead_bothFiled", {concat({kA, kB})}, {0}, {kA, kB}},
        ExtractCase{"nestedStartPairInData_frameKeptWhole",
                    {slice(kNested, 0, 12), slice(kNested, 12, kNested.size())}, {-1, 0}, {kNested}},
        ExtractCase{"garbageBefore_skipped", {concat({{0x00, 0x55, 0x13, 0xAA}, kA})}, {0}, {kA}},
        ExtractCase{"garbageBetween_bothFiled", {concat({kA, {0x01, 0x55, 0x55, 0x02}, kB})}, {0}, {kA, kB}},
        ExtractCase{"byteInsertedInsideFrame_thatFrameDropped_nextFiled",
                    {concat({withByteInserted(kA, 10, 0xEE), kB})}, {0}, {kB}},
        ExtractCase{"completeBadChecksum_skipped_nextFiled", {concat({corrupted(kA), kB})}, {0}, {kB}},
        ExtractCase{"lengthBelowSmallestFrame_skipped", {concat({{0x55, 0xAA, 0, 0, 0, 2, 0, 0, 0, 0}, kA})}, {0}, {kA}},
        ExtractCase{"hugeDeclaredLength_validFrameAfter_filed", {concat({kHugeHeader, kA})}, {0}, {kA}},
        ExtractCase{"incompleteBogusCandidate_validFrameAfterArrivesSplit_filed",
                    {concat({kHugeHeader, slice(kA, 0, 4)}), slice(kA, 4, kA.size())}, {-1, 0}, {kA}},
        ExtractCase{"garbageOnly_dropped", {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}}, {-1}, {}}),
    [](const ::testing::TestParamInfo<ExtractCase>& info) { return std::string(info.param.name); });

TEST(Session, ParseFrame_floodOfBogusCandidates_bufferStaysBounded_thenResyncs) {
  LinkedSession s;
  // Start pairs declaring nearly 64 KiB that never complete as valid frames.
  Bytes garbage(Session::kReadChunk);
  for (size_t i = 0; i + 6 <= garbage.size(); i += 6) {
    garbage[i] = 0x55;
    garbage[i + 1] = 0xAA;
    garbage[i + 4] = 0xFF;
    garbage[i + 5] = 0xF0;
  }
  for (int pass = 0; pass < 12; ++pass) {
    for (int k = 0; k < 3; ++k) s.link->push(garbage);  // more than one read's worth
    ASSERT_GT(s.session.readData(), 0);
    EXPECT_LE(s.session.bufferedBytes(), Session::kMaxBuffered);
    s.session.parseFrame();
    ASSERT_LT(s.session.bufferedBytes(), Frame::kMaxSize);
  }
  while (s.session.readData() > 0) s.session.parseFrame();
  EXPECT_EQ(s.deliver(kA), 0);
  Frame out;
  EXPECT_EQ(s.session.waitFrame(out, 0x61, 0x05, 0), 0);
}

}  // namespace
