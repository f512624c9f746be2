// Discovery answers on arbitrary bytes: the LAN name reply, the link reply
// check and its name, and the serial probe's text matching. Answers come from
// any host on the LAN or any USB serial device, so none may read past the
// bytes given or return a name longer than the caps.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "session/SerialProbe.h"
#include "scanner/NetworkScanner.h"
#include "scanner/SerialScanner.h"
#include "session/Frame.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The link check explains every rejection on standard output.
  (void)std::freopen("/dev/null", "w", stdout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string name;
  if (matchNameReply(data, size, name)) check(name.size() + 11 <= size);

  if (NetworkScanner::checkLinkReply(data, size)) {
    check(size >= 12);
    std::string link = NetworkScanner::linkReplyName(data, size);
    check(link.size() <= NetworkScanner::kMaxNameBytes && link.size() <= size - 12);
  }

  // The probe reads at most 255 bytes; longer inputs exercise the cap.
  std::string first = serialprobe::nameFromFirstReply(data, size);
  check(first.empty() || first.size() == 12);
  std::string second = serialprobe::nameFromSecondReply(data, size);
  check(second.empty() || second.size() == 12);

  std::string text = serialprobe::toHexSpaced(data, size);
  check(text.size() == (size == 0 ? 0 : size * 3 - 1));
  return 0;
}
