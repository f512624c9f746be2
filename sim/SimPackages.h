#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Firmware images, firmware packages and system packages as the maker's
// services would hand them out, built by the simulator itself. Every image and
// system.zip carries its version after kVersionMarker, so the virtual device
// can adopt the version of what it received.
namespace sim {

inline constexpr char kVersionMarker[] = "KESTREL-VERSION:";

// size bytes of deterministic filler (from version and seed) with the marker
// and version, zero-terminated, at offset 0x100 (or 0 for a small image).
std::vector<uint8_t> buildFirmwareImage(const std::string& version, size_t size, uint32_t seed = 0);

// The version after the first marker; empty when there is none.
std::string embeddedVersion(const std::vector<uint8_t>& bytes);

// The image size the boot loader demands for a model and software type, or 0
// when any size is taken (models 4 to 6, unknown types).
size_t requiredImageSize(int model, const std::string& softType);

struct ZipEntry {
  std::string name;  // stored as given: '\' stays '\'
  std::vector<uint8_t> bytes;
  bool stored = false;  // no compression
};
// A zip archive in memory; empty on failure.
std::vector<uint8_t> buildZip(const std::vector<ZipEntry>& entries);

inline constexpr char kFirmwareEntry[] = "Diagnostic\\Configure\\Download\\DOWNLOAD.BIN";
// A firmware package: the image as kFirmwareEntry.
std::vector<uint8_t> buildFirmwarePackage(const std::vector<uint8_t>& image);

// A system.zip of about size bytes (stored, so the marker stays readable).
std::vector<uint8_t> buildSystemImage(const std::string& version, size_t size);
// A system package: "<packageName>_<version>/system.ini" ([Info] Version=...)
// and "<packageName>_<version>/system.zip".
std::vector<uint8_t> buildSystemPackage(const std::string& packageName, const std::string& version,
                                        const std::vector<uint8_t>& systemImage);

std::string md5Hex(const std::vector<uint8_t>& bytes);

}  // namespace sim
