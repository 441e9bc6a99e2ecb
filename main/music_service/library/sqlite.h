#pragma once

// Thin owners of SQLite's handles: a connection and a prepared statement, closed and finalised with
// their owner. Failures are error values of the domain "tolvane.library", carrying SQLite's code
// and message.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace tolvane {

inline constexpr const char* libraryErrorDomain = "tolvane.library";

class Statement;

class Database {
 public:
  // Opens (or creates) the database file at `path`. Failures leave no connection.
  static Result<Database> open(const std::string& path);

  // Runs one or more statements that take no parameters and return no rows.
  Result<void> execute(const char* sql);
  Result<Statement> prepare(std::string_view sql);
  std::int64_t changes() const { return sqlite3_changes64(handle_.get()); }

  // The connection's last error, as an error value.
  Error lastError() const;
  sqlite3* handle() const { return handle_.get(); }

 private:
  struct Close {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  explicit Database(sqlite3* handle) : handle_(handle) {}
  std::unique_ptr<sqlite3, Close> handle_;
};

class Statement {
 public:
  // Binds parameters by 1-based position.
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
  Statement& bindBlob(int index, std::string_view bytes);
  Statement& bindNull(int index);
  Statement& bind(int index, const std::optional<std::string>& text);
  Statement& bind(int index, const std::optional<std::int64_t>& value);

  // The next row: true while there is one. A failure is kept and returned by `finish`.
  bool step();
  // Steps to the end; the first failure of the run, if any.
  Result<void> run();
  // Ready for another run with new bindings.
  void reset();

  std::int64_t integer(int column) const { return sqlite3_column_int64(handle_.get(), column); }
  bool isNull(int column) const { return sqlite3_column_type(handle_.get(), column) == SQLITE_NULL; }
  std::string text(int column) const;
  std::optional<std::string> optionalText(int column) const;
  std::string blob(int column) const;

  // The failure met by step(), if any.
  const std::optional<Error>& failure() const { return failure_; }

 private:
  friend class Database;
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
  };
  Statement(sqlite3* db, sqlite3_stmt* handle) : db_(db), handle_(handle) {}
  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, Finalize> handle_;
  std::optional<Error> failure_;
};

}  // namespace tolvane
