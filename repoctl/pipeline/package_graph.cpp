#include "repoctl/pipeline/package_graph.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "blobcodec/blobcodec.h"
#include "declstore/schema.h"

namespace kolvex::pipeline {
namespace {

// The package of a SCIP symbol; none for local symbols, malformed symbols and
// the unspecified package ".".
std::optional<platform::PackageRef> symbol_package(std::string_view symbol) {
  auto package = blobcodec::parse_symbol_package(symbol);
  if (!package) return std::nullopt;
  return platform::PackageRef{std::move(package->manager), std::move(package->name), std::move(package->version)};
}

}  // namespace

void populate_graph_for_repo(platform::GraphStore& store, std::string_view slug, core::Connection& connection) {
  // Everything is read before the store's transaction starts, so the registry
  // file is locked only for the short replacement.
  const bool has_ranges = declstore::has_table(connection, "defn_enclosing_ranges");
  std::string sql = has_ranges
                        ? "SELECT s.symbol, EXISTS (SELECT 1 FROM defn_enclosing_ranges r WHERE r.symbol_id = s.id) "
                          "FROM global_symbols s"
                        : "SELECT s.symbol, 0 FROM global_symbols s";
  std::set<platform::PackageRef> defined;
  std::set<platform::PackageRef> referenced;
  auto statement = connection.prepare(sql);
  while (statement.step()) {
    if (statement.is_null(0)) continue;
    auto package = symbol_package(statement.column_text(0));
    if (!package) continue;
    (statement.column_int(1) != 0 ? defined : referenced).insert(std::move(*package));
  }
  std::vector<platform::PackageRef> dependencies;
  for (const auto& package : referenced) {
    if (!defined.contains(package)) dependencies.push_back(package);
  }
  store.replace_repo(slug, std::vector<platform::PackageRef>(defined.begin(), defined.end()), dependencies);
}

}  // namespace kolvex::pipeline
