#include "ListenAddress.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <fstream>

namespace sim {
namespace {

struct NsId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const NsId&) const = default;
};

bool netNamespaceOf(const char* pid, NsId& out) {
  struct stat st {};
  if (::stat((std::string("/proc/") + pid + "/ns/net").c_str(), &st) != 0) return false;
  out = {st.st_dev, st.st_ino};
  return true;
}

bool isKernelThreadStarter() {
  std::ifstream comm("/proc/2/comm");
  std::string name;
  return std::getline(comm, name) && name == "kthreadd";
}

}  // namespace

NetNamespace networkNamespace() {
  NsId self, reference;
  if (!netNamespaceOf("self", self)) return NetNamespace::Unknown;
  // PID 1's namespace may be closed to us even as root (it is not dumpable in
  // some sandboxes); the kernel's own threads always live in the initial one.
  if (!netNamespaceOf("1", reference) && !(isKernelThreadStarter() && netNamespaceOf("2", reference))) {
    return NetNamespace::Unknown;
  }
  return self == reference ? NetNamespace::Initial : NetNamespace::Private;
}

bool isLoopbackAddress(const std::string& dotted) {
  in_addr address{};
  return inet_pton(AF_INET, dotted.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::string listenRefusal(const std::string& dotted) {
  in_addr address{};
  if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) return "not a dotted IPv4 address";
  if (isLoopbackAddress(dotted)) return {};
  switch (networkNamespace()) {
    case NetNamespace::Private: return {};
    case NetNamespace::Initial: return "outside 127.0.0.0/8 only inside a network namespace of its own (ip netns exec)";
    case NetNamespace::Unknown: return "outside 127.0.0.0/8 only where its network namespace can be told from the machine's";
  }
  return "unreachable";
}

}  // namespace sim
