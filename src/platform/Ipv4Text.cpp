#include "platform/Ipv4Text.h"

#include <arpa/inet.h>

namespace platform {

std::string ipv4Text(uint32_t ipv4NetworkOrder) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = ipv4NetworkOrder;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace platform
