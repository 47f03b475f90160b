#include "repoctl/pipeline/leftovers.h"

#include <system_error>

#include "core/fs.h"
#include "core/scratch_sweep.h"
#include "platform/config.h"
#include "platform/snapshot_layout.h"
#include "repoctl/pipeline/capture_record.h"

namespace kolvex::pipeline {
namespace {

// A file only a publication in progress has: a temporary pointer or a database
// copy not yet renamed to its versioned name.
bool is_publication_temporary(const std::string& name) {
  return name.starts_with(platform::TEMP_POINTER_PREFIX) ||
         (name.starts_with(platform::SNAPSHOT_PREFIX) && name.ends_with(platform::TEMP_COPY_SUFFIX));
}

void remove_stale_publication_files(std::string_view slug, const std::optional<std::filesystem::path>& root) {
  std::error_code error;
  std::filesystem::directory_iterator entries(platform::index_dir(slug, root), error);
  if (error) return;  // no snapshot directory yet
  for (const auto& entry : entries) {
    if (!is_publication_temporary(entry.path().filename().string())) continue;
    std::error_code ignored;
    if (entry.is_symlink(ignored) || entry.is_regular_file(ignored)) std::filesystem::remove(entry.path(), ignored);
  }
}

}  // namespace

void remove_run_leftovers(std::string_view slug, const std::optional<std::filesystem::path>& root) {
  core::remove_abandoned_scratch_dirs(core::scratch_parent(), RUN_SCRATCH_PREFIX, UNMARKED_SCRATCH_AGE);
  try {
    remove_stale_publication_files(slug, root);
  } catch (const std::exception&) {
    // A snapshot directory that cannot be listed is reported by the publication
    // that needs it, not by this clean-up.
  }
  detail::remove_stale_capture_record_files(slug, root);
}

}  // namespace kolvex::pipeline
