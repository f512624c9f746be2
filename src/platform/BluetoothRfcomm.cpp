#include "platform/BluetoothRfcomm.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/Clock.h"
#include "platform/LoopbackGuard.h"

namespace platform {
namespace {

// BlueZ keeps the address least significant byte first.
bdaddr_t toBdaddr(uint64_t address) {
  bdaddr_t out{};
  for (int i = 0; i < 6; ++i) out.b[i] = static_cast<uint8_t>(address >> (8 * i));
  return out;
}

sockaddr_rc rfcommAddress(uint64_t address, int channel) {
  sockaddr_rc a{};
  a.rc_family = AF_BLUETOOTH;
  a.rc_bdaddr = toBdaddr(address);
  a.rc_channel = static_cast<uint8_t>(channel);
  return a;
}

bool guardAllows(const sockaddr_rc& a) {
  if (destinationAllowed(reinterpret_cast<const sockaddr*>(&a), sizeof a)) return true;
  errno = EACCES;
  return false;
}

// Waits for fd until deadlineMs (monotonic) for events; false on time-out
// (errno ETIMEDOUT) or a poll error.
bool waitFor(int fd, short events, int64_t deadlineMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int64_t left = deadlineMs - nowMs();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

// The outcome of a non-blocking connect once the socket turned writable.
bool connectSucceeded(int fd) {
  int soError = 0;
  socklen_t size = sizeof soError;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0) return false;
  if (soError == 0) return true;
  errno = soError;
  return false;
}

// Collects the first RFCOMM channel of the records in an SDP
// service-search-attribute response.
struct SdpQuery {
  bool done = false;
  int channel = 0;
};

void onSdpResponse(uint8_t type, uint16_t, uint8_t* rsp, size_t size, void* user) {
  auto* query = static_cast<SdpQuery*>(user);
  query->done = true;
  if (type != SDP_SVC_SEARCH_ATTR_RSP || !rsp || size == 0 || size > INT_MAX) return;
  uint8_t dataType = 0;
  int sequenceLength = 0;
  int scanned = sdp_extract_seqtype(rsp, static_cast<int>(size), &dataType, &sequenceLength);
  if (scanned <= 0) return;
  int left = static_cast<int>(size) - scanned;
  const uint8_t* at = rsp + scanned;
  while (left > 0 && query->channel == 0) {
    int recordSize = 0;
    sdp_record_t* record = sdp_extract_pdu(at, left, &recordSize);
    if (!record) break;
    sdp_list_t* protocols = nullptr;
    if (sdp_get_access_protos(record, &protocols) == 0) {
      int found = sdp_get_proto_port(protocols, RFCOMM_UUID);
      if (found >= 1 && found <= 30) query->channel = found;  // RFCOMM server channels are 1..30
      for (sdp_list_t* p = protocols; p; p = p->next) sdp_list_free(static_cast<sdp_list_t*>(p->data), nullptr);
      sdp_list_free(protocols, nullptr);
    }
    sdp_record_free(record);
    if (recordSize <= 0 || recordSize > left) break;
    at += recordSize;
    left -= recordSize;
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parseBluetoothAddress(const std::string& text, uint64_t* address) {
  size_t i = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
  if (i == text.size()) return false;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int d = hexDigit(text[i]);
    if (d < 0 || (value >> 60) != 0) return false;
    value = (value << 4) | static_cast<uint64_t>(d);
  }
  if (address) *address = value;
  return true;
}

bool connectWithin(int fd, const sockaddr* address, socklen_t length, std::chrono::milliseconds wait) {
  const int64_t deadline = nowMs() + scaled(wait).count();
  if (::connect(fd, address, length) == 0) return true;
  if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return false;
  return waitFor(fd, POLLOUT, deadline) && connectSucceeded(fd);
}

int findSerialPortChannel(uint64_t address, std::chrono::milliseconds wait) {
  const sockaddr_rc target = rfcommAddress(address, 0);
  if (!guardAllows(target)) return -1;

  // Asynchronous, so that the page, the connect and every response of a slow
  // or silent device count against one deadline.
  const int64_t deadline = nowMs() + scaled(wait).count();
  const bdaddr_t any{};
  sdp_session_t* session = sdp_connect(&any, &target.rc_bdaddr, SDP_NON_BLOCKING);
  if (!session) return 0;
  const int fd = sdp_get_socket(session);
  SdpQuery query;
  uuid_t serialPort;
  sdp_uuid16_create(&serialPort, SERIAL_PORT_SVCLASS_ID);
  sdp_list_t* search = sdp_list_append(nullptr, &serialPort);
  uint32_t range = 0x0000ffff;
  sdp_list_t* attributes = sdp_list_append(nullptr, &range);
  if (waitFor(fd, POLLOUT, deadline) && connectSucceeded(fd) && sdp_set_notify(session, &onSdpResponse, &query) == 0 &&
      sdp_service_search_attr_async(session, search, SDP_ATTR_REQ_RANGE, attributes) == 0) {
    while (!query.done && waitFor(fd, POLLIN, deadline)) {
      if (sdp_process(session) != 0) break;  // an error ends the transaction
    }
  }
  sdp_list_free(search, nullptr);
  sdp_list_free(attributes, nullptr);
  sdp_close(session);
  return query.channel;
}

int connectRfcomm(uint64_t address, int channel, std::chrono::milliseconds wait) {
  const sockaddr_rc target = rfcommAddress(address, channel);
  if (!guardAllows(target)) return -1;

  int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_RFCOMM);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!connectWithin(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target, wait)) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace platform
