#pragma once
#include "app/J2534Device.h"
#include "utils/Settings.h"

// The devices a scan lists for the user to choose from: only those whose
// serial number starts like one of the known devices.
J2534DeviceList listedDevices(const J2534DeviceList& found);

// The settings with the chosen device as the one to connect to: the link type
// and name, and by link the port or the address. A Wi-Fi network keeps the
// stored address and is saved as link type 1.
SettingsRecord withChosenDevice(SettingsRecord record, const J2534Device& device);

// Saves the choice into the settings file as read now, so no other setting
// goes back to an older value. linkType is the link type chosen, written or
// not; false when the file could not be written.
bool saveChosenDevice(const J2534Device& device, uint32_t& linkType);
