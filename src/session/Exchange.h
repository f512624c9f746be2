#pragma once
#include <functional>

#include "session/Frame.h"

// The one request/reply exchange and the one connect wait that every device
// task uses (device reads, firmware, system upgrade, Wi-Fi).

// Sends request on the session and waits up to timeoutMs (scaled) for its
// reply: command + 0x40, the same sub-command and the request's serial byte.
// Replies of that command filed before the send, and replies with another
// serial, are dropped. 0 with reply filled, or -1 (send failed, no reply);
// sent, when given, tells which of the two failed.
int exchangeFrame(int sessionId, const Frame& request, Frame& reply, int timeoutMs, bool* sent = nullptr);

// Waits up to limitMs (scaled) for the receive worker to connect the session,
// waking as it connects; asks cancelled() every 100 ms (scaled) and gives up
// when it turns true. True once connected.
bool waitSessionConnected(int sessionId, int limitMs, const std::function<bool()>& cancelled = {});
