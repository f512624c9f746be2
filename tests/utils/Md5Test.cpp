#include "utils/Md5.h"

#include <gtest/gtest.h>

TEST(Md5, knownVectors_matchRfc1321) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, digest] : cases) {
    EXPECT_EQ(Md5::hex(std::string_view(input)), digest) << input;
  }
}

TEST(Md5, stream_agreesWithOneShot) {
  std::string data;
  for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>(i * 31 + (i >> 7)));
  std::string expected = Md5::hex(data);

  Md5 stream;
  for (size_t at = 0; at < data.size(); at += 4093) {
    stream.update(data.data() + at, std::min<size_t>(4093, data.size() - at));
  }
  EXPECT_EQ(stream.finish(), expected);
}
