#pragma once
#include "Cli.h"

namespace cli {

// kestrel-cli upgrade system: the system package online, or --package FILE.
int runSystemUpgrade(const Args& args);

}  // namespace cli
