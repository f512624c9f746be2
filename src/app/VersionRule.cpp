#include "app/VersionRule.h"

#include <algorithm>
#include <vector>

namespace {

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

VersionVerdict judgeVersion(std::string_view current, std::string_view latest) {
  if (latest.empty()) return VersionVerdict::LatestUnknown;
  if (current.empty()) return VersionVerdict::CurrentUnknown;
  const int order = compareVersions(latest, current);
  return order > 0 ? VersionVerdict::Upgrade : order == 0 ? VersionVerdict::UpToDate : VersionVerdict::NewerThanOnline;
}

VersionVerdict judgeSystem(const SoftwareSlot& system) {
  if (system.latestVersion.empty()) return VersionVerdict::LatestUnknown;
  if (!system.packageName.empty() && compareVersions(system.latestVersion, system.packageName) == 0) {
    return VersionVerdict::UpToDate;
  }
  return judgeVersion(system.version, system.latestVersion);
}

bool isOffered(VersionVerdict verdict, bool force) { return force || verdict == VersionVerdict::Upgrade; }

const char* verdictText(VersionVerdict verdict) {
  switch (verdict) {
    case VersionVerdict::Upgrade: return "upgrade available";
    case VersionVerdict::UpToDate: return "up to date";
    case VersionVerdict::NewerThanOnline: return "newer than online";
    case VersionVerdict::LatestUnknown: return "newest version unknown";
    case VersionVerdict::CurrentUnknown: return "current version unknown";
  }
  return "";
}
