#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// A thin owner of an SQLite connection and its prepared statements: the
// handles close with their owners, and every failure is a code with SQLite's
// own text, never an exception.
class SqliteDb {
 public:
  SqliteDb() = default;
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // Opens (creating when missing) the database file; SQLite's result code.
  int open(const std::string& path);
  void close();
  bool isOpen() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_; }

  void setBusyTimeout(int milliseconds);
  // Runs statements without results; SQLite's result code.
  int exec(const char* sql);
  // The first column of the first row of a one-value query, as text / integer.
  int queryText(const char* sql, std::string& value);
  int queryInt(const char* sql, int64_t& value);
  int64_t lastInsertId() const;
  int changes() const;
  // The connection's last error, for a message.
  std::string error() const;

 private:
  sqlite3* db_ = nullptr;
};

class SqliteStatement {
 public:
  SqliteStatement(SqliteDb& db, const char* sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  // Parameters count from 1, as in SQLite; an empty text binds NULL only
  // through bindNull.
  void bind(int index, std::string_view text);
  void bind(int index, int64_t value);
  void bindNull(int index);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();

  // Column values of the current row, read as untrusted: NULL and values of
  // another type give "" / 0, and a text is cut to maxBytes.
  std::string text(int column, size_t maxBytes) const;
  // 0 unless the column holds an integer.
  int64_t integer(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
};
