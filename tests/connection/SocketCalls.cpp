#include "SocketCalls.h"

#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>

namespace {
std::atomic<int> calls{0};
}

int socketCallCount() { return calls.load(); }

extern "C" int socket(int domain, int type, int protocol) noexcept {
  using Real = int (*)(int, int, int);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "socket"));
  calls.fetch_add(1);
  return real(domain, type, protocol);
}
