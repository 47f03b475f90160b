#include "platform/graph.h"

#include <algorithm>
#include <optional>
#include <set>

#include "blobcodec/blobcodec.h"
#include "core/error.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view SCHEMA = R"sql(
CREATE TABLE IF NOT EXISTS graph_packages (
  slug TEXT NOT NULL,
  manager TEXT NOT NULL,
  name TEXT NOT NULL,
  version TEXT NOT NULL,
  PRIMARY KEY (slug, manager, name, version)
);
CREATE TABLE IF NOT EXISTS graph_edges (
  slug TEXT NOT NULL,
  manager TEXT NOT NULL,
  name TEXT NOT NULL,
  version TEXT NOT NULL,
  PRIMARY KEY (slug, manager, name, version)
);
)sql";

// The package of a SCIP symbol; none for local symbols, malformed symbols and
// the unspecified package ".".
std::optional<PackageRef> symbol_package(std::string_view symbol) {
  auto package = blobcodec::parse_symbol_package(symbol);
  if (!package) return std::nullopt;
  return PackageRef{std::move(package->manager), std::move(package->name), std::move(package->version)};
}

bool has_table(core::Connection& connection, std::string_view table) {
  auto statement = connection.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  statement.bind(1, table);
  return statement.step();
}

std::vector<PackageRef> read_packages(core::Connection& connection, std::string_view table, std::string_view slug) {
  auto statement = connection.prepare("SELECT manager, name, version FROM " + std::string(table) +
                                      " WHERE slug = ? ORDER BY manager, name, version");
  statement.bind(1, slug);
  std::vector<PackageRef> packages;
  while (statement.step()) {
    packages.push_back({statement.column_text(0), statement.column_text(1), statement.column_text(2)});
  }
  return packages;
}

void insert_packages(core::Connection& connection, std::string_view table, std::string_view slug,
                     const std::vector<PackageRef>& packages) {
  auto statement = connection.prepare("INSERT OR IGNORE INTO " + std::string(table) +
                                      " (slug, manager, name, version) VALUES (?, ?, ?, ?)");
  for (const auto& package : packages) {
    statement.bind(1, slug).bind(2, package.manager).bind(3, package.name).bind(4, package.version);
    statement.run();
    statement.reset();
  }
}

}  // namespace

GraphStore::GraphStore(std::filesystem::path path) : path_(std::move(path)) {
  if (path_.has_parent_path()) fs::create_directories(path_.parent_path());
  connection_ = core::Connection::open(path_);
  connection_.exec(SCHEMA);
}

GraphStore::~GraphStore() {
  try {
    close();
  } catch (...) {
    // A destructor must not throw; callers that care call close() themselves.
  }
}

core::Connection& GraphStore::connection() {
  if (!connection_.is_open()) throw core::SqliteError("the graph store is closed");
  return connection_;
}

void GraphStore::close() { connection_.close(); }

void GraphStore::forget_repo(std::string_view slug) {
  auto& connection = this->connection();
  core::Transaction transaction(connection, "BEGIN IMMEDIATE");
  for (std::string_view table : {"graph_edges", "graph_packages"}) {
    auto statement = connection.prepare("DELETE FROM " + std::string(table) + " WHERE slug = ?");
    statement.bind(1, slug);
    statement.run();
  }
  transaction.commit();
}

std::vector<PackageRef> GraphStore::packages_of(std::string_view slug) {
  return read_packages(connection(), "graph_packages", slug);
}

std::vector<PackageRef> GraphStore::dependencies_of(std::string_view slug) {
  return read_packages(connection(), "graph_edges", slug);
}

void GraphStore::replace_repo(std::string_view slug, const std::vector<PackageRef>& packages,
                              const std::vector<PackageRef>& dependencies) {
  auto& connection = this->connection();
  core::Transaction transaction(connection, "BEGIN IMMEDIATE");
  for (std::string_view table : {"graph_edges", "graph_packages"}) {
    auto statement = connection.prepare("DELETE FROM " + std::string(table) + " WHERE slug = ?");
    statement.bind(1, slug);
    statement.run();
  }
  insert_packages(connection, "graph_packages", slug, packages);
  insert_packages(connection, "graph_edges", slug, dependencies);
  transaction.commit();
}

void GraphStore::clear_edges(std::string_view slug) {
  auto statement = connection().prepare("DELETE FROM graph_edges WHERE slug = ?");
  statement.bind(1, slug);
  statement.run();
}

void populate_graph_for_repo(GraphStore& store, std::string_view slug, core::Connection& connection) {
  // Everything is read before the store's transaction starts, so the registry
  // file is locked only for the short replacement.
  const bool has_ranges = has_table(connection, "defn_enclosing_ranges");
  std::string sql = has_ranges
                        ? "SELECT s.symbol, EXISTS (SELECT 1 FROM defn_enclosing_ranges r WHERE r.symbol_id = s.id) "
                          "FROM global_symbols s"
                        : "SELECT s.symbol, 0 FROM global_symbols s";
  std::set<PackageRef> defined;
  std::set<PackageRef> referenced;
  auto statement = connection.prepare(sql);
  while (statement.step()) {
    if (statement.is_null(0)) continue;
    auto package = symbol_package(statement.column_text(0));
    if (!package) continue;
    (statement.column_int(1) != 0 ? defined : referenced).insert(std::move(*package));
  }
  std::vector<PackageRef> dependencies;
  for (const auto& package : referenced) {
    if (!defined.contains(package)) dependencies.push_back(package);
  }
  store.replace_repo(slug, std::vector<PackageRef>(defined.begin(), defined.end()), dependencies);
}

void clear_graph_edges_for_repo(GraphStore& store, std::string_view slug) { store.clear_edges(slug); }

}  // namespace kolvex::platform
