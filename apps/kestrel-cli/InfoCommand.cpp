#include "InfoCommand.h"

#include <cstdio>
#include <string>

#include "DeviceChoice.h"
#include "FleetRun.h"
#include "app/DeviceModel.h"
#include "app/VersionRule.h"
#include "utils/LogFacade.h"

namespace {

VersionVerdict verdictOf(const SoftwareSlot& slot, bool system) {
  return system ? judgeSystem(slot) : judgeVersion(slot.version, slot.latestVersion);
}

struct Line {
  const char* label;
  const SoftwareSlot& slot;
  const std::string& current;
};

std::string slotJson(const SoftwareSlot& slot, const std::string& current, bool system = false) {
  const VersionVerdict verdict = verdictOf(slot, system);
  std::string out = "{\"current\":" + cli::jsonOrNull(current) + ",\"latest\":" + cli::jsonOrNull(slot.latestVersion) +
                    ",\"downloadLink\":" + cli::jsonOrNull(slot.downloadLink) +
                    ",\"upgrade\":" + (isOffered(verdict, false) ? "true" : "false");
  if (verdict == VersionVerdict::LatestUnknown) out += ",\"why\":" + cli::jsonOrNull(slot.latestUnknownWhy);
  return out;
}

}  // namespace

namespace cli {

std::string infoText(const DeviceInfo& info) {
  std::string out = "serial number: " + versionText(info.serialNumber) + "\n";
  out += "model: " + std::to_string(modelNumber(classifyModel(info.serialNumber))) + "\n";
  // The system's current version is the text the version service compares
  // with; its build number follows in brackets.
  const Line lines[] = {{"firmware", info.firmware, info.firmware.version},
                        {"J2534 firmware", info.j2534Firmware, info.j2534Firmware.version},
                        {"system", info.system, info.system.packageName}};
  for (const Line& line : lines) {
    std::string text = versionText(line.current);
    if (&line.slot == &info.system && !info.system.version.empty()) text += " (" + shown(info.system.version) + ")";
    text += ", newest " + versionText(line.slot.latestVersion);
    // An unknown current version is already shown as such; the others say what an upgrade would do.
    const VersionVerdict verdict = verdictOf(line.slot, &line.slot == &info.system);
    if (verdict == VersionVerdict::LatestUnknown) {
      if (!line.slot.latestUnknownWhy.empty()) text += " (" + logfacade::escapeForLog(line.slot.latestUnknownWhy, kReasonShown) + ")";
    } else if (!line.current.empty()) {
      text += std::string(", ") + verdictText(verdict);
    }
    out += std::string(line.label) + ": " + text + "\n";
  }
  if (!info.platform.packageName.empty()) {
    out += "platform: " + shown(info.platform.packageName) + " " + shown(info.platform.version) + "\n";
  }
  return out;
}

std::string infoJson(const DeviceInfo& info, const std::vector<std::string>& errors) {
  std::string out = "{\"serialNumber\":" + jsonOrNull(info.serialNumber) +
                    ",\"model\":" + std::to_string(modelNumber(classifyModel(info.serialNumber)));
  out += ",\"firmware\":" + slotJson(info.firmware, info.firmware.version) + "}";
  out += ",\"j2534Firmware\":" + slotJson(info.j2534Firmware, info.j2534Firmware.version) + "}";
  out += ",\"system\":" + slotJson(info.system, info.system.packageName, true) +
         ",\"build\":" + jsonOrNull(info.system.version) + "}";
  out += ",\"platform\":{\"name\":" + jsonOrNull(info.platform.packageName) +
         ",\"version\":" + jsonOrNull(info.platform.version) + "}";
  out += ",\"errors\":[";
  for (size_t i = 0; i < errors.size(); ++i) out += (i ? "," : "") + jsonString(errors[i]);
  return out + "]}\n";
}

}  // namespace cli

namespace {

int runInfo(const cli::Args& args) {
  if (args.flag("all")) return cli::runOnEveryDevice(args, {"info"});
  if (int rc = cli::chooseForRun(args); rc != cli::kExitOk) return rc;
  if (int rc = cli::refuseClaimedDevice(); rc != cli::kExitOk) return rc;
  if (std::string problem = cli::servicesProblem(); !problem.empty()) {
    std::fprintf(stderr, "%s; the newest versions cannot be looked up\n", problem.c_str());
  }
  // Nothing runs after info, so it need not sit out the task's closing pause.
  const cli::DeviceRead read = cli::readDevice(args, cli::ReadEnd::SessionClosed);
  const int rc = cli::checkRead(read);
  if (!read.finished || !read.connected) return rc;
  if (int busy = cli::refuseClaimedSerial(read.info.serialNumber); busy != cli::kExitOk) return busy;
  const std::string shownRead = args.json ? cli::infoJson(read.info, read.errors) : cli::infoText(read.info);
  std::fputs(shownRead.c_str(), stdout);
  if (rc != cli::kExitOk) return rc;
  if (!read.errors.empty()) {
    std::fprintf(stderr, "%zu read%s failed; the values they would give are shown as unknown\n", read.errors.size(),
                 read.errors.size() == 1 ? "" : "s");
    return cli::kExitFailed;
  }
  return cli::kExitOk;
}

std::vector<cli::OptionSpec> infoOptions() {
  std::vector<cli::OptionSpec> options = cli::deviceOptions();
  options.push_back({"json", nullptr, "print the record as JSON (unknown values are null)"});
  options.push_back(cli::allDevicesOption());
  return options;
}

const cli::CommandRegistration registration({"info", "[--link usb|lan|wifi|bt [--device NAME|ADDRESS] | --all] [--json]",
                                             "read the device and the newest versions online", infoOptions(), runInfo,
                                             "Exits 1 when any read or online query failed; what it would have given\n"
                                             "is shown as unknown (null in JSON), and the failures are listed.\n"
                                             "A device that another program is upgrading is not read: \"busy: ...\"\n"
                                             "(exit status 4) names that program.\n"});

}  // namespace
