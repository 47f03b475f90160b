#include "platform/graph.h"

#include <algorithm>

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

void clear_graph_edges_for_repo(GraphStore& store, std::string_view slug) { store.clear_edges(slug); }

}  // namespace kolvex::platform
