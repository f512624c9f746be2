#pragma once
#include <minizip/zip.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ZipItem {
  std::string name;
  std::string data;
  unsigned long unixMode = 0;            // 0: written as from a non-Unix host
  std::optional<uint64_t> declaredSize{};  // set: stored raw, the header claims this size
};

// Writes an archive whose entries carry exactly the given names, modes and,
// where asked, a size that lies. False when minizip refuses any step.
inline bool writeZip(const std::string& path, const std::vector<ZipItem>& items) {
  zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (!zf) return false;
  bool ok = true;
  for (const ZipItem& item : items) {
    zip_fileinfo info{};
    info.external_fa = item.unixMode << 16;
    const uLong madeBy = item.unixMode ? (3u << 8) | 20 : 20;
    const bool raw = item.declaredSize.has_value();
    ok = ok && zipOpenNewFileInZip4_64(zf, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                       raw ? 0 : Z_DEFLATED, raw ? 0 : 9, raw ? 1 : 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                       Z_DEFAULT_STRATEGY, nullptr, 0, madeBy, 0, 0) == ZIP_OK;
    if (ok && !item.data.empty()) {
      ok = zipWriteInFileInZip(zf, item.data.data(), static_cast<unsigned>(item.data.size())) == ZIP_OK;
    }
    if (ok && raw) {
      uLong crc = crc32(0, reinterpret_cast<const Bytef*>(item.data.data()), static_cast<uInt>(item.data.size()));
      ok = zipCloseFileInZipRaw64(zf, *item.declaredSize, crc) == ZIP_OK;
    } else if (ok) {
      ok = zipCloseFileInZip(zf) == ZIP_OK;
    }
  }
  return zipClose(zf, nullptr) == ZIP_OK && ok;
}

// The same archive in memory; scratchPath is used and removed.
inline std::vector<uint8_t> makeZip(const std::string& scratchPath, const std::vector<ZipItem>& items) {
  std::vector<uint8_t> bytes;
  if (writeZip(scratchPath, items)) {
    std::ifstream in(scratchPath, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::filesystem::remove(scratchPath);
  return bytes;
}

}  // namespace testsupport
