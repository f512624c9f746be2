#pragma once
#include <cstdint>

// Task notifications to the registered window (or console).
enum : unsigned {
  UM_SCAN_DONE = 0x434,          // wParam: scan result; lParam: 0
  UM_DEVICE_INFO = 0x436,        // wParam: const DeviceInfo* valid during the call; lParam: phase 0..3
  UM_FIRMWARE_PROGRESS = 0x437,  // wParam: part; lParam: step
  UM_SYSTEM_PROGRESS = 0x438,    // wParam: (stage << 8) | sub-state; lParam: percent
  UM_WIFI_RESULT = 0x43A,        // the Wi-Fi window's own result message
  UM_SHOW_TEXT = 0x43B,          // wParam: 0 = error text, else progress text; text: the message
  UM_TRANSFER_PROGRESS = 0x43C,  // posted: wParam: image bytes acknowledged; lParam: image size
};
