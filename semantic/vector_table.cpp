#include "semantic/vector_table.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <queue>
#include <utility>

#include "core/clock.h"
#include "core/fs.h"
#include "core/text.h"
#include "semantic/testing.h"

namespace kolvex::semantic {
namespace fs = std::filesystem;

static_assert(std::endian::native == std::endian::little, "vector blobs are stored as little-endian float32");

namespace {

std::atomic<bool> vector_store_missing{false};

// Suffix of a table's directory inside the database directory.
constexpr std::string_view TABLE_SUFFIX = ".lance";
// The table's data file inside its directory.
constexpr std::string_view DATA_FILE = "table.sqlite";
// Prefix of data files still being written; never a live table.
constexpr std::string_view TEMP_PREFIX = ".tmp-";
// Version of the data file's layout, kept in PRAGMA user_version.
constexpr std::int64_t FORMAT_VERSION = 1;
// Large pages keep a vector of a thousand dimensions inside one page, so a
// search reads the vectors without following overflow chains.
constexpr int PAGE_SIZE = 65536;
// Opens of a table raced by writers that replace or drop it, before giving up.
constexpr int OPEN_ATTEMPTS = 100;

constexpr std::array<std::string_view, 4> KIND_NAMES = {"integer", "float", "text", "vector"};

// Table names the store accepts: letters, digits, "_", "-" and ".", so that
// "<name>.lance" is always one plain path component.
bool is_valid_table_name(std::string_view name) noexcept {
  if (name.empty()) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '.';
    if (!ok) return false;
  }
  return true;
}

void require_valid_name(std::string_view name) {
  if (!is_valid_table_name(name)) throw core::ValueError("invalid table name: " + core::quote(name));
}

core::ValueError table_not_found(std::string_view name) {
  return core::ValueError("table " + core::quote(name) + " was not found");
}

core::RuntimeError damaged(std::string_view name, std::string_view what) {
  return core::RuntimeError("vector table " + core::quote(name) + " is damaged: " + std::string(what));
}

// The SQL name of the storage column at `position`.
std::string storage_column(std::size_t position) { return "c" + std::to_string(position); }

std::string vector_bytes(const Vector& vector) {
  return std::string(reinterpret_cast<const char*>(vector.data()), vector.size() * sizeof(float));
}

// Removes a file being written unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(fs::path path) : path_(std::move(path)) {}
  ~TempFile() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::remove(path_, ignored);
    fs::remove(fs::path(path_.native() + "-journal"), ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const fs::path& path() const noexcept { return path_; }
  void release() noexcept { path_.clear(); }

 private:
  fs::path path_;
};

void rename_or_throw(const fs::path& from, const fs::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) throw core::os_error(errno, from);
}

// Creates `directory` when missing; true when this call created it.
bool make_directory(const fs::path& directory) {
  if (::mkdir(directory.c_str(), 0777) == 0) return true;
  int error = errno;
  struct stat info {};
  if (error == EEXIST && ::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return false;
  throw core::os_error(error == EEXIST ? ENOTDIR : error, directory);
}

// The dot product of a and b and the squared norm of b, in double precision.
// Fixed lanes let the compiler vectorise the sums while keeping their order, and
// so every distance, the same from run to run.
std::pair<double, double> dot_and_norm(const float* a, const float* b, std::size_t n) {
  constexpr std::size_t LANES = 8;
  double dot[LANES] = {};
  double norm[LANES] = {};
  std::size_t d = 0;
  for (; d + LANES <= n; d += LANES) {
    for (std::size_t lane = 0; lane < LANES; ++lane) {
      const double x = a[d + lane];
      const double y = b[d + lane];
      dot[lane] += x * y;
      norm[lane] += y * y;
    }
  }
  double dot_sum = 0.0;
  double norm_sum = 0.0;
  for (std::size_t lane = 0; lane < LANES; ++lane) {
    dot_sum += dot[lane];
    norm_sum += norm[lane];
  }
  for (; d < n; ++d) {
    dot_sum += static_cast<double>(a[d]) * b[d];
    norm_sum += static_cast<double>(b[d]) * b[d];
  }
  return {dot_sum, norm_sum};
}

}  // namespace

void bind_vector_store() {
  if (vector_store_missing.load()) throw VectorStoreLoadError("the vector store library is not installed");
}

namespace testing {
void set_vector_store_missing(bool missing) { vector_store_missing.store(missing); }
}  // namespace testing

// --- VectorTable ---

VectorTable::VectorTable(std::string name, core::Connection connection, std::vector<Column> columns)
    : name_(std::move(name)), connection_(std::move(connection)), columns_(std::move(columns)) {}

