#include "utils/Settings.h"

#include <mutex>
#include <optional>

#include "platform/FileVersion.h"
#include "platform/Locale.h"
#include "platform/Paths.h"
#include "platform/PrivateProfile.h"
#include "platform/Registry.h"
#include "utils/IniFile.h"
#include "utils/LogFacade.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr const char* kSection = "Settings";
constexpr const char* kJ2534RegistryKey = "SOFTWARE\\WOW6432Node\\PassThruSupport.04.04\\Kestrel";
constexpr const char* kQtrakName = "Q-TRAK J2534";
constexpr size_t kLabelBuffer = 80;

std::string decimal(uint32_t v) { return std::to_string(v); }

// An ini value is one line; a name from a device must not split it.
std::string oneLine(const std::string& text) {
  std::string out = CIniFile::cutToBuffer(text, kSettingsTextBuffer);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string settingsFilePath() { return platform::joinPath(platform::configDir(), "paramsConfig.ini"); }

bool refreshSettingsFile() {
  const std::string file = settingsFilePath();
  if (isRegularFile(file)) return true;
  std::error_code ec;
  std::filesystem::create_directories(platform::configDir(), ec);
  const platform::ProfileEntries defaults = {
      {"TransferType", "1"},
      {"Printf", "0"},
      {"LogFile", "1"},
      {"LogFilePath", platform::joinPath(platform::workRoot(), "Log")},
      {"Loader", "0"},
      {"Name", ""},
      {"Addr", decimal(kDefaultDeviceAddr)},
      {"AddrEx", "0"},
      {"serial", ""},
  };
  if (!platform::writeProfileStrings(file, kSection, defaults)) {
    LOG_WARN("create settings file failed: %s", file.c_str());
    return false;
  }
  return true;
}

namespace {
std::mutex linkChoiceLock;                 // guards linkChoice
std::optional<SettingsRecord> linkChoice;  // set by setProcessLinkChoice
}  // namespace

void setProcessLinkChoice(const SettingsRecord* choice) {
  std::lock_guard<std::mutex> guard(linkChoiceLock);
  if (choice) {
    linkChoice = *choice;
  } else {
    linkChoice.reset();
  }
}

int loadSettings(SettingsRecord& record) {
  const std::string file = settingsFilePath();
  const CIniFile ini(file);
  auto number = [&](const char* key) { return platform::getProfileInt(file, kSection, key, 0); };
  auto text = [&](const char* key) { return ini.getString(kSection, key, "", kSettingsTextBuffer); };
  record.TransferType = number("TransferType");
  record.Printf = number("Printf");
  record.LogFile = number("LogFile");
  record.LogFilePath = text("LogFilePath");
  record.Loader = number("Loader");
  record.Name = text("Name");
  record.Addr = number("Addr");
  record.AddrEx = number("AddrEx");
  record.serial = text("serial");
  std::lock_guard<std::mutex> guard(linkChoiceLock);
  if (linkChoice) {
    record.TransferType = linkChoice->TransferType;
    record.Name = linkChoice->Name;
    record.Addr = linkChoice->Addr;
    record.AddrEx = linkChoice->AddrEx;
    record.serial = linkChoice->serial;
  }
  return 0;
}

bool saveSettings(const SettingsRecord& record) {
  const std::string file = settingsFilePath();
  const platform::ProfileEntries entries = {
      {"TransferType", decimal(record.TransferType)},
      {"Printf", decimal(record.Printf)},
      {"LogFile", decimal(record.LogFile)},
      {"Loader", decimal(record.Loader)},
      {"Addr", decimal(record.Addr)},
      {"AddrEx", decimal(record.AddrEx)},
      {"LogFilePath", oneLine(record.LogFilePath)},
      {"Name", oneLine(record.Name)},
      {"serial", oneLine(record.serial)},
  };
  if (!platform::writeProfileStrings(file, kSection, entries)) {
    LOG_WARN("save settings failed: %s", file.c_str());
    return false;
  }
  return true;
}

std::string labelFilePath() { return platform::programDataPath("set.ini"); }

ConnectionLabels readLabels(int localeId, const std::string& labelFile) {
  const CIniFile ini(labelFile);
  const char* section = localeId == platform::kLocaleChineseChina ? "CN" : "EN";
  return {ini.getString(section, "LabelConnected", "", kLabelBuffer),
          ini.getString(section, "LabelDisConnected", "", kLabelBuffer)};
}

std::string readJ2534Name() {
  return platform::readRegistryString(kJ2534RegistryKey, "Name").value_or(std::string());
}

bool isQtrakBrand() { return readJ2534Name() == kQtrakName; }

std::string j2534LibraryPath() {
  const char* v = std::getenv("KESTREL_J2534_LIB");
  return (v && *v) ? std::string(v) : std::string("/usr/lib/kestrel/libkestrel32.so");
}

std::string readFileVersion(const std::string& path, int parts) {
  auto version = platform::queryFileVersion(path);
  if (!version) return {};
  const int a = version->major, b = version->minor, c = version->build, d = version->revision;
  char text[32];
  switch (parts) {
    case 1: std::snprintf(text, sizeof text, "0%d", a); break;
    case 2: std::snprintf(text, sizeof text, "0%d.%d", a, b); break;
    case 3: std::snprintf(text, sizeof text, "0%d.%d.%d", a, b, c); break;
    default: std::snprintf(text, sizeof text, "0%d.%d.%d.%d", a, b, c, d); break;
  }
  return text;
}

std::string skinFile(SkinPart part, bool qtrakBrand, int localeId) {
  // Columns: Q-TRAK 2052, Q-TRAK 1041, Q-TRAK other, other brand 2052, other brand other.
  static const char* const kTable[4][5] = {
      {"xml/QTRAK/DlgUpg_CN.xml", "xml/QTRAK/DlgUpg_JP.xml", "xml/QTRAK/DlgUpg_EN.xml", "xml/DlgUpg_CN.xml",
       "xml/DlgUpg_EN.xml"},
      {"xml/QTRAK/dev_list_item.xml", "xml/QTRAK/dev_list_item_Jp.xml", "xml/QTRAK/dev_list_item_En.xml",
       "xml/dev_list_item.xml", "xml/dev_list_item_En.xml"},
      {"xml/QTRAK/connect_wifi.xml", "xml/QTRAK/connect_wifi_jp.xml", "xml/QTRAK/connect_wifi_en.xml",
       "xml/connect_wifi.xml", "xml/connect_wifi_en.xml"},
      {"xml/QTRAK/history.xml", "xml/QTRAK/history_jp.xml", "xml/QTRAK/history_en.xml", "xml/history.xml",
       "xml/history_en.xml"},
  };
  int column;
  if (qtrakBrand) {
    column = localeId == platform::kLocaleChineseChina ? 0 : localeId == platform::kLocaleJapanese ? 1 : 2;
  } else {
    column = localeId == platform::kLocaleChineseChina ? 3 : 4;
  }
  return kTable[static_cast<int>(part)][column];
}
