#include "SimPackages.h"

#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "utils/Md5.h"

namespace sim {
namespace {

constexpr size_t kMarkerOffset = 0x100;
constexpr size_t kMaxVersionLength = 64;

uint32_t seedFrom(const std::string& text, uint32_t seed) {
  uint32_t h = 2166136261u ^ seed;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h ? h : 1;
}

void fill(std::vector<uint8_t>& bytes, uint32_t state) {
  for (auto& b : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }
}

void putMarker(std::vector<uint8_t>& bytes, size_t at, const std::string& version) {
  std::string text = std::string(kVersionMarker) + version;
  std::memcpy(bytes.data() + at, text.data(), text.size());
  bytes[at + text.size()] = 0;
}

std::string iniText(const std::string& version) {
  return "[Info]\r\nVersion=" + version + "\r\nCorbelb_Version=" + version + "\r\nCorbelc_Version=" + version +
         "\r\nHarbinova_Version=" + version + "\r\n";
}

}  // namespace

std::vector<uint8_t> buildFirmwareImage(const std::string& version, size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  fill(bytes, seedFrom(version, seed));
  size_t need = std::strlen(kVersionMarker) + version.size() + 1;
  if (version.size() <= kMaxVersionLength) {
    if (size >= kMarkerOffset + need) putMarker(bytes, kMarkerOffset, version);
    else if (size >= need) putMarker(bytes, 0, version);
  }
  return bytes;
}

std::string embeddedVersion(const std::vector<uint8_t>& bytes) {
  const size_t markerLength = std::strlen(kVersionMarker);
  if (bytes.size() < markerLength) return {};
  for (size_t i = 0; i + markerLength <= bytes.size(); ++i) {
    if (std::memcmp(bytes.data() + i, kVersionMarker, markerLength) != 0) continue;
    std::string version;
    for (size_t j = i + markerLength; j < bytes.size() && version.size() <= kMaxVersionLength; ++j) {
      uint8_t c = bytes[j];
      if (c == 0 || c == '\r' || c == '\n') return version;
      if (c < 0x20 || c > 0x7E) return {};
      version.push_back(static_cast<char>(c));
    }
    return {};
  }
  return {};
}

size_t requiredImageSize(int model, const std::string& softType) {
  if (model < 0 || model > 3) return 0;
  if (softType == "1" || softType == "2") return 0x60000;
  if (softType == "3") return 0x70000;
  return 0;
}

std::vector<uint8_t> buildZip(const std::vector<ZipEntry>& entries) {
  std::string path = (std::filesystem::temp_directory_path() / "kestrel-sim-zip-XXXXXX").string();
  int fd = mkstemp(path.data());
  if (fd < 0) return {};
  close(fd);

  bool ok = false;
  if (zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE)) {
    ok = true;
    for (const auto& entry : entries) {
      zip_fileinfo info{};
      info.tmz_date = {0, 0, 12, 1, 0, 2024};  // a fixed date keeps packages byte-identical
      int method = entry.stored ? 0 : Z_DEFLATED;
      int level = entry.stored ? 0 : Z_DEFAULT_COMPRESSION;
      if (zipOpenNewFileInZip64(zf, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method, level,
                                entry.bytes.size() >= 0xFFFFFFFFu) != ZIP_OK) {
        ok = false;
        break;
      }
      if (!entry.bytes.empty() &&
          zipWriteInFileInZip(zf, entry.bytes.data(), static_cast<unsigned>(entry.bytes.size())) != ZIP_OK) {
        ok = false;
      }
      if (zipCloseFileInZip(zf) != ZIP_OK) ok = false;
      if (!ok) break;
    }
    if (zipClose(zf, nullptr) != ZIP_OK) ok = false;
  }

  std::vector<uint8_t> bytes;
  if (ok) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::remove(path.c_str());
  return bytes;
}

std::vector<uint8_t> buildFirmwarePackage(const std::vector<uint8_t>& image) {
  return buildZip({{kFirmwareEntry, image, false}});
}

std::vector<uint8_t> buildSystemImage(const std::string& version, size_t size) {
  std::string marker = std::string(kVersionMarker) + version + "\n";
  // A stored archive spends about 130 bytes on headers for two small entries.
  constexpr size_t kOverhead = 160;
  size_t payload = size > marker.size() + kOverhead ? size - marker.size() - kOverhead : 0;
  std::vector<uint8_t> rootfs(payload);
  fill(rootfs, seedFrom(version, 0x5157));
  return buildZip({{"VERSION", std::vector<uint8_t>(marker.begin(), marker.end()), true},
                   {"rootfs.img", std::move(rootfs), true}});
}

std::vector<uint8_t> buildSystemPackage(const std::string& packageName, const std::string& version,
                                        const std::vector<uint8_t>& systemImage) {
  std::string folder = packageName + "_" + version + "/";
  std::string ini = iniText(version);
  return buildZip({{folder + "system.ini", std::vector<uint8_t>(ini.begin(), ini.end()), false},
                   {folder + "system.zip", systemImage, true}});
}

std::string md5Hex(const std::vector<uint8_t>& bytes) { return Md5::hex(bytes.data(), bytes.size()); }

}  // namespace sim
