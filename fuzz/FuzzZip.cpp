#include "utils/ZipUtils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

// The input is a package. Besides crashes, checks that unpacking never puts
// anything beside the target folder: afterwards the scratch folder may hold
// only the package and the target.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-zip-XXXXXX";
  if (!mkdtemp(pattern.data())) return 0;
  fs::path scratch(pattern);
  fs::path package = scratch / "pkg.zip";
  fs::path target = scratch / "out";
  {
    std::ofstream out(package, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  (void)ziputils::unzipToFolder(package.string(), target.string());

  std::error_code ec;
  for (fs::directory_iterator it(scratch, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path() != package && it->path() != target) __builtin_trap();
  }
  ziputils::removeTree(scratch.string());
  return 0;
}
