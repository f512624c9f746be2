#include "ui/VersionText.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

// The registration whose devices show only their J2534 image, with a V.
constexpr std::string_view kSingleImageRegistration = "ZELQ7";

std::vector<std::string_view> splitParts(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return parts;
    start = dot + 1;
  }
}

bool isNumber(std::string_view part) {
  return !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Numbers of any length compare by value: without leading zeros, the longer is larger.
int compareNumbers(std::string_view a, std::string_view b) {
  auto trim = [](std::string_view s) {
    size_t i = s.find_first_not_of('0');
    return i == std::string_view::npos ? std::string_view() : s.substr(i);
  };
  a = trim(a);
  b = trim(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

std::string withoutLeadingV(std::string_view version) {
  if (!version.empty() && version.front() == 'V') version.remove_prefix(1);
  return std::string(version);
}

int compareVersions(std::string_view a, std::string_view b) {
  const std::string left = withoutLeadingV(a);
  const std::string right = withoutLeadingV(b);
  std::vector<std::string_view> x = splitParts(left);
  std::vector<std::string_view> y = splitParts(right);
  const size_t count = std::max(x.size(), y.size());
  for (size_t i = 0; i < count; ++i) {
    std::string_view p = i < x.size() ? x[i] : std::string_view("0");
    std::string_view q = i < y.size() ? y[i] : std::string_view("0");
    int c;
    if (isNumber(p) && isNumber(q)) {
      c = compareNumbers(p, q);
    } else {
      int t = p.compare(q);
      c = t < 0 ? -1 : t > 0 ? 1 : 0;
    }
    if (c != 0) return c;
  }
  return 0;
}

bool isNewerVersion(std::string_view latest, std::string_view current) {
  return !latest.empty() && compareVersions(latest, current) > 0;
}

std::string firmwareText(const std::string& download, const std::string& j2534, const std::string& registration) {
  if (registration == kSingleImageRegistration) return j2534.empty() ? "N/A" : "V" + j2534;
  std::string text = download.empty() ? std::string() : download + "_";
  return text + (j2534.empty() ? std::string("N/A") : j2534);
}
