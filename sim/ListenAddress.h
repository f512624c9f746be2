#pragma once
#include <string>

// Where the virtual device may listen. On loopback always; on any other
// address only from a network namespace of its own (made with `ip netns`),
// where the address reaches nothing but what that namespace was given, so the
// virtual device never answers on the machine's real networks.
namespace sim {

enum class NetNamespace {
  Initial,  // the one the machine's interfaces live in
  Private,  // another one
  Unknown,  // the reference could not be read: treated as Initial
};

// Compares this process's network namespace with that of PID 1, or of the
// kernel's thread starter (PID 2, named kthreadd) where PID 1's cannot be read.
NetNamespace networkNamespace();

bool isLoopbackAddress(const std::string& dotted);

// Empty when the device may listen on this dotted IPv4 address; else why not.
std::string listenRefusal(const std::string& dotted);

}  // namespace sim
