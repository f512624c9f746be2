#include "utils/Sqlite.h"

#include <sqlite3.h>

#include <algorithm>

SqliteDb::~SqliteDb() { close(); }

int SqliteDb::open(const std::string& path) {
  close();
  const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  // Even a failed open hands back a handle, which holds the message.
  if (rc != SQLITE_OK && !db_) return rc;
  if (rc == SQLITE_OK) sqlite3_extended_result_codes(db_, 0);
  return rc;
}

void SqliteDb::close() {
  if (!db_) return;
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void SqliteDb::setBusyTimeout(int milliseconds) {
  if (db_) sqlite3_busy_timeout(db_, milliseconds);
}

int SqliteDb::exec(const char* sql) { return db_ ? sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) : SQLITE_MISUSE; }

int SqliteDb::queryText(const char* sql, std::string& value) {
  SqliteStatement statement(*this, sql);
  if (!statement.ok()) return sqlite3_errcode(db_);
  const int rc = statement.step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
  value = statement.text(0, 4096);
  return SQLITE_OK;
}

int SqliteDb::queryInt(const char* sql, int64_t& value) {
  SqliteStatement statement(*this, sql);
  if (!statement.ok()) return sqlite3_errcode(db_);
  const int rc = statement.step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
  value = statement.integer(0);
  return SQLITE_OK;
}

int64_t SqliteDb::lastInsertId() const { return db_ ? sqlite3_last_insert_rowid(db_) : 0; }

int SqliteDb::changes() const { return db_ ? sqlite3_changes(db_) : 0; }

std::string SqliteDb::error() const { return db_ ? sqlite3_errmsg(db_) : "no database open"; }

SqliteStatement::SqliteStatement(SqliteDb& db, const char* sql) {
  if (db.handle() && sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

void SqliteStatement::bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void SqliteStatement::bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

void SqliteStatement::bindNull(int index) { sqlite3_bind_null(stmt_, index); }

int SqliteStatement::step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }

std::string SqliteStatement::text(int column, size_t maxBytes) const {
  const int type = sqlite3_column_type(stmt_, column);
  if (type != SQLITE_TEXT && type != SQLITE_BLOB) return "";
  const void* bytes = type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(stmt_, column))
                                          : sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (!bytes || size <= 0) return "";
  return std::string(static_cast<const char*>(bytes), std::min(static_cast<size_t>(size), maxBytes));
}

int64_t SqliteStatement::integer(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_INTEGER ? sqlite3_column_int64(stmt_, column) : 0;
}
