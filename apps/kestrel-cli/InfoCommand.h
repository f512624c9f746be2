#pragma once
#include <string>
#include <vector>

#include "Cli.h"
#include "DeviceRead.h"

// What info prints for a read: the record with what an upgrade would do.
namespace cli {

// One "label: value" line each; an unknown value reads "unknown".
std::string infoText(const DeviceInfo& info);

// One JSON object with the read's failures; unknown values are null.
std::string infoJson(const DeviceInfo& info, const std::vector<std::string>& errors);

}  // namespace cli
