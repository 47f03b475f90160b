// The dependency graph: package-level edges of every indexed repository, kept
// in the tables "graph_packages" and "graph_edges" of "registry.db", beside the
// registry.
//
// A repository's package identities are the packages (manager, name, version)
// of the SCIP symbols that its own documents define (symbols with a definition
// range); its edges point at every other package that its converted SCIP
// database names (the pipeline derives both: repoctl/pipeline/package_graph.h).
// Everything is keyed by slug: replacing, clearing or
// forgetting one slug never touches another's rows. Each write is one short
// transaction that ends before the call returns, so the registry handle of the
// same run can keep using the file.
//
// Thread-safety: a GraphStore belongs to one thread; other handles on the same
// file may be used at the same time.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/sqlite.h"

namespace kolvex::platform {

// One package identity, as the leading components of a SCIP symbol give it.
struct PackageRef {
  std::string manager;
  std::string name;
  std::string version;

  bool operator==(const PackageRef&) const = default;
  auto operator<=>(const PackageRef&) const = default;
};

class GraphStore {
 public:
  // `path` is data_dir(root) / "registry.db"; the file, its parent directories
  // and the tables are created when missing.
  explicit GraphStore(std::filesystem::path path);
  ~GraphStore();
  GraphStore(GraphStore&&) noexcept = default;
  GraphStore& operator=(GraphStore&&) noexcept = default;
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // Removes every package identity and edge of the slug.
  void forget_repo(std::string_view slug);
  // Idempotent; the destructor calls it.
  void close();

  // The slug's package identities and its dependency edges, each sorted.
  std::vector<PackageRef> packages_of(std::string_view slug);
  std::vector<PackageRef> dependencies_of(std::string_view slug);

  // Replaces the slug's identities and edges in one transaction.
  void replace_repo(std::string_view slug, const std::vector<PackageRef>& packages,
                    const std::vector<PackageRef>& dependencies);
  // Removes the slug's edges; its package identities stay.
  void clear_edges(std::string_view slug);

 private:
  core::Connection& connection();

  std::filesystem::path path_;
  core::Connection connection_;
};

// Removes the slug's edges (no usable SCIP data in this generation); its
// package identities stay.
void clear_graph_edges_for_repo(GraphStore& store, std::string_view slug);

}  // namespace kolvex::platform