std::vector<std::string> VectorTable::column_names() const {
  std::vector<std::string> names;
  names.reserve(columns_.size());
  for (const Column& column : columns_) names.push_back(column.name);
  return names;
}

Row VectorTable::row_from(core::Statement& statement) {
  Row row;
  row.columns.reserve(columns_.size());
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Column& column = columns_[i];
    int index = static_cast<int>(i) + 1;  // index 0 is row_id
    if (statement.is_null(index)) throw damaged(name_, "null in column " + core::quote(column.name));
    switch (column.kind) {
      case Kind::integer:
        row.columns.emplace_back(column.name, statement.column_int(index));
        break;
      case Kind::real:
        row.columns.emplace_back(column.name, statement.column_double(index));
        break;
      case Kind::text:
        row.columns.emplace_back(column.name, statement.column_text(index));
        break;
      case Kind::vector: {
        std::string bytes = statement.column_blob(index);
        if (bytes.size() != static_cast<std::size_t>(column.dimensions) * sizeof(float)) {
          throw damaged(name_, "vector of the wrong length in column " + core::quote(column.name));
        }
        Vector vector(static_cast<std::size_t>(column.dimensions));
        if (!bytes.empty()) std::memcpy(vector.data(), bytes.data(), bytes.size());
        row.columns.emplace_back(column.name, std::move(vector));
        break;
      }
    }
  }
  return row;
}

std::vector<Row> VectorTable::read_rows(std::string_view tail_sql, std::int64_t bound) {
  std::string sql = "SELECT row_id";
  for (std::size_t i = 0; i < columns_.size(); ++i) sql += ", " + storage_column(i);
  sql += " FROM rows ";
  sql += tail_sql;
  core::Statement statement = connection_.prepare(sql);
  if (bound >= 0) statement.bind(1, bound);
  std::vector<Row> rows;
  while (statement.step()) rows.push_back(row_from(statement));
  return rows;
}

std::vector<Row> VectorTable::head(std::int64_t n) {
  if (n < 1) return {};
  return read_rows("ORDER BY row_id LIMIT ?1", n);
}

std::vector<Row> VectorTable::to_rows() { return read_rows("ORDER BY row_id", -1); }

std::vector<Row> VectorTable::search(const Vector& query, std::int64_t limit) {
  std::size_t vector_index = columns_.size();
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].name == VECTOR_COLUMN && columns_[i].kind == Kind::vector) vector_index = i;
  }
  if (vector_index == columns_.size()) {
    // A table without rows has no columns at all: nothing to find.
    if (columns_.empty()) return {};
    throw core::ValueError("table " + core::quote(name_) + " has no vector column");
  }
  const auto dimensions = static_cast<std::size_t>(columns_[vector_index].dimensions);
  if (query.size() != dimensions) {
    throw core::ValueError("query vector has " + std::to_string(query.size()) + " dimensions, table " +
                           core::quote(name_) + " holds vectors of " + std::to_string(dimensions));
  }
  if (limit < 1) return {};

  double query_norm = 0.0;
  for (float x : query) query_norm += static_cast<double>(x) * x;
  query_norm = std::sqrt(query_norm);

  // Candidates ordered by (distance, stored position); a NaN distance sorts
  // after every number, so the order stays total and the result repeatable.
  struct Candidate {
    double key;
    double distance;
    std::int64_t row_id;
    bool operator<(const Candidate& other) const {
      return key != other.key ? key < other.key : row_id < other.row_id;
    }
  };
  std::priority_queue<Candidate> best;  // the worst kept candidate on top
  const auto keep = static_cast<std::size_t>(limit);

  core::Statement scan =
      connection_.prepare("SELECT row_id, " + storage_column(vector_index) + " FROM rows ORDER BY row_id");
  std::vector<float> stored(dimensions);
  while (scan.step()) {
    std::int64_t row_id = scan.column_int(0);
    std::string bytes = scan.column_blob(1);
    if (bytes.size() != dimensions * sizeof(float)) throw damaged(name_, "vector of the wrong length");
    if (dimensions > 0) std::memcpy(stored.data(), bytes.data(), bytes.size());
    auto [dot, norm] = dot_and_norm(query.data(), stored.data(), dimensions);
    norm = std::sqrt(norm);
    // A zero vector points nowhere: it is as far from everything as an orthogonal one.
    double distance = (query_norm == 0.0 || norm == 0.0) ? 1.0 : 1.0 - dot / (query_norm * norm);
    double key = std::isnan(distance) ? std::numeric_limits<double>::infinity() : distance;
    Candidate candidate{key, distance, row_id};
    if (best.size() < keep) {
      best.push(candidate);
    } else if (candidate < best.top()) {
      best.pop();
      best.push(candidate);
    }
  }

  std::vector<Candidate> ordered;
  ordered.reserve(best.size());
  while (!best.empty()) {
    ordered.push_back(best.top());
    best.pop();
  }
  std::vector<Row> rows;
  rows.reserve(ordered.size());
  for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
    std::vector<Row> found = read_rows("WHERE row_id = ?1", it->row_id);
    if (found.size() != 1) throw damaged(name_, "row vanished during search");
    found.front().columns.emplace_back(std::string(DISTANCE_COLUMN), it->distance);
    rows.push_back(std::move(found.front()));
  }
  return rows;
}

