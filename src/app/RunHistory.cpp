#include "app/RunHistory.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <set>
#include <utility>

#include "platform/FileLock.h"
#include "platform/Paths.h"
#include "platform/ProcessIdentity.h"
#include "utils/LogFacade.h"
#include "utils/Sqlite.h"

namespace {

using namespace std::chrono_literals;

// A second program writing at the same moment holds the database for a few
// milliseconds; waiting this long means it is stuck, and the run goes on.
constexpr auto kBusyWait = 15s;

// Texts read back are the database's, which anything may have written.
constexpr size_t kMaxText = 1024;

// Each entry moves the schema one version on; the version reached is the
// list's length. Append, never edit.
const char* const kMigrations[] = {
    "CREATE TABLE runs("
    " id INTEGER PRIMARY KEY,"
    " serial TEXT NOT NULL, model TEXT, link TEXT, address TEXT, what TEXT NOT NULL,"
    " version_before TEXT, version_after TEXT, result TEXT NOT NULL, step TEXT, message TEXT,"
    " started_ms INTEGER NOT NULL, ended_ms INTEGER,"
    " program TEXT, program_version TEXT, user TEXT,"
    " pid INTEGER, boot_id TEXT, process_start INTEGER);"
    "CREATE INDEX runs_by_start ON runs(started_ms);"
    "CREATE INDEX runs_by_serial ON runs(serial, started_ms);",
};
constexpr int64_t kSchemaVersion = sizeof kMigrations / sizeof kMigrations[0];

std::mutex warningLock;  // guards warningSink and warned
std::function<void(const std::string&)> warningSink;
std::set<std::string> warned;

// A failure that repeats with every run is said once; each database set aside is said.
void warn(const std::string& text, bool once = true) {
  LOG_WARN("run history: %s", text.c_str());
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> guard(warningLock);
    if (!warned.insert(text).second && once) return;
    sink = warningSink;
  }
  if (sink) sink(text);
}

const char* const kResultNames[] = {"running", "succeeded", "up-to-date", "failed", "refused", "interrupted"};

std::string timeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// Moves a database that cannot be used out of the way, keeping it for a
// look; its write-ahead log goes with it.
bool setAside(const std::string& path, const std::string& why) {
  // A copy set aside earlier in the same second is kept too.
  const std::string base = path + ".broken-" + timeStamp();
  std::string aside = base;
  for (int n = 2; std::filesystem::exists(aside) && n < 100; ++n) aside = base + "-" + std::to_string(n);
  std::error_code ec;
  std::filesystem::rename(path, aside, ec);
  if (ec) {
    warn("the database " + path + " " + why + " and cannot be set aside: " + ec.message() +
         "; runs are not recorded");
    return false;
  }
  std::error_code ignored;
  std::filesystem::rename(path + "-wal", aside + "-wal", ignored);
  std::filesystem::remove(path + "-shm", ignored);
  warn("the database " + path + " " + why + "; it was set aside as " + aside + " and a new one started", false);
  return true;
}

bool migrate(SqliteDb& db, std::string& problem) {
  if (db.exec("BEGIN IMMEDIATE") != SQLITE_OK) {
    problem = db.error();
    return false;
  }
  int64_t version = 0;
  bool ok = db.queryInt("PRAGMA user_version", version) == SQLITE_OK;
  for (int64_t v = version; ok && v < kSchemaVersion; ++v) ok = db.exec(kMigrations[v]) == SQLITE_OK;
  if (ok && version < kSchemaVersion) {
    ok = db.exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str()) == SQLITE_OK;
  }
  if (!ok) problem = db.error();
  ok = ok && db.exec("COMMIT") == SQLITE_OK;
  if (!ok) db.exec("ROLLBACK");
  return ok;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

const char* runResultName(RunResult result) {
  const auto index = static_cast<size_t>(result);
  return index < std::size(kResultNames) ? kResultNames[index] : "unknown";
}

