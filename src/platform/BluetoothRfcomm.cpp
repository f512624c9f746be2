#include "platform/BluetoothRfcomm.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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

std::string bluetoothAddressText(uint64_t address) {
  bdaddr_t b = toBdaddr(address);
  char text[18] = {};
  ba2str(&b, text);
  return text;
}

int findSerialPortChannel(uint64_t address) {
  const sockaddr_rc target = rfcommAddress(address, 0);
  if (!guardAllows(target)) return -1;

  const bdaddr_t any{};
  sdp_session_t* session = sdp_connect(&any, &target.rc_bdaddr, SDP_RETRY_IF_BUSY);
  if (!session) return 0;
  uuid_t serialPort;
  sdp_uuid16_create(&serialPort, SERIAL_PORT_SVCLASS_ID);
  sdp_list_t* search = sdp_list_append(nullptr, &serialPort);
  uint32_t range = 0x0000ffff;
  sdp_list_t* attributes = sdp_list_append(nullptr, &range);
  sdp_list_t* records = nullptr;
  int channel = 0;
  if (sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attributes, &records) == 0) {
    for (sdp_list_t* r = records; r && channel == 0; r = r->next) {
      sdp_list_t* protocols = nullptr;
      if (sdp_get_access_protos(static_cast<sdp_record_t*>(r->data), &protocols) != 0) continue;
      int found = sdp_get_proto_port(protocols, RFCOMM_UUID);
      if (found >= 1 && found <= 30) channel = found;  // RFCOMM server channels are 1..30
      for (sdp_list_t* p = protocols; p; p = p->next) sdp_list_free(static_cast<sdp_list_t*>(p->data), nullptr);
      sdp_list_free(protocols, nullptr);
    }
    sdp_list_free(records, reinterpret_cast<sdp_free_func_t>(sdp_record_free));
  }
  sdp_list_free(search, nullptr);
  sdp_list_free(attributes, nullptr);
  sdp_close(session);
  return channel;
}

int connectRfcomm(uint64_t address, int channel) {
  const sockaddr_rc target = rfcommAddress(address, channel);
  if (!guardAllows(target)) return -1;

  int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace platform
