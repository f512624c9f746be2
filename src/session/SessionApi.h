#pragma once
#include <cstdint>
#include <string>

#include "session/Frame.h"

// The session manager's operations for the tasks and the window: each takes
// the process-wide SessionManager and forwards. Session ids are plain ints;
// -1 means none.

// Starts the receive worker (once).
int initSessionManager();

// addr holds an IPv4 address as the settings store it (Addr): its lowest byte
// is the first number of the dotted text.
int createNetworkSession(uint32_t addr, int port, int datagram);
int createBluetoothSession(const std::string& address);
int createSerialSession(const std::string& portName);

int sendFrame(int sessionId, const Frame& frame);
int recvFrame(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, int timeoutMs);
bool isSessionConnected(int sessionId);
int closeSession(int sessionId);
int closeAllSessions();
