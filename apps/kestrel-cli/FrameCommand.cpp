#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Cli.h"
#include "session/Frame.h"
#include "utils/HexText.h"

namespace {

std::optional<uint8_t> hexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// Two hexadecimal digits per byte, nothing else.
bool parseHex(const std::string& text, std::vector<uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto high = hexDigit(text[i]);
    auto low = hexDigit(text[i + 1]);
    if (!high || !low) return false;
    out.push_back(static_cast<uint8_t>(*high << 4 | *low));
  }
  return true;
}

// Prints the wire bytes of one request, for checking a device by hand.
int runFrame(const cli::Args& args) {
  if (args.words.size() < 2 || args.words.size() > 3) {
    std::fprintf(stderr, "usage: kestrel-cli frame CMD SUB [DATA-HEX]\n");
    return cli::kExitUsage;
  }
  const char* names[] = {"CMD", "SUB", "DATA-HEX"};
  std::vector<uint8_t> head;
  std::vector<uint8_t> data;
  for (size_t i = 0; i < args.words.size(); ++i) {
    std::vector<uint8_t>& into = i < 2 ? head : data;
    const size_t before = into.size();
    if (!parseHex(args.words[i], into) || (i < 2 && into.size() != before + 1)) {
      std::fprintf(stderr, "bad %s '%s': %s\n", names[i], cli::shown(args.words[i]).c_str(),
                   i < 2 ? "one byte as two hexadecimal digits, e.g. 21" : "two hexadecimal digits per byte");
      return cli::kExitUsage;
    }
  }
  Frame frame;
  const uint8_t addr1 = head[0] == 0x2C ? Frame::kSystemAddr : Frame::kDeviceAddr;
  if (!frame.build(addr1, Frame::kHostAddr, head[0], head[1], data.empty() ? nullptr : data.data(),
                   static_cast<unsigned>(data.size()))) {
    std::fprintf(stderr, "cannot build the frame (too much data?)\n");
    return cli::kExitUsage;
  }
  std::printf("%s\n", toHexString(frame.bytes().data(), frame.size()).c_str());
  return cli::kExitOk;
}

const cli::CommandRegistration registration({"frame", "CMD SUB [DATA-HEX]", "print a request's wire bytes", {},
                                             runFrame,
                                             "CMD and SUB are one byte each, DATA-HEX two hexadecimal digits per "
                                             "byte:\n  kestrel-cli frame 21 05\n"});

}  // namespace
