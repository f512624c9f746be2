#pragma once
#include <functional>

// Brings a Q-TRAK device into J2534 mode on the session: reads its mode and,
// unless it is in J2534 mode already, asks for the switch; then gives the
// device time to restart its link and, when the session dropped, calls
// reconnect (0 = connected again). 0 = done, -1 = failed (logged).
int switchToJ2534(int sessionId, const std::function<int()>& reconnect);
