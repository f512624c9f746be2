#include "ui/VersionText.h"

#include <string_view>

namespace {

// The registration whose devices show only their J2534 image, with a V.
constexpr std::string_view kSingleImageRegistration = "ZELQ7";

}  // namespace

std::string firmwareText(const std::string& download, const std::string& j2534, const std::string& registration) {
  if (registration == kSingleImageRegistration) return j2534.empty() ? "N/A" : "V" + j2534;
  std::string text = download.empty() ? std::string() : download + "_";
  return text + (j2534.empty() ? std::string("N/A") : j2534);
}