// --- VectorDatabase ---

VectorDatabase VectorDatabase::connect(const fs::path& directory) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0) throw core::os_error(errno, directory);
  if (!S_ISDIR(info.st_mode)) throw core::os_error(ENOTDIR, directory);
  return VectorDatabase(directory);
}

fs::path VectorDatabase::table_path(std::string_view name) const {
  return directory_ / (std::string(name) + std::string(TABLE_SUFFIX));
}

VectorTable VectorDatabase::open_table(std::string_view name) const {
  if (!is_valid_table_name(name)) throw table_not_found(name);
  const fs::path data = table_path(name) / DATA_FILE;
  auto data_exists = [&] {
    struct stat info {};
    if (::stat(data.c_str(), &info) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw core::os_error(errno, data);
  };
  core::Connection connection;
  for (int attempt = 1;; ++attempt) {
    if (!data_exists()) throw table_not_found(name);
    try {
      // Data files are never changed once renamed into place, which is what
      // makes an immutable read sound. Once open, the connection keeps reading
      // this version whatever later replaces or removes it.
      connection = core::Connection::open(data, core::OpenOptions{.read_only = true, .immutable = true});
      break;
    } catch (const core::SqliteError& error) {
      // The file was dropped between the check and the open (and maybe a new
      // table created since): look again.
      bool cannot_open = (error.code() & 0xff) == SQLITE_CANTOPEN;
      if (cannot_open && attempt < OPEN_ATTEMPTS) continue;
      if (!data_exists()) throw table_not_found(name);
      throw;
    }
  }

  std::vector<VectorTable::Column> columns;
  if (connection.query_int("PRAGMA user_version").value_or(0) != FORMAT_VERSION) {
    throw damaged(name, "unknown data file format");
  }
  core::Statement statement = connection.prepare("SELECT name, kind, dimensions FROM columns ORDER BY position");
  while (statement.step()) {
    std::string kind_name = statement.column_text(1);
    VectorTable::Column column{statement.column_text(0), VectorTable::Kind::integer, 0};
    if (kind_name == KIND_NAMES[0]) {
      column.kind = VectorTable::Kind::integer;
    } else if (kind_name == KIND_NAMES[1]) {
      column.kind = VectorTable::Kind::real;
    } else if (kind_name == KIND_NAMES[2]) {
      column.kind = VectorTable::Kind::text;
    } else if (kind_name == KIND_NAMES[3]) {
      column.kind = VectorTable::Kind::vector;
      column.dimensions = statement.column_int(2);
    } else {
      throw damaged(name, "unknown column kind " + core::quote(kind_name));
    }
    columns.push_back(std::move(column));
  }
  return VectorTable(std::string(name), std::move(connection), std::move(columns));
}

void VectorDatabase::create_table(std::string_view name, const std::vector<Row>& rows) const {
  require_valid_name(name);

  // The columns come from the first row; every row must match them.
  std::vector<std::pair<std::string, std::size_t>> columns;  // name, kind (Value index)
  std::vector<std::size_t> dimensions;
  std::map<std::string, std::size_t, std::less<>> position_of;
  if (!rows.empty()) {
    for (const auto& [column_name, value] : rows.front().columns) {
      if (!position_of.emplace(column_name, columns.size()).second) {
        throw core::ValueError("row 0 has the column " + core::quote(column_name) + " twice");
      }
      columns.emplace_back(column_name, value.index());
      const Vector* vector = std::get_if<Vector>(&value);
      dimensions.push_back(vector ? vector->size() : 0);
    }
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Row& row = rows[r];
    if (row.columns.size() != columns.size()) {
      throw core::ValueError("row " + std::to_string(r) + " does not have the columns of the first row");
    }
    for (const auto& [column_name, value] : row.columns) {
      auto found = position_of.find(column_name);
      if (found == position_of.end()) {
        throw core::ValueError("row " + std::to_string(r) + " has the column " + core::quote(column_name) +
                               " that the first row lacks");
      }
      std::size_t position = found->second;
      if (value.index() != columns[position].second) {
        throw core::ValueError("row " + std::to_string(r) + ": column " + core::quote(column_name) + " holds " +
                               std::string(KIND_NAMES[value.index()]) + ", not " +
                               std::string(KIND_NAMES[columns[position].second]));
      }
      const Vector* vector = std::get_if<Vector>(&value);
      if (vector && vector->size() != dimensions[position]) {
        throw core::ValueError("row " + std::to_string(r) + ": vector column " + core::quote(column_name) +
                               " has " + std::to_string(vector->size()) + " dimensions, the first row " +
                               std::to_string(dimensions[position]));
      }
    }
  }

  const fs::path table_dir = table_path(name);
  if (make_directory(table_dir)) core::fsync_directory(directory_);
  TempFile temp(table_dir / (std::string(TEMP_PREFIX) + core::uuid4_hex() + ".sqlite"));
  {
    core::Connection connection = core::Connection::open(temp.path());
    // Durability comes from the fsync before the rename; nobody reads the file
    // until then, so it needs neither a journal nor syncs of its own.
    connection.exec("PRAGMA page_size = " + std::to_string(PAGE_SIZE) +
                    "; PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
    connection.begin();
    connection.exec(
        "CREATE TABLE columns(position INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, kind TEXT NOT NULL, "
        "dimensions INTEGER)");
    std::string create_rows = "CREATE TABLE rows(row_id INTEGER PRIMARY KEY";
    std::string insert_row = "INSERT INTO rows VALUES(?1";
    for (std::size_t i = 0; i < columns.size(); ++i) {
      create_rows += ", " + storage_column(i);
      insert_row += ", ?" + std::to_string(i + 2);
    }
    connection.exec(create_rows + ")");
    core::Statement insert_column = connection.prepare("INSERT INTO columns VALUES(?1, ?2, ?3, ?4)");
    for (std::size_t i = 0; i < columns.size(); ++i) {
      insert_column.bind(1, static_cast<std::int64_t>(i)).bind(2, columns[i].first);
      insert_column.bind(3, KIND_NAMES[columns[i].second]);
      if (columns[i].second == Value(Vector{}).index()) {
        insert_column.bind(4, static_cast<std::int64_t>(dimensions[i]));
      } else {
        insert_column.bind_null(4);
      }
      insert_column.run();
      insert_column.reset();
    }
    core::Statement insert = connection.prepare(insert_row + ")");
    for (std::size_t r = 0; r < rows.size(); ++r) {
      insert.bind(1, static_cast<std::int64_t>(r));
      for (std::size_t i = 0; i < columns.size(); ++i) {
        const Value& value = *rows[r].find(columns[i].first);
        int index = static_cast<int>(i) + 2;
        std::visit(
            [&](const auto& v) {
              using T = std::decay_t<decltype(v)>;
              if constexpr (std::is_same_v<T, Vector>) {
                insert.bind_blob(index, vector_bytes(v));
              } else {
                insert.bind(index, v);
              }
            },
            value);
      }
      insert.run();
      insert.reset();
    }
    connection.exec("PRAGMA user_version = " + std::to_string(FORMAT_VERSION));
    connection.commit();
    connection.close();
  }
  core::fsync_file(temp.path());
  rename_or_throw(temp.path(), table_dir / DATA_FILE);
  temp.release();
  core::fsync_directory(table_dir);

  // Data files left behind by writers that died before their rename.
  std::error_code ignored;
  for (fs::directory_iterator it(table_dir, ignored), end; !ignored && it != end; it.increment(ignored)) {
    if (core::starts_with(it->path().filename().native(), TEMP_PREFIX)) {
      std::error_code remove_ignored;
      fs::remove(it->path(), remove_ignored);
    }
  }
}

void VectorDatabase::drop_table(std::string_view name) const {
  require_valid_name(name);
  const fs::path table_dir = table_path(name);
  // The data file goes first, in one unlink: from then on the table is missing
  // for every reader, whatever of the directory is still left.
  const fs::path data = table_dir / DATA_FILE;
  if (::unlink(data.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) throw core::os_error(errno, data);
  std::error_code error;
  fs::remove_all(table_dir, error);
  if (error && error != std::errc::no_such_file_or_directory) throw core::os_error(error.value(), table_dir);
}

}  // namespace kolvex::semantic
