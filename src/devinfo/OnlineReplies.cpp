#include "devinfo/OnlineReplies.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>

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

void appendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// "#65" or "#x41" (between '&' and ';'): a Unicode scalar value, else nullopt.
std::optional<uint32_t> numericReference(std::string_view ref) {
  if (ref.size() < 2 || ref[0] != '#') return std::nullopt;
  const bool hex = ref[1] == 'x';
  std::string_view digits = ref.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t cp = 0;
  for (char c : digits) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return std::nullopt;
    cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
  }
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return cp;
}

// C0 controls, DEL, and C1 controls as UTF-8 (C2 80..C2 9F).
bool holdsControl(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
        static_cast<unsigned char>(text[i + 1]) >= 0x80)
      return true;
  }
  return false;
}

// The character data of an element: the five predefined entities and
// character references decoded. An '&' that starts no known reference stays
// as it is, as a lenient server may send one raw; a malformed character
// reference refuses the whole text.
std::optional<std::string> decodeXmlText(std::string_view raw) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  constexpr size_t kLongestReference = 10;  // "#x" and 8 digits
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '&') {
      out += raw[i];
      continue;
    }
    size_t semi = raw.find(';', i + 1);
    if (semi == std::string_view::npos || semi - i - 1 > kLongestReference) {
      out += '&';
      continue;
    }
    std::string_view ref = raw.substr(i + 1, semi - i - 1);
    bool known = false;
    for (const auto& [name, c] : kEntities) {
      if (ref == name) {
        out += c;
        known = true;
      }
    }
    if (!known && !ref.empty() && ref[0] == '#') {
      std::optional<uint32_t> cp = numericReference(ref);
      if (!cp) return std::nullopt;
      appendUtf8(*cp, out);
      known = true;
    }
    if (!known) {
      out += '&';
      continue;
    }
    i = semi;
  }
  return out;
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
  std::optional<std::string> text = decodeXmlText(reply.substr(start, end - start));
  // A link or version with a control character in it is no link or version:
  // it would end up in a request line, a log or the window.
  if (!text || holdsControl(*text)) return false;
  out = std::move(*text);
  return true;
}
