#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/RunHistory.h"
#include "support/TestEnv.h"
#include "viewmodel/HistoryView.h"

namespace {

RunRow sampleRow(const std::string& serial) {
  RunRow row;
  row.serialNumber = serial;
  row.what = runwhat::kFirmware;
  row.versionBefore = "V1.10, J2534 V2.10";
  return row;
}

// Raw SQL on the file, as another program (or a careless hand) would write it.
void rawSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

std::vector<std::string> brokenCopies(const std::string& path) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("history.db.broken-", 0) == 0 && name.find("-wal") == std::string::npos) {
      out.push_back(entry.path().string());
    }
  }
  return out;
}

class RunHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::path(folder_.path()) / "history" / "history.db").string();
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    RunHistory::setWarningSink([this](const std::string& text) { warnings_.push_back(text); });
  }
  void TearDown() override { RunHistory::setWarningSink(nullptr); }

  testsupport::TempFolder folder_{"history"};
  std::string path_;
  std::vector<std::string> warnings_;
};

// A file that is no database of ours is kept aside, said once with its path,
// and the run is recorded in a new database all the same.
TEST_F(RunHistoryTest, UnusableDatabase_isSetAsideOnceAndANewOneStarted) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> spoil;
    const char* said;
  };
  const Case cases[] = {
      {"garbage", [](const std::string& p) { testsupport::writeText(p, std::string(4096, '\xA5')); },
       "is not a usable database"},
      {"newer schema", [](const std::string& p) { rawSql(p, "CREATE TABLE runs(x); PRAGMA user_version = 99;"); },
       "was written by a newer program (schema 99"},
      {"damaged page", [](const std::string& p) {
         RunHistory(p).list({});
         std::string bytes = testsupport::readText(p);
         // The schema's records fill the first page from its end.
         ASSERT_GT(bytes.size(), 4096u);
         for (size_t i = 3072; i < 4096; ++i) bytes[i] = '\xFF';
         testsupport::writeText(p, bytes);
       }, "the database "},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(std::filesystem::path(path_).parent_path());
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    c.spoil(path_);
    const std::string spoilt = testsupport::readText(path_);
    warnings_.clear();

    RunRow row = sampleRow("5RHM10000001");
    ASSERT_TRUE(RunHistory(path_).begin(row)) << c.name;
    row.result = RunResult::Succeeded;
    ASSERT_TRUE(RunHistory(path_).finish(row)) << c.name;

    ASSERT_EQ(warnings_.size(), 1u) << c.name;
    EXPECT_NE(warnings_[0].find("the database " + path_ + " "), std::string::npos) << warnings_[0];
    EXPECT_NE(warnings_[0].find(c.said), std::string::npos) << warnings_[0];
    const std::vector<std::string> kept = brokenCopies(path_);
    ASSERT_EQ(kept.size(), 1u) << c.name;
    EXPECT_EQ(testsupport::readText(kept[0]), spoilt) << c.name;
    const std::vector<RunRow> rows = RunHistory(path_).list({});
    ASSERT_EQ(rows.size(), 1u) << c.name;
    EXPECT_EQ(rows[0].result, RunResult::Succeeded) << c.name;
  }
}

// Two programs recording at once: every row of both is there, complete.
TEST_F(RunHistoryTest, TwoWritersAtOnce_loseNoRow) {
  constexpr int kRows = 150;
  std::vector<pid_t> children;
  for (const char* serial : {"5RHM10000001", "5RHM10000002"}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kRows; ++i) {
        RunRow row = sampleRow(serial);
        RunHistory history(path_);
        failures += !history.begin(row);
        row.result = RunResult::Succeeded;
        row.versionAfter = std::to_string(i);
        failures += !history.finish(row);
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
  }
  const std::vector<RunRow> rows = RunHistory(path_).list({});
  ASSERT_EQ(rows.size(), 2u * kRows);
  std::set<std::string> seen;
  for (const RunRow& row : rows) {
    EXPECT_EQ(row.result, RunResult::Succeeded);
    seen.insert(row.serialNumber + "/" + row.versionAfter);
  }
  EXPECT_EQ(seen.size(), 2u * kRows);
  EXPECT_TRUE(warnings_.empty()) << warnings_[0];
}

// A row begun by a process that is gone reads as interrupted, this process's as running.
TEST_F(RunHistoryTest, RunningRow_isInterruptedOnceItsProcessIsGone) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    RunRow row = sampleRow("5RHM10000001");
    _exit(RunHistory(path_).begin(row) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  RunRow mine = sampleRow("5RHM10000002");
  ASSERT_TRUE(RunHistory(path_).begin(mine));

  std::vector<RunRow> rows = RunHistory(path_).list({});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].result, RunResult::Running);
  EXPECT_EQ(rows[1].result, RunResult::Interrupted);
  EXPECT_EQ(historyResult(rows[1], HistoryWords()), "interrupted");
  // Stored so: the dead run cannot come back to life under a reused id.
  rawSql(path_, "UPDATE runs SET pid = " + std::to_string(getpid()) + " WHERE serial = '5RHM10000001'");
  EXPECT_EQ(RunHistory(path_).list({.serialNumber = "5RHM10000001"}).at(0).result, RunResult::Interrupted);
}

// Whatever the file holds is read without harm: nulls, wrong types, huge and
// control-laden texts.
TEST_F(RunHistoryTest, HostileContents_areReadBoundedAndShownOnOneLine) {
  RunHistory(path_).list({});
  rawSql(path_,
         "INSERT INTO runs(serial, what, result, started_ms) VALUES ('A', 'firmware', 'succeeded', 1);"
         "INSERT INTO runs(serial, what, result, started_ms, model, pid, ended_ms) "
         "  VALUES (x'00ff41', 'odd\x01kind', 'exploded', 2, 42, 'not a number', 'soon');"
         "INSERT INTO runs(serial, what, result, started_ms, message) "
         "  VALUES ('B', 'system', 'failed', 3, printf('%.*c', 3000000, 'x') || char(10) || 'tail');"
         "INSERT INTO runs(serial, what, result, started_ms, version_after) "
         "  VALUES ('C', 'wifi', 'succeeded', 99999999999999999, NULL);");
  const std::vector<RunRow> rows = RunHistory(path_).list({});
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].serialNumber, "C");
  EXPECT_EQ(historyTime(rows[0].startedMs), "");
  EXPECT_EQ(rows[1].message.size(), 1024u);
  EXPECT_EQ(rows[2].result, RunResult::Unknown);
  EXPECT_EQ(rows[2].pid, 0);
  EXPECT_EQ(rows[2].endedMs, 0);
  EXPECT_EQ(rows[2].serialNumber, std::string("\0\xff" "A", 3));
  for (const RunRow& row : rows) {
    for (const std::string& cell : historyCells(row, HistoryWords())) {
      for (unsigned char ch : cell) EXPECT_GE(ch, 0x20) << cell;
    }
  }
}

}  // namespace
