// SQLite connections and statements with RAII ownership.
//
// Every connection gets `PRAGMA busy_timeout = 5000`. Transactions are explicit
// (BEGIN / COMMIT / ROLLBACK through exec or the Transaction guard); the wrapper
// never opens one implicitly. Read-only connections are opened through a URI
// built by sqlite_uri(), which percent-encodes "%", "?" and "#" in the path.
//
// Thread-safety: a Connection may be shared between threads (copies share one
// underlying handle; each call takes the connection's mutex). close() is
// idempotent; after it every use of the connection or of its statements throws
// SqliteError("connection is closed") instead of touching freed memory.
// A Statement belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kolvex::core {

// A failed SQLite call: the message is SQLite's own text (sqlite3_errmsg).
class SqliteError : public Error {
 public:
  SqliteError(std::string message, int code = 1) : Error(std::move(message)), code_(code) {}
  // The (extended) SQLite result code, or 1 for wrapper errors.
  int code() const noexcept { return code_; }
  const char* type_name() const noexcept override { return "sqlite3.Error"; }

 private:
  int code_;
};

struct Null {};
using SqlValue = std::variant<Null, std::int64_t, double, std::string /*text*/, std::vector<std::uint8_t> /*blob*/>;
// A parameter for Statement::run_with: text is referred to, not copied.
using SqlParam = std::variant<Null, std::int64_t, std::string_view /*text*/>;

struct OpenOptions {
  bool read_only = false;
  bool immutable = false;  // adds immutable=1 (only for files that never change)
  bool create = true;      // ignored when read_only
  // The connection and its statements are used by one thread at a time: SQLite
  // leaves out its own locking of the handle (the wrapper still takes its mutex).
  bool one_thread = false;
};

// "file:" + percent-encoded absolute path + "?mode=ro" (+ "&immutable=1").
std::string sqlite_uri(const std::filesystem::path& path, bool read_only, bool immutable);

class Statement;

class Connection {
 public:
  Connection() = default;  // not open
  static Connection open(const std::filesystem::path& path, const OpenOptions& options = {});
  static Connection open_memory();

  bool is_open() const noexcept;
  // Idempotent. Statements still alive are finalized when they are destroyed.
  void close();

  void exec(std::string_view sql);  // one or more statements, no results
  Statement prepare(std::string_view sql);

  // Convenience: first column of the first row, none when there is no row.
  std::optional<std::int64_t> query_int(std::string_view sql);
  std::optional<std::string> query_text(std::string_view sql);

  void begin(std::string_view mode = "");  // "BEGIN" or e.g. "BEGIN IMMEDIATE"
  void commit();
  void rollback();  // no-op when no transaction is open
  bool in_transaction();

  std::int64_t last_insert_rowid();
  std::int64_t changes();
  // Raw handle for sqlite3_limit and the like; callers must not close it.
  sqlite3* raw();

  struct State;

 private:
  explicit Connection(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
  friend class Statement;
};

class Statement {
 public:
  Statement(Statement&&) noexcept;
  Statement& operator=(Statement&&) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // 1-based parameter indexes, as SQLite numbers them.
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  Statement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
  Statement& bind_blob(int index, std::string_view bytes);
  Statement& bind_null(int index);
  Statement& bind(int index, const SqlValue& value);
  template <typename T>
  Statement& bind(int index, const std::optional<T>& value) {
    return value ? bind(index, *value) : bind_null(index);
  }

  // Advances; true when a row is available.
  bool step();
  // Steps to completion, for statements without results.
  void run();
  void reset();  // also clears bindings
  // reset(), binds `params` to parameters 1, 2, ... and run(), under one lock of
  // the connection: for writers that insert many rows. The texts need to live
  // only until it returns; it leaves the bindings cleared.
  void run_with(std::span<const SqlParam> params);

  int column_count();
  std::string column_name(int index);
  bool is_null(int index);
  std::int64_t column_int(int index);
  double column_double(int index);
  std::string column_text(int index);  // raw bytes of the text
  std::string column_blob(int index);
  std::optional<std::int64_t> column_opt_int(int index);
  std::optional<std::string> column_opt_text(int index);
  SqlValue column_value(int index);

 private:
  friend class Connection;
  Statement(std::shared_ptr<Connection::State> state, sqlite3_stmt* stmt) : state_(std::move(state)), stmt_(stmt) {}
  sqlite3_stmt* checked();
  std::shared_ptr<Connection::State> state_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back on destruction unless commit() was called.
class Transaction {
 public:
  explicit Transaction(Connection& connection, std::string_view mode = "");
  ~Transaction();
  void commit();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

 private:
  Connection& connection_;
  bool done_ = false;
};

}  // namespace kolvex::core
