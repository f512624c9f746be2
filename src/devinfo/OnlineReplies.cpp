#include "devinfo/OnlineReplies.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <memory>

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::optional<std::string> memberText(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  if (!item) return std::nullopt;
  return cJSON_IsString(item) && item->valuestring ? std::string(item->valuestring) : std::string();
}

// Integer part in decimal; beyond the range of a long long no software type
// could match, so it reads as empty.
std::string integerText(double value) {
  if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) return {};
  return std::to_string(static_cast<long long>(std::trunc(value)));
}

}  // namespace

bool parseSoftList(std::string_view reply, std::vector<SoftListEntry>& entries) {
  JsonPtr root(cJSON_ParseWithLength(reply.data(), reply.size()), cJSON_Delete);
  if (!root) return false;
  const cJSON* result = cJSON_GetObjectItemCaseSensitive(root.get(), "result");
  if (!cJSON_IsArray(result) || cJSON_GetArraySize(result) < 1) return false;

  entries.clear();
  const cJSON* element = nullptr;
  cJSON_ArrayForEach(element, result) {
    SoftListEntry entry;
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(element, "softType");
    entry.hasSoftType = type != nullptr;
    if (cJSON_IsString(type) && type->valuestring) {
      entry.softType = type->valuestring;
    } else if (cJSON_IsNumber(type)) {
      entry.softType = integerText(type->valuedouble);
      entry.softTypeIsNumber = true;
    }
    entry.version = memberText(element, "version");
    entry.softPackageName = memberText(element, "softPackageName");
    entry.downloadLink = memberText(element, "downloadLink");
    entries.push_back(std::move(entry));
  }
  return true;
}

bool soapTagText(std::string_view reply, std::string_view tag, std::string& out) {
  const std::string open = "<" + std::string(tag) + ">";
  const std::string close = "</" + std::string(tag) + ">";
  size_t start = reply.find(open);
  if (start == std::string_view::npos || start == 0) return false;
  start += open.size();
  size_t end = reply.find(close, start);
  if (end == std::string_view::npos) return false;
  out.assign(reply.substr(start, end - start));
  return true;
}
