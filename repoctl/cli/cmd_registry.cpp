// The handlers that work from the registry: reindex, list and forget.
#include <algorithm>
#include <iostream>

#include "core/closing.h"
#include "core/fs.h"
#include "core/process.h"
#include "platform/config.h"
#include "platform/graph.h"
#include "platform/registry.h"
#include "platform/snapshot_layout.h"
#include "repoctl/cli/commands.h"
#include "repoctl/pipeline/capture_record.h"
#include "repoctl/pipeline/run_lock.h"
#include "repoctl/pipeline/zoekt.h"

namespace kolvex::cli {
namespace {

namespace fs = std::filesystem;

platform::Registry open_registry() { return platform::Registry(platform::data_dir() / "registry.db"); }

// The normalised slug, or none after the "error: " line of an unusable one.
std::optional<std::string> normalised_slug(const Namespace& args) {
  try {
    return platform::repo_slug(args.slug.value_or(""));
  } catch (const core::ValueError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return std::nullopt;
  }
}

// The "error: " line of a registry or lock-directory failure, whose text names
// the file and the remedy.
int registry_trouble(const platform::RegistryError& error) {
  std::cerr << "error: " << error.what() << std::endl;
  return 1;
}

int no_such_repo(const std::string& slug) {
  std::cerr << "error: no such repo: " << slug << std::endl;
  return 1;
}

std::string mark_of(platform::RepoStatus status) {
  switch (status) {
    case platform::RepoStatus::FAILED:
      return "✗";
    case platform::RepoStatus::DEGRADED:
    case platform::RepoStatus::SEARCH_ONLY:
      return "◐";
    case platform::RepoStatus::INDEXING:
    case platform::RepoStatus::INDEXED:
    case platform::RepoStatus::PARTIAL:
      break;
  }
  return "✓";
}

}  // namespace

namespace detail {

void unpin_zoekt_repo_name(const std::string& path) {
  // The exit status does not matter: git answers 5 when the key is absent and
  // fails when the repository is gone; forget goes on either way.
  // Left to finish if forget is killed meanwhile: a git killed while it holds
  // the configuration's lock file leaves the lock behind.
  core::run_process({"git", "-C", path, "config", "--unset", "zoekt.name"}, {.finishes_if_orphaned = true});
}

std::vector<fs::path> remove_zoekt_shards(std::string_view slug, const std::optional<fs::path>& root) {
  fs::path shard_dir = platform::data_dir(root) / ".zoekt";
  std::error_code error;
  if (!fs::is_directory(shard_dir, error)) return {};
  std::vector<fs::path> shards;
  for (const auto& entry : fs::directory_iterator(shard_dir)) {
    if (pipeline::is_zoekt_shard_of(slug, entry.path().filename().string())) shards.push_back(entry.path());
  }
  std::sort(shards.begin(), shards.end());
  for (const fs::path& shard : shards) core::remove_file_if_exists(shard);
  return shards;
}

}  // namespace detail

int cmd_reindex(const Namespace& args) {
  std::optional<std::string> slug = normalised_slug(args);
  if (!slug) return 1;
  std::optional<platform::RegisteredRepo> row;
  try {
    platform::Registry registry = open_registry();
    row = core::with_closing(registry, [&] { return registry.get(*slug); });
  } catch (const platform::RegistryError& error) {
    return registry_trouble(error);
  }
  if (!row) return no_such_repo(*slug);
  Namespace record;
  record.command = "index";
  record.path = row->path;
  record.slug = row->slug;
  record.scheme = row->scheme_override;
  record.semantic_include = row->semantic_include;
  record.language = row->language_override;
  record.scip = args.scip;
  return cmd_index(record);
}

int cmd_list(const Namespace&) {
  std::vector<platform::RegisteredRepo> rows;
  try {
    platform::Registry registry = open_registry();
    rows = core::with_closing(registry, [&] { return registry.list(); });
  } catch (const platform::RegistryError& error) {
    return registry_trouble(error);
  }
  for (const platform::RegisteredRepo& row : rows) {
    std::string commit = row.commit_sha && !row.commit_sha->empty() ? *row.commit_sha : "-";
    const std::string status(platform::status_text(row.status));
    std::string line =
        row.slug + "\t" + mark_of(row.status) + " " + status + "\t" + row.language + "\t" + commit + "\t" + row.path;
    if (row.status == platform::RepoStatus::FAILED || row.status == platform::RepoStatus::DEGRADED) {
      line += "\t" + (row.status_reason && !row.status_reason->empty() ? *row.status_reason : status);
    }
    std::cout << line << "\n";
  }
  detail::flush_stdout();
  return 0;
}

int cmd_forget(const Namespace& args) {
  std::optional<std::string> slug = normalised_slug(args);
  if (!slug) return 1;
  // A run of the slug finishes (or a later one waits) before anything of the
  // slug is removed: forget never deletes what a run is publishing.
  pipeline::RunLock lock(platform::data_dir(), *slug, detail::standard_error());
  platform::Registry registry = open_registry();
  auto [row, removed] = core::with_closing(registry, [&] {
    auto found = registry.get(*slug);
    bool gone = registry.forget(*slug);
    return std::make_pair(found, gone);
  });
  if (!removed) return no_such_repo(*slug);
  if (row) detail::unpin_zoekt_repo_name(row->path);

  platform::GraphStore graph(platform::data_dir() / "registry.db");
  core::with_closing(graph, [&] { graph.forget_repo(*slug); });

  fs::path snapshots = platform::index_dir(*slug);
  if (fs::exists(snapshots)) {
    // The pointer goes first: a reader never follows it into a half-removed directory.
    core::remove_file_if_exists(snapshots / platform::POINTER_NAME);
    core::fsync_directory(snapshots);
    fs::remove_all(snapshots);
    // The slug's own directory above the branch directory goes too when empty.
    std::error_code ignored;
    fs::remove(snapshots.parent_path(), ignored);
  }
  detail::remove_zoekt_shards(*slug, std::nullopt);
  std::error_code ignored;
  fs::remove_all(pipeline::detail::capture_record_dir(*slug, std::nullopt), ignored);
  fs::remove_all(platform::lancedb_dir() / (*slug + ".lance"), ignored);
  try {
    fs::remove_all(platform::swift_cache_dir(*slug), ignored);
  } catch (const std::exception&) {
  }
  std::cout << "forgot " << *slug << std::endl;
  return 0;
}

}  // namespace kolvex::cli
