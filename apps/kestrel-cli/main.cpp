#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "session/Frame.h"
#include "utils/HexText.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: kestrel-cli frame CMD SUB [DATA-HEX]\n");
  return 2;
}

int frameCommand(int argc, char** argv) {
  if (argc < 4) return usage();
  auto cmd = static_cast<uint8_t>(std::strtoul(argv[2], nullptr, 16));
  auto sub = static_cast<uint8_t>(std::strtoul(argv[3], nullptr, 16));
  std::vector<uint8_t> data;
  if (argc > 4) {
    std::string hex = argv[4];
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string verb = argv[1];
  if (verb == "frame") return frameCommand(argc, argv);
  return usage();
}
