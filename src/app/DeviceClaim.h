#pragma once
#include <memory>
#include <string>

#include "platform/DeviceLock.h"

// The device claim as both front ends use it: a run that changes a device
// claims it by serial number, recording where it reaches it; a program about
// to open the default session first looks whether that device is claimed.

// Where the default session would reach the device now ("tcp HOST:PORT",
// "serial TTY", "bt ADDRESS"), in the same words in every program.
std::string defaultSessionPlace();

// Claims the device with this serial number for what ("firmware upgrade of
// ..."), checked and taken in one step (DeviceLock::tryAcquire). place, when
// given, is where the claim says the device is reached: finding that place
// may probe a port, which a run must not repeat while its session is open.
platform::DeviceLock::Result claimDevice(const std::string& serialNumber, const std::string& what,
                                         std::unique_ptr<platform::DeviceLock>& lock, std::string& holder,
                                         std::string* place = nullptr);

// Whether the device the default session would open is claimed: by the
// serial number expected there (may be empty) or by its place. holder names
// the claim's holder.
bool isDefaultDeviceClaimed(const std::string& expectedSerial, std::string& holder);
