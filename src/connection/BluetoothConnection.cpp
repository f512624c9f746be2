#include "connection/BluetoothConnection.h"

#include <cerrno>

#include "platform/BluetoothRfcomm.h"
#include "utils/HexText.h"
#include "utils/LogFacade.h"

BluetoothConnection::BluetoothConnection(std::string address) : address_(std::move(address)) {}

bool BluetoothConnection::Connect() {
  if (isConnected()) return true;
  close();

  uint64_t device = 0;
  if (!platform::parseBluetoothAddress(address_, &device)) {
    LOG_WARN("connect bluetooth err, errCode : %d", EINVAL);
    return false;
  }
  int channel = platform::findSerialPortChannel(device, kServiceQueryWait);
  if (channel < 0) {
    LOG_WARN("connect bluetooth err, errCode : %d", errno);
    return false;
  }
  int fd = platform::connectRfcomm(device, channel > 0 ? channel : kDefaultChannel, kConnectWait);
  if (fd < 0) {
    LOG_WARN("connect bluetooth err, errCode : %d", errno);
    return false;
  }
  adopt(fd);
  return true;
}

int BluetoothConnection::writeData(const uint8_t* bytes, size_t count) {
  int sent = sendAll(bytes, count);
  if (sent <= 0) return sent;
  if (writingSecret()) {
    LOG_INFO("send msg ok , size : %d", sent);
  } else {
    LOG_INFO("send : %s", toHexString(bytes, static_cast<size_t>(sent)).c_str());
  }
  return sent;
}
