#include "core/sqlite.h"

#include <sqlite3.h>

#include "core/thread_annotations.h"

namespace kolvex::core {

// One open handle shared by the copies of a Connection and by its statements.
// Every use takes the mutex and checks that the handle is still open; close()
// finalizes every statement under the same mutex, so a statement object that
// outlives the close never touches freed memory.
struct Connection::State {
  Mutex mutex;
  sqlite3* db GUARDED_BY(mutex) = nullptr;

  ~State() { close_locked(); }

  void close_locked() noexcept REQUIRES(mutex) {
    if (!db) return;
    while (sqlite3_stmt* stmt = sqlite3_next_stmt(db, nullptr)) sqlite3_finalize(stmt);
    // close_v2 never leaves the handle open (an unfinished backup or blob would
    // make plain close fail); SQLite releases it once nothing uses it any more.
    sqlite3_close_v2(db);
    db = nullptr;
  }
};

namespace {

constexpr int BUSY_TIMEOUT_MS = 5000;
// How much of an immutable database file is mapped into memory for reading.
constexpr std::int64_t IMMUTABLE_MMAP_BYTES = std::int64_t{1} << 30;
constexpr const char* CLOSED_MESSAGE = "connection is closed";

sqlite3* open_db(const std::shared_ptr<Connection::State>& state) REQUIRES(state->mutex) {
  if (!state || !state->db) throw SqliteError(CLOSED_MESSAGE);
  return state->db;
}

[[noreturn]] void throw_error(sqlite3* db) {
  throw SqliteError(sqlite3_errmsg(db), sqlite3_extended_errcode(db));
}

void check(sqlite3* db, int rc) {
  if (rc != SQLITE_OK) throw_error(db);
}

bool needs_percent_encoding(char c) { return c == '%' || c == '?' || c == '#'; }

// The process never asks SQLite how much memory it uses: without the count,
// allocations inside SQLite take no process-wide lock. It can only be set before
// SQLite starts, hence before the first connection.
void leave_out_memory_statistics() {
  static const int configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  (void)configured;
}

std::shared_ptr<Connection::State> open_state(const std::string& name, int flags) {
  leave_out_memory_statistics();
  auto state = std::make_shared<Connection::State>();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int code = db ? sqlite3_extended_errcode(db) : rc;
    sqlite3_close(db);
    throw SqliteError(std::move(message), code);
  }
  {
    // Nothing else sees the state yet; the lock is what lets the handle be set.
    MutexLock lock(state->mutex);
    state->db = db;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
  return state;
}

template <typename T>
std::optional<T> query_first(const std::shared_ptr<Connection::State>& state, std::string_view sql,
                             T (*read)(sqlite3_stmt*)) {
  MutexLock lock(state->mutex);
  sqlite3* db = open_db(state);
  sqlite3_stmt* stmt = nullptr;
  check(db, sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr));
  if (!stmt) return std::nullopt;  // empty statement text
  std::optional<T> value;
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL) value = read(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    std::string message = sqlite3_errmsg(db);
    const int code = sqlite3_extended_errcode(db);
    sqlite3_finalize(stmt);
    throw SqliteError(std::move(message), code);
  }
  sqlite3_finalize(stmt);
  return value;
}

std::int64_t read_int(sqlite3_stmt* stmt) { return sqlite3_column_int64(stmt, 0); }
std::string read_text(sqlite3_stmt* stmt) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  return std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
}

}  // namespace

std::string sqlite_uri(const std::filesystem::path& path, bool read_only, bool immutable) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) absolute = path;
  std::string uri = "file:";
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (char c : absolute.native()) {
    if (needs_percent_encoding(c)) {
      uri += '%';
      uri += HEX[static_cast<unsigned char>(c) >> 4];
      uri += HEX[static_cast<unsigned char>(c) & 0xF];
    } else {
      uri += c;
    }
  }
  char separator = '?';
  if (read_only) {
    uri += "?mode=ro";
    separator = '&';
  }
  if (immutable) {
    uri += separator;
    uri += "immutable=1";
  }
  return uri;
}

Connection Connection::open(const std::filesystem::path& path, const OpenOptions& options) {
  if (options.read_only || options.immutable) {
    const int flags = (options.read_only ? SQLITE_OPEN_READONLY
                                         : SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0)) |
                      SQLITE_OPEN_URI;
    Connection connection(open_state(sqlite_uri(path, options.read_only, options.immutable),
                                     flags | (options.one_thread ? SQLITE_OPEN_NOMUTEX : 0)));
    // A file that never changes is read through a mapping of it: lookups that
    // land all over a large snapshot then cost no read call each.
    if (options.immutable) connection.exec("PRAGMA mmap_size = " + std::to_string(IMMUTABLE_MMAP_BYTES));
    return connection;
  }
  const int flags = SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0) |
                    (options.one_thread ? SQLITE_OPEN_NOMUTEX : 0);
  return Connection(open_state(path.native(), flags));
}

