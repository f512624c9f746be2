#include "utils/RunFolder.h"

#include <stdlib.h>

#include <filesystem>

#include "platform/Paths.h"
#include "utils/ZipUtils.h"

RunFolder::RunFolder(const std::string& prefix) {
  const std::string parent = platform::updateDir();
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  std::string pattern = platform::joinPath(parent, prefix + "XXXXXX");
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

RunFolder::~RunFolder() {
  if (!path_.empty()) ziputils::removeTree(path_);
}
