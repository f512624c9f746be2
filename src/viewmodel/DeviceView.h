#pragma once
#include <cstdint>
#include <string>

#include "app/DeviceInfo.h"

// What the card says beside the values, for a device that is not simply there.
enum class CardNote { None, NoDevice, Gone, BootLoader };

// What the main window's device card shows, built from the phases of a
// device read: which values, which buttons, which verdicts.
struct DeviceCard {
  std::string serialNumber;
  std::string firmwareCurrent, firmwareLatest;  // "1.10_2.10", or "V2.10" for single-image registrations
  std::string libraryCurrent, libraryLatest;    // the installed pass-thru library
  bool libraryMissing = false;                  // none installed: said so rather than left blank
  std::string systemCurrent, systemLatest;      // shown only when known
  bool pictureShown = false;                    // false: the picture stays as it is
  std::string picture;                          // a file of the skin; empty for none
  bool modelKnown = false;                      // the device answered: the sections below apply
  bool wifiSetupShown = false;
  bool systemSectionShown = false;
  bool firmwareEnabled = false, systemEnabled = false, wifiEnabled = false;
  bool updateBadge = false, firmwarePrimary = false, systemPrimary = false;
  bool stale = false;  // the values are the last read, not the device's now
  CardNote note = CardNote::None;
};

class DeviceView {
 public:
  // The pass-thru library on this computer, read alongside the device.
  struct Library {
    std::string registration;
    std::string version;
  };

  // Forgets the device.
  void clear();
  // A new read starts: the last values stay, marked as old, until it reports.
  void startRead();
  // One phase of the device-information task with the record as it reported it.
  void apply(const DeviceInfo& record, int phase, const Library& library, bool bootPort);
  // The device was unplugged, or none is there to read.
  void deviceGone();

  const DeviceInfo& record() const { return record_; }
  DeviceCard card() const;

 private:
  enum class Stage { Empty, Reading, DeviceRead, OnlineRead, Finished, NoDevice, Gone };
  Stage stage_ = Stage::Empty;
  Stage reached_ = Stage::Empty;  // how far the read of the values in record_ got
  DeviceInfo record_;
  Library library_;
  bool bootPort_ = false;
};

// The link named beside the connection state once a device was read: a USB
// device by its port kind, else the link the settings chose.
std::string connectedLinkName(bool usbPresent, bool bootPort, uint32_t transferType);

// The model picture of the skin for a serial number; empty for none.
const char* modelPicture(const std::string& serialNumber);
