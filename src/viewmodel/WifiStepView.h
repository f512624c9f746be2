#pragma once
#include <cstdint>
#include <string>

// What the Wi-Fi set-up shows for the step it failed at, the same in the
// window and on the command line.
const char* wifiStepName(uint32_t step);
std::string wifiStepError(uint32_t step);