Connection Connection::open_memory() { return Connection(open_state(":memory:", SQLITE_OPEN_READWRITE)); }

bool Connection::is_open() const noexcept {
  if (!state_) return false;
  MutexLock lock(state_->mutex);
  return state_->db != nullptr;
}

void Connection::close() {
  if (!state_) return;
  MutexLock lock(state_->mutex);
  state_->close_locked();
}

void Connection::exec(std::string_view sql) {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  MutexLock lock(state_->mutex);
  sqlite3* db = open_db(state_);
  const std::string text(sql);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, text.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw SqliteError(std::move(message), sqlite3_extended_errcode(db));
  }
}

Statement Connection::prepare(std::string_view sql) {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  MutexLock lock(state_->mutex);
  sqlite3* db = open_db(state_);
  sqlite3_stmt* stmt = nullptr;
  check(db, sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr));
  if (!stmt) throw SqliteError("empty SQL statement");
  return Statement(state_, stmt);
}

std::optional<std::int64_t> Connection::query_int(std::string_view sql) {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  return query_first<std::int64_t>(state_, sql, read_int);
}

std::optional<std::string> Connection::query_text(std::string_view sql) {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  return query_first<std::string>(state_, sql, read_text);
}

void Connection::begin(std::string_view mode) {
  if (mode.empty()) {
    exec("BEGIN");
  } else if (mode.size() >= 5 && (mode.substr(0, 5) == "BEGIN" || mode.substr(0, 5) == "begin")) {
    exec(mode);
  } else {
    exec("BEGIN " + std::string(mode));
  }
}

void Connection::commit() { exec("COMMIT"); }

void Connection::rollback() {
  if (in_transaction()) exec("ROLLBACK");
}

bool Connection::in_transaction() {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  MutexLock lock(state_->mutex);
  return sqlite3_get_autocommit(open_db(state_)) == 0;
}

std::int64_t Connection::last_insert_rowid() {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  MutexLock lock(state_->mutex);
  return sqlite3_last_insert_rowid(open_db(state_));
}

std::int64_t Connection::changes() {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  MutexLock lock(state_->mutex);
  return sqlite3_changes64(open_db(state_));
}

sqlite3* Connection::raw() {
  if (!state_) throw SqliteError(CLOSED_MESSAGE);
  MutexLock lock(state_->mutex);
  return open_db(state_);
}

// --- Statement ---

Statement::Statement(Statement&& other) noexcept : state_(std::move(other.state_)), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    Statement old(std::move(*this));  // finalizes the current statement on scope exit
    state_ = std::move(other.state_);
    stmt_ = other.stmt_;
    other.stmt_ = nullptr;
  }
  return *this;
}

Statement::~Statement() {
  if (!state_ || !stmt_) return;
  MutexLock lock(state_->mutex);
  // A closed connection already finalized every statement it had.
  if (state_->db) sqlite3_finalize(stmt_);
  stmt_ = nullptr;
}

sqlite3_stmt* Statement::checked() {
  if (!state_ || !stmt_) throw SqliteError(CLOSED_MESSAGE);
  return stmt_;
}

// Holds the connection's mutex for the rest of the scope and names the
// statement, once the connection is known to be open.
#define KOLVEX_STATEMENT_LOCK()                       \
  if (!state_) throw SqliteError(CLOSED_MESSAGE);     \
  MutexLock lock(state_->mutex);                      \
  if (!state_->db) throw SqliteError(CLOSED_MESSAGE); \
  sqlite3_stmt* stmt = checked()

namespace {
void check_bind(sqlite3_stmt* stmt, int rc) {
  if (rc != SQLITE_OK) throw_error(sqlite3_db_handle(stmt));
}
}  // namespace

Statement& Statement::bind(int index, std::int64_t value) {
  KOLVEX_STATEMENT_LOCK();
  check_bind(stmt, sqlite3_bind_int64(stmt, index, value));
  return *this;
}