RunResult parseRunResult(const std::string& name) {
  for (size_t i = 0; i < std::size(kResultNames); ++i) {
    if (name == kResultNames[i]) return static_cast<RunResult>(i);
  }
  return RunResult::Unknown;
}

std::string RunHistory::defaultPath() {
  return platform::joinPath(platform::joinPath(platform::workRoot(), "history"), "history.db");
}

void RunHistory::setWarningSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> guard(warningLock);
  warningSink = std::move(sink);
}

RunHistory::RunHistory(std::string path) : path_(std::move(path)) {}

bool RunHistory::open(SqliteDb& db) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
  // Checking and setting aside must not race another program that has just
  // started a new database in the same place.
  platform::FileLock lock(path_ + ".lock");
  if (ec || !lock.held()) {
    warn("cannot use the folder of " + path_ + (ec ? ": " + ec.message() : std::string()) +
         "; runs are not recorded");
    return false;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string unusable;  // why the file is not a database of ours
    int rc = db.open(path_);
    if (rc == SQLITE_OK) {
      db.setBusyTimeout(static_cast<int>(std::chrono::milliseconds(kBusyWait).count()));
      std::string check;
      rc = db.queryText("PRAGMA quick_check", check);
      int64_t version = 0;
      if (rc == SQLITE_OK && check != "ok") {
        unusable = "is damaged (" + logfacade::escapeForLog(check, 120) + ")";
      } else if (rc == SQLITE_OK && (rc = db.queryInt("PRAGMA user_version", version)) == SQLITE_OK &&
                 version > kSchemaVersion) {
        unusable = "was written by a newer program (schema " + std::to_string(version) + ", this one knows " +
                   std::to_string(kSchemaVersion) + ")";
      }
    }
    if (unusable.empty() && (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT)) unusable = "is not a usable database";
    if (unusable.empty() && rc != SQLITE_OK) {
      warn("cannot open " + path_ + ": " + db.error() + "; runs are not recorded");
      db.close();
      return false;
    }
    if (unusable.empty()) {
      std::string mode, problem;
      if (db.queryText("PRAGMA journal_mode = WAL", mode) == SQLITE_OK && migrate(db, problem)) return true;
      warn("cannot prepare " + path_ + ": " + (problem.empty() ? db.error() : problem) + "; runs are not recorded");
      db.close();
      return false;
    }
    db.close();
    if (!setAside(path_, unusable)) return false;
  }
  return false;
}

bool RunHistory::insert(SqliteDb& db, RunRow& row) {
  SqliteStatement s(db,
                    "INSERT INTO runs(serial, model, link, address, what, version_before, version_after, result, "
                    "step, message, started_ms, ended_ms, program, program_version, user, pid, boot_id, "
                    "process_start) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)");
  if (!s.ok()) return false;
  int i = 1;
  for (const std::string* text : {&row.serialNumber, &row.model, &row.link, &row.address, &row.what,
                                  &row.versionBefore, &row.versionAfter}) {
    s.bind(i++, *text);
  }
  s.bind(i++, std::string(runResultName(row.result)));
  s.bind(i++, row.step);
  s.bind(i++, row.message);
  s.bind(i++, row.startedMs);
  if (row.endedMs) {
    s.bind(i++, row.endedMs);
  } else {
    s.bindNull(i++);
  }
  for (const std::string* text : {&row.program, &row.programVersion, &row.user}) s.bind(i++, *text);
  s.bind(i++, row.pid);
  s.bind(i++, row.bootId);
  s.bind(i++, row.processStart);
  if (s.step() != SQLITE_DONE) return false;
  row.id = db.lastInsertId();
  return true;
}

