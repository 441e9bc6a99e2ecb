#include "music_service/library/sqlite.h"

namespace tolvane {

namespace {
Error errorOf(sqlite3* db, int code) {
  const char* message = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  return Error{libraryErrorDomain, code, message ? message : "unknown SQLite error"};
}
}  // namespace

Result<Database> Database::open(const std::string& path) {
  sqlite3* raw = nullptr;
  const int code =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);  // owns the handle even when opening failed
  if (code != SQLITE_OK) return errorOf(raw, code);
  // Another connection (a second scan, a reader) holding a lock makes us wait, not fail.
  sqlite3_busy_timeout(raw, 30'000);
  return db;
}

Result<void> Database::execute(const char* sql) {
  const int code = sqlite3_exec(handle_.get(), sql, nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) return errorOf(handle_.get(), code);
  return {};
}

Result<Statement> Database::prepare(std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  const int code = sqlite3_prepare_v2(handle_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  Statement statement(handle_.get(), raw);
  if (code != SQLITE_OK) return errorOf(handle_.get(), code);
  return statement;
}

Error Database::lastError() const { return errorOf(handle_.get(), sqlite3_errcode(handle_.get())); }

Statement& Statement::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(handle_.get(), index, value);
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  sqlite3_bind_text64(handle_.get(), index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  return *this;
}

Statement& Statement::bindBlob(int index, std::string_view bytes) {
  sqlite3_bind_blob64(handle_.get(), index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::bindNull(int index) {
  sqlite3_bind_null(handle_.get(), index);
  return *this;
}

Statement& Statement::bind(int index, const std::optional<std::string>& text) {
  return text ? bind(index, std::string_view(*text)) : bindNull(index);
}

Statement& Statement::bind(int index, const std::optional<std::int64_t>& value) {
  return value ? bind(index, *value) : bindNull(index);
}

bool Statement::step() {
  const int code = sqlite3_step(handle_.get());
  if (code == SQLITE_ROW) return true;
  if (code != SQLITE_DONE && !failure_) failure_ = errorOf(db_, code);
  return false;
}

Result<void> Statement::run() {
  while (step()) {
  }
  if (failure_) return *failure_;
  return {};
}

void Statement::reset() {
  sqlite3_reset(handle_.get());
  sqlite3_clear_bindings(handle_.get());
  failure_.reset();
}

std::string Statement::text(int column) const {
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(handle_.get(), column));
  return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(handle_.get(), column))) : "";
}

std::optional<std::string> Statement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

std::string Statement::blob(int column) const {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(handle_.get(), column));
  return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(handle_.get(), column))) : "";
}

}  // namespace tolvane
