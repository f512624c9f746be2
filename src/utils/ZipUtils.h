#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Unpacking of firmware and system packages, and the folder helpers the
// upgrades need around it. Packages come from the network: every entry name,
// type and size is checked before anything is written, and the inflated
// amount is counted as it comes out rather than taken from the headers.
namespace ziputils {

struct UnzipLimits {
  size_t maxEntries = 10000;
  uint64_t maxTotalBytes = 512ull << 20;
  // Inflated-to-compressed ratio allowed per entry, checked only once the
  // entry is past ratioFloorBytes: small files may compress as well as they like.
  uint64_t maxRatio = 1000;
  uint64_t ratioFloorBytes = 1ull << 20;
};

// Our own results, apart from minizip's UNZ_* codes (0 and -100 to -105).
constexpr int kOpenFailed = -110;      // not a readable zip archive
constexpr int kWriteFailed = -111;     // a folder or file could not be made or written
constexpr int kUnsafeEntry = -112;     // "..", absolute, drive letter, link, device, encrypted
constexpr int kTooManyEntries = -113;
constexpr int kTooLarge = -114;        // total size or ratio beyond the limits
constexpr int kSizeMismatch = -115;    // inflated size differs from the entry's header

// Extracts every entry, in archive order, under its stored name ('\' counts
// as '/') below folder, which is created if needed. 0 on success; otherwise
// the first failing minizip code or one of ours. A package with a refused
// entry writes nothing at all; one that fails later may leave the entries
// already extracted, never anything outside folder.
int unzipToFolder(const std::string& packagePath, const std::string& folder,
                  const UnzipLimits& limits = {});

// The first regular file named exactly fileName under folder, searched
// depth-first in name order; names starting with '.' are skipped and links
// are not followed. Empty when there is none.
std::string findFileByName(const std::string& folder, const std::string& fileName);

// Deletes path and everything below it (links themselves, not their
// targets). 0 when it is gone or was never there, else the errno.
int removeTree(const std::string& path);

}  // namespace ziputils