bool RunHistory::begin(RunRow& row) {
  row.result = RunResult::Running;
  if (!row.startedMs) row.startedMs = nowMs();
  const platform::ProcessIdentity self = platform::thisProcess();
  row.pid = self.pid;
  row.bootId = self.bootId;
  row.processStart = self.startTicks;
  SqliteDb db;
  if (!open(db)) return false;
  if (insert(db, row)) return true;
  warn("cannot record the run in " + path_ + ": " + db.error());
  return false;
}

bool RunHistory::finish(RunRow& row) {
  if (!row.endedMs && row.result != RunResult::Interrupted) row.endedMs = nowMs();
  SqliteDb db;
  if (!open(db)) return false;
  {
    SqliteStatement s(db,
                      "UPDATE runs SET result=?1, step=?2, message=?3, version_after=?4, ended_ms=?5 "
                      "WHERE id=?6 AND pid=?7 AND started_ms=?8");
    s.bind(1, std::string(runResultName(row.result)));
    s.bind(2, row.step);
    s.bind(3, row.message);
    s.bind(4, row.versionAfter);
    if (row.endedMs) {
      s.bind(5, row.endedMs);
    } else {
      s.bindNull(5);
    }
    s.bind(6, row.id);
    s.bind(7, row.pid);
    s.bind(8, row.startedMs);
    if (s.ok() && s.step() == SQLITE_DONE && db.changes() == 1) return true;
  }
  if (insert(db, row)) return true;
  warn("cannot record the end of the run in " + path_ + ": " + db.error());
  return false;
}

bool RunHistory::setVersionAfter(int64_t id, const std::string& after) {
  SqliteDb db;
  if (!open(db)) return false;
  SqliteStatement s(db, "UPDATE runs SET version_after=?1 WHERE id=?2");
  s.bind(1, after);
  s.bind(2, id);
  return s.ok() && s.step() == SQLITE_DONE;
}

std::vector<RunRow> RunHistory::list(const RunFilter& filter) {
  std::vector<RunRow> rows;
  SqliteDb db;
  if (!open(db)) return rows;
  SqliteStatement s(db,
                    "SELECT id, serial, model, link, address, what, version_before, version_after, result, step, "
                    "message, started_ms, ended_ms, program, program_version, user, pid, boot_id, process_start "
                    "FROM runs WHERE (?1 = '' OR serial = ?1) AND started_ms >= ?2 "
                    "AND (?3 = 0 OR what IN ('firmware', 'system')) "
                    "ORDER BY started_ms DESC, id DESC LIMIT ?4");
  s.bind(1, filter.serialNumber);
  s.bind(2, filter.sinceMs);
  s.bind(3, int64_t{filter.upgradesOnly ? 1 : 0});
  s.bind(4, int64_t{filter.limit > 0 ? filter.limit : -1});
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    RunRow r;
    int c = 0;
    r.id = s.integer(c++);
    for (std::string* text : {&r.serialNumber, &r.model, &r.link, &r.address, &r.what, &r.versionBefore,
                              &r.versionAfter}) {
      *text = s.text(c++, kMaxText);
    }
    r.result = parseRunResult(s.text(c++, kMaxText));
    r.step = s.text(c++, kMaxText);
    r.message = s.text(c++, kMaxText);
    r.startedMs = s.integer(c++);
    r.endedMs = s.integer(c++);
    for (std::string* text : {&r.program, &r.programVersion, &r.user}) *text = s.text(c++, kMaxText);
    r.pid = s.integer(c++);
    r.bootId = s.text(c++, kMaxText);
    r.processStart = s.integer(c++);
    rows.push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) warn("cannot read " + path_ + ": " + db.error());
  for (RunRow& r : rows) {
    if (r.result != RunResult::Running || platform::isRunning({r.pid, r.bootId, r.processStart})) continue;
    r.result = RunResult::Interrupted;
    // Stored too, so a later process with the same id cannot bring the run back to life.
    SqliteStatement u(db, "UPDATE runs SET result='interrupted' WHERE id=?1 AND result='running'");
    u.bind(1, r.id);
    u.step();
  }
  return rows;
}
