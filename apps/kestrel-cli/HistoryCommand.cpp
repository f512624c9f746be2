#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "Cli.h"
#include "app/RunHistory.h"
#include "viewmodel/HistoryView.h"

namespace {

// "2026-12-07", "2026-12-07T10:42" or "2026-12-07 10:42:05", in local time.
bool parseSince(const std::string& text, int64_t& ms) {
  std::tm t{};
  int used = 0;
  const char* s = text.c_str();
  if (std::sscanf(s, "%4d-%2d-%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &used) != 3 || used != 10) return false;
  if (text.size() > 10) {
    int rest = 0;
    const bool separator = text[10] == 'T' || text[10] == ' ';
    if (!separator || std::sscanf(s + 11, "%2d:%2d%n", &t.tm_hour, &t.tm_min, &rest) != 2 || rest != 5) return false;
    if (text.size() > 16 && (std::sscanf(s + 16, ":%2d%n", &t.tm_sec, &rest) != 1 || rest != 3)) return false;
    if (text.size() != 16 && text.size() != 19) return false;
  }
  const std::tm asked = t;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  const std::time_t at = std::mktime(&t);
  // mktime carries 2026-02-30 into March: a field that moved was not a date.
  if (at == -1 || t.tm_mday != asked.tm_mday || t.tm_mon != asked.tm_mon - 1 || t.tm_hour != asked.tm_hour ||
      t.tm_min != asked.tm_min || asked.tm_sec > 59) {
    return false;
  }
  ms = static_cast<int64_t>(at) * 1000;
  return true;
}

// ISO 8601 with the local offset, for JSON; null when unknown.
std::string isoTime(int64_t ms) {
  if (historyTime(ms).empty()) return "null";
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string iso = text;
  if (iso.size() > 2) iso.insert(iso.size() - 2, ":");
  return "\"" + iso + "\"";
}

// Terminal columns of a UTF-8 text: continuation bytes take none.
size_t columnsOf(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

std::string csvField(const std::string& text) {
  const std::string valid = cli::validUtf8(text);
  if (valid.find_first_of(",\"\r\n") == std::string::npos) return valid;
  std::string out = "\"";
  for (char c : valid) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void printTable(const std::vector<RunRow>& rows) {
  const HistoryWords words;
  constexpr size_t kColumns = static_cast<size_t>(HistoryColumn::Count);
  std::vector<std::vector<std::string>> table;
  std::vector<std::string> headings;
  for (size_t c = 0; c < kColumns; ++c) headings.push_back(historyHeading(static_cast<HistoryColumn>(c)));
  table.push_back(headings);
  for (const RunRow& row : rows) {
    std::vector<std::string> cells = historyCells(row, words);
    for (std::string& cell : cells) cell = cli::shown(cell);
    table.push_back(cells);
  }
  std::vector<size_t> width(kColumns, 0);
  for (const auto& cells : table) {
    for (size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], columnsOf(cells[c]));
  }
  for (const auto& cells : table) {
    std::string line;
    for (size_t c = 0; c < kColumns; ++c) {
      line += cells[c];
      // The result, last but one, may be long: the user column still lines up.
      if (c + 1 < kColumns) line += std::string(width[c] - columnsOf(cells[c]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
}

// A time as CSV wants it: the ISO text unquoted, empty when unknown.
std::string csvTime(int64_t ms) {
  const std::string iso = isoTime(ms);
  return iso == "null" ? "" : iso.substr(1, iso.size() - 2);
}

void printCsv(const std::vector<RunRow>& rows) {
  std::printf("started,ended,serialNumber,model,link,address,what,before,after,result,step,message,program,"
              "programVersion,user\n");
  for (const RunRow& r : rows) {
    std::string line = csvTime(r.startedMs) + "," + csvTime(r.endedMs);
    for (const std::string& field : {r.serialNumber, r.model, r.link, r.address, r.what, r.versionBefore,
                                     r.versionAfter, std::string(runResultName(r.result)), r.step, r.message,
                                     r.program, r.programVersion, r.user}) {
      line += "," + csvField(field);
    }
    std::printf("%s\n", line.c_str());
  }
}

void printJson(const std::vector<RunRow>& rows) {
  std::string out = "{\"runs\":[";
  for (size_t i = 0; i < rows.size(); ++i) {
    const RunRow& r = rows[i];
    out += std::string(i ? "," : "") + "{\"id\":" + std::to_string(r.id) +
           ",\"serialNumber\":" + cli::jsonOrNull(r.serialNumber) + ",\"model\":" + cli::jsonOrNull(r.model) +
           ",\"link\":" + cli::jsonOrNull(r.link) + ",\"address\":" + cli::jsonOrNull(r.address) +
           ",\"what\":" + cli::jsonOrNull(r.what) + ",\"before\":" + cli::jsonOrNull(r.versionBefore) +
           ",\"after\":" + cli::jsonOrNull(r.versionAfter) + ",\"result\":\"" + runResultName(r.result) +
           "\",\"step\":" + cli::jsonOrNull(r.step) + ",\"message\":" + cli::jsonOrNull(r.message) +
           ",\"started\":" + isoTime(r.startedMs) + ",\"ended\":" + isoTime(r.endedMs) +
           ",\"program\":" + cli::jsonOrNull(r.program) + ",\"programVersion\":" + cli::jsonOrNull(r.programVersion) +
           ",\"user\":" + cli::jsonOrNull(r.user) + "}";
  }
  std::printf("%s]}\n", out.c_str());
}

int runHistory(const cli::Args& args) {
  RunFilter filter;
  filter.serialNumber = args.option("device");
  if (args.flag("since") && !parseSince(args.option("since"), filter.sinceMs)) {
    std::fprintf(stderr, "--since: '%s' is not a date (YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS])\n",
                 cli::shown(args.option("since")).c_str());
    return cli::kExitUsage;
  }
  if (args.json && args.flag("csv")) {
    std::fprintf(stderr, "--json and --csv: choose one\n");
    return cli::kExitUsage;
  }
  RunHistory history;
  const std::vector<RunRow> rows = history.list(filter);
  if (args.json) {
    printJson(rows);
  } else if (args.flag("csv")) {
    printCsv(rows);
  } else if (rows.empty()) {
    if (!args.quiet()) std::fprintf(stderr, "no runs recorded in %s\n", history.path().c_str());
  } else {
    printTable(rows);
  }
  return cli::kExitOk;
}

const cli::CommandRegistration registration(
    {"history", "[--device SN] [--since DATE] [--json|--csv]", "list the upgrades and Wi-Fi changes made, newest first",
     {{"device", "SN", "only the runs of the device with this serial number"},
      {"since", "DATE", "only the runs started since DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS], local time)"},
      {"json", nullptr, "every field, as one JSON object on stdout"},
      {"csv", nullptr, "every field, as comma-separated values with a header line"}},
     runHistory,
     "Every upgrade and Wi-Fi change, from this program and the desktop program,\n"
     "is recorded in <root>/history/history.db as it starts and completed as it\n"
     "ends; a run whose program was killed shows as interrupted. Firmware\n"
     "versions read \"V1.10, J2534 V2.10\"; a Wi-Fi run names the network joined,\n"
     "never its key. A database that cannot be read is set aside with a warning\n"
     "and a new one started; no upgrade is refused because of it.\n"});

}  // namespace
