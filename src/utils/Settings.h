#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The persistent settings (paramsConfig.ini), the window labels (set.ini), the
// pass-thru library's registration and file version, and the skin-file choice
// that follows from brand and locale. Nothing is cached: every call reads afresh.

// In-memory copy of the "Settings" section, loaded and saved whole.
struct SettingsRecord {
  uint32_t TransferType = 0;  // a ConnectType value
  uint32_t Printf = 0;
  uint32_t LogFile = 0;
  std::string LogFilePath;
  uint32_t Loader = 0;
  std::string Name;
  uint32_t Addr = 0;    // IPv4 address in memory order read little-endian, or low half of a Bluetooth address
  uint32_t AddrEx = 0;  // high half of a Bluetooth address
  std::string serial;
};

// Texts of the record hold at most this many bytes (the original buffers held
// 128 characters with the terminator).
constexpr size_t kSettingsTextBuffer = 128;

// 192.168.100.1 with its bytes in memory order read as a little-endian number.
constexpr uint32_t kDefaultDeviceAddr = 23374016;

std::string settingsFilePath();  // <root>/config/paramsConfig.ini

// Creates the settings file with its defaults when no file is there, creating
// the config folder too. True when the file exists afterwards.
bool refreshSettingsFile();

// Missing integers read 0 and missing texts empty, whatever the creation
// defaults were. Always 0.
int loadSettings(SettingsRecord& record);

// A device choice for this process only (kestrel-cli --link/--device): while
// set, loadSettings reads its TransferType, Name, Addr, AddrEx and serial
// instead of the file's. The file is never changed by it. nullptr clears it.
void setProcessLinkChoice(const SettingsRecord* choice);

// Writes every key in one replacement of the file; line breaks in texts become
// spaces. False (and a warning) when the file could not be written.
bool saveSettings(const SettingsRecord& record);

// --- labels ---

struct ConnectionLabels {
  std::string connected;
  std::string disconnected;
};

std::string labelFilePath();  // set.ini beside the program, or installed

// Section "CN" for locale 2052, else "EN"; each label at most 79 bytes.
ConnectionLabels readLabels(int localeId, const std::string& labelFile = labelFilePath());

// --- pass-thru library ---

// The registered name of the pass-thru library; empty when not registered.
std::string readJ2534Name();

// True only for the exact registration name "Q-TRAK J2534".
bool isQtrakBrand();

// $KESTREL_J2534_LIB, else /usr/lib/kestrel/libkestrel32.so.
std::string j2534LibraryPath();

// The library's version as shown to the user: parts 1 "0%d", 2 "0%d.%d",
// 3 "0%d.%d.%d", else all four. Empty when the version cannot be read.
std::string readFileVersion(const std::string& path, int parts);

// --- skins ---

enum class SkinPart { MainWindow, DevListItem, ConnectWifi, History };

// Skin file, relative to the skin folder, for a window part by brand and locale.
std::string skinFile(SkinPart part, bool qtrakBrand, int localeId);
