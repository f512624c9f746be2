#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Dotted text of an IPv4 address in network byte order (as in
// sockaddr_in::sin_addr.s_addr).
std::string ipv4Text(uint32_t ipv4NetworkOrder);

}  // namespace platform
