#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <string>

// The loopback guard. When deviceEndpoints().loopbackOnly is set (KESTREL_LOOPBACK_ONLY=1),
// only destinations inside 127.0.0.0/8 may be reached; every other destination,
// and every Bluetooth address, is refused. Call one of these before creating the
// socket, resolving a name or sending a datagram, and treat a refusal as a
// connection error. Each refusal is logged at WARN ("loopback guard: refused ...").
// With the guard off every destination is allowed and nothing is logged.
namespace platform {

bool loopbackGuardActive();

// An IPv4 address in network byte order (as in sockaddr_in::sin_addr.s_addr).
bool destinationAllowed(uint32_t ipv4NetworkOrder);

// Any socket address: AF_INET inside 127/8 and IPv4-mapped AF_INET6 inside 127/8
// pass, AF_UNIX always passes (it never leaves the machine), everything else
// (other IPv6, AF_BLUETOOTH, a null or short address) is refused.
bool destinationAllowed(const sockaddr* address, socklen_t length);

// A host as the user or a setting gives it. Under the guard only a dotted IPv4
// literal inside 127/8 passes: a host name is refused without being looked up,
// since the lookup itself would send a packet.
bool destinationAllowed(const std::string& host);

}  // namespace platform
