#include "session/SessionApi.h"

#include "platform/Ipv4Text.h"
#include "session/SessionManager.h"

int initSessionManager() { return SessionManager::getInstance()->init(); }

int createNetworkSession(uint32_t addr, int port, int datagram) {
  return SessionManager::getInstance()->createNetworkSession(platform::ipv4Text(addr), port, datagram);
}

int createBluetoothSession(const std::string& address) {
  return SessionManager::getInstance()->createBluetoothSession(address);
}

int createSerialSession(const std::string& portName) {
  return SessionManager::getInstance()->createSerialSession(portName);
}

int sendFrame(int sessionId, const Frame& frame) { return SessionManager::getInstance()->sendFrame(sessionId, frame); }

int recvFrame(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, int timeoutMs) {
  return SessionManager::getInstance()->recvFrame(sessionId, out, cmd, sub, timeoutMs);
}

bool isSessionConnected(int sessionId) { return SessionManager::getInstance()->isSessionConnected(sessionId); }

int closeSession(int sessionId) { return SessionManager::getInstance()->closeSession(sessionId); }

int closeAllSessions() { return SessionManager::getInstance()->closeAllSessions(); }
