#include "repoctl/pipeline/previous.h"

#include <system_error>

#include "core/text.h"
#include "declstore/schema.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "repoctl/pipeline/errors.h"
#include "repoctl/pipeline/publish.h"

namespace kolvex::pipeline::detail {

std::filesystem::path canonical_text_form(const std::filesystem::path& path) {
  std::filesystem::path normal = path.lexically_normal();
  // "/repo/" and "/repo/." name the same directory as "/repo".
  while (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

std::filesystem::path canonical_repo_path(const std::filesystem::path& path) {
  return canonical_text_form(std::filesystem::weakly_canonical(std::filesystem::absolute(path)));
}

std::optional<PreviousSnapshot> open_previous_snapshot(std::string_view slug,
                                                       const std::optional<std::filesystem::path>& root) {
  std::filesystem::path directory = platform::index_dir(slug, root);
  std::optional<std::string> name = read_pointer_name(directory);
  if (!name) return std::nullopt;
  std::filesystem::path database = directory / *name;
  std::error_code error;
  if (!std::filesystem::is_regular_file(database, error)) return std::nullopt;
  try {
    core::Connection connection = core::Connection::open(database, {.read_only = true});
    // Touch the schema and the table the build reads: a file that is not a
    // database, or a damaged one, fails here rather than in the middle of the build.
    if (declstore::has_syntax_tables(connection)) connection.query_int("SELECT COUNT(*) FROM syntax_files");
    return PreviousSnapshot{database, connection};
  } catch (const core::SqliteError&) {
    return std::nullopt;
  }
}

void reject_duplicate_slug_for_path(platform::Registry& registry, std::string_view slug,
                                    const std::filesystem::path& repo_path) {
  for (const platform::RegisteredRepo& row : registry.list()) {
    if (row.slug == slug) continue;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(row.path, error);
    if (error) continue;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
    if (error) continue;
    if (canonical_text_form(resolved) != repo_path) continue;
    throw IndexingError(repo_path.string() + " is already indexed as " + core::quote(row.slug) +
                        ". One slug per repo — run `kolvex forget " + row.slug +
                        "` first, or reindex that slug instead.");
  }
}

}  // namespace kolvex::pipeline::detail
