#include "SimEnvironment.h"

#include <cstdlib>

#include "VirtualDevice.h"
#include "WebServices.h"

namespace sim {

EnvList simEnvironment(const VirtualDevice* device, const WebServices* services) {
  EnvList env;
  if (device) env = device->environment();
  if (services) {
    EnvList web = services->environment();
    env.insert(env.end(), web.begin(), web.end());
  }
  // Off loopback the device sits in a namespace of its own, where the guard
  // would only refuse it.
  if (!device || device->listensOnLoopback()) env.emplace_back("KESTREL_LOOPBACK_ONLY", "1");
  return env;
}

void applyEnvironment(const EnvList& env) {
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
}

std::string exportLines(const EnvList& env) {
  std::string out;
  for (const auto& [name, value] : env) {
    std::string quoted = "'";
    for (char c : value) {
      if (c == '\'') quoted += "'\\''";
      else quoted += c;
    }
    quoted += "'";
    out += "export " + name + "=" + quoted + "\n";
  }
  return out;
}

}  // namespace sim
