#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Cli.h"
#include "session/Frame.h"
#include "utils/HexText.h"

namespace {

// Prints the wire bytes of one request, for checking a device by hand.
int runFrame(const cli::Args& args) {
  if (args.words.size() < 2) {
    std::fprintf(stderr, "usage: kestrel-cli frame CMD SUB [DATA-HEX]\n");
    return 2;
  }
  auto cmd = static_cast<uint8_t>(std::strtoul(args.words[0].c_str(), nullptr, 16));
  auto sub = static_cast<uint8_t>(std::strtoul(args.words[1].c_str(), nullptr, 16));
  std::vector<uint8_t> data;
  if (args.words.size() > 2) {
    const std::string& hex = args.words[2];
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      data.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
  }
  Frame frame;
  uint8_t addr1 = cmd == 0x2C ? 0xF1 : 0xF0;
  if (!frame.build(addr1, 0xF8, cmd, sub, data.empty() ? nullptr : data.data(), static_cast<unsigned>(data.size()))) {
    std::fprintf(stderr, "cannot build the frame\n");
    return 1;
  }
  std::printf("%s\n", toHexString(frame.bytes().data(), frame.size()).c_str());
  return 0;
}

const cli::CommandRegistration registration("frame", "frame CMD SUB [DATA-HEX]      print a request's wire bytes",
                                            runFrame);

}  // namespace