Statement& Statement::bind(int index, double value) {
  KOLVEX_STATEMENT_LOCK();
  check_bind(stmt, sqlite3_bind_double(stmt, index, value));
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  KOLVEX_STATEMENT_LOCK();
  check_bind(stmt, sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  return *this;
}

Statement& Statement::bind_blob(int index, std::string_view bytes) {
  KOLVEX_STATEMENT_LOCK();
  check_bind(stmt, sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::bind_null(int index) {
  KOLVEX_STATEMENT_LOCK();
  check_bind(stmt, sqlite3_bind_null(stmt, index));
  return *this;
}

Statement& Statement::bind(int index, const SqlValue& value) {
  return std::visit(
      [&](const auto& v) -> Statement& {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, Null>) {
          return bind_null(index);
        } else if constexpr (std::is_same_v<V, std::vector<std::uint8_t>>) {
          return bind_blob(index, std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
        } else {
          return bind(index, v);
        }
      },
      value);
}

bool Statement::step() {
  KOLVEX_STATEMENT_LOCK();
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw_error(sqlite3_db_handle(stmt));
}

void Statement::run() {
  while (step()) {
  }
}

void Statement::reset() {
  KOLVEX_STATEMENT_LOCK();
  sqlite3_reset(stmt);  // returns the last step's error, already reported by step()
  sqlite3_clear_bindings(stmt);
}

void Statement::run_with(std::span<const SqlParam> params) {
  KOLVEX_STATEMENT_LOCK();
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  int index = 0;
  for (const SqlParam& param : params) {
    ++index;
    int rc = SQLITE_OK;
    if (const auto* number = std::get_if<std::int64_t>(&param)) {
      rc = sqlite3_bind_int64(stmt, index, *number);
    } else if (const auto* text = std::get_if<std::string_view>(&param)) {
      // Bound in place: the bindings are cleared below, before the texts can go.
      rc = sqlite3_bind_text64(stmt, index, text->data(), text->size(), SQLITE_STATIC, SQLITE_UTF8);
    } else {
      rc = sqlite3_bind_null(stmt, index);
    }
    if (rc != SQLITE_OK) {
      sqlite3_clear_bindings(stmt);
      throw_error(sqlite3_db_handle(stmt));
    }
  }
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) {
    // The error message is taken before the reset and the cleared bindings.
    SqliteError error(sqlite3_errmsg(sqlite3_db_handle(stmt)), sqlite3_extended_errcode(sqlite3_db_handle(stmt)));
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    throw error;
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
}

int Statement::column_count() {
  KOLVEX_STATEMENT_LOCK();
  return sqlite3_column_count(stmt);
}

std::string Statement::column_name(int index) {
  KOLVEX_STATEMENT_LOCK();
  const char* name = sqlite3_column_name(stmt, index);
  return name ? name : "";
}

bool Statement::is_null(int index) {
  KOLVEX_STATEMENT_LOCK();
  return sqlite3_column_type(stmt, index) == SQLITE_NULL;
}

std::int64_t Statement::column_int(int index) {
  KOLVEX_STATEMENT_LOCK();
  return sqlite3_column_int64(stmt, index);
}

double Statement::column_double(int index) {
  KOLVEX_STATEMENT_LOCK();
  return sqlite3_column_double(stmt, index);
}

std::string Statement::column_text(int index) {
  KOLVEX_STATEMENT_LOCK();
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
  return std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, index)));
}

std::string Statement::column_blob(int index) {
  KOLVEX_STATEMENT_LOCK();
  const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, index));
  return std::string(blob ? blob : "", blob ? static_cast<std::size_t>(sqlite3_column_bytes(stmt, index)) : 0);
}

std::optional<std::int64_t> Statement::column_opt_int(int index) {
  if (is_null(index)) return std::nullopt;
  return column_int(index);
}

std::optional<std::string> Statement::column_opt_text(int index) {
  if (is_null(index)) return std::nullopt;
  return column_text(index);
}

SqlValue Statement::column_value(int index) {
  int type;
  {
    KOLVEX_STATEMENT_LOCK();
    type = sqlite3_column_type(stmt, index);
  }
  switch (type) {
    case SQLITE_INTEGER: return column_int(index);
    case SQLITE_FLOAT: return column_double(index);
    case SQLITE_TEXT: return column_text(index);
    case SQLITE_BLOB: {
      const std::string bytes = column_blob(index);
      return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
    default: return Null{};
  }
}

#undef KOLVEX_STATEMENT_LOCK

// --- Transaction ---

Transaction::Transaction(Connection& connection, std::string_view mode) : connection_(connection) {
  connection_.begin(mode);
}

Transaction::~Transaction() {
  if (done_) return;
  try {
    connection_.rollback();
  } catch (...) {
    // The connection may be closed already; nothing is left to undo then.
  }
}

void Transaction::commit() {
  connection_.commit();
  done_ = true;
}

}  // namespace kolvex::core
