#include "platform/snapshot_layout.h"

namespace kolvex::platform {
namespace {

// The name without one trailing ".db".
std::string_view database_stem(std::string_view name) noexcept {
  if (name.ends_with(DATABASE_SUFFIX)) name.remove_suffix(DATABASE_SUFFIX.size());
  return name;
}

}  // namespace

std::filesystem::path snapshot_dir(const std::filesystem::path& data_dir, std::string_view project,
                                   std::string_view repo, std::string_view branch) {
  return data_dir / SNAPSHOTS_DIR / std::filesystem::path(project) / std::filesystem::path(repo) /
         std::filesystem::path(branch);
}

std::string versioned_snapshot_name(std::string_view commit, std::string_view generation) {
  std::string name(SNAPSHOT_PREFIX);
  name += commit;
  name += "-";
  name += generation;
  name += DATABASE_SUFFIX;
  return name;
}

bool is_snapshot_database_name(std::string_view name) noexcept {
  return name.size() >= SNAPSHOT_PREFIX.size() + DATABASE_SUFFIX.size() && name.starts_with(SNAPSHOT_PREFIX) &&
         name.ends_with(DATABASE_SUFFIX);
}

std::string metadata_name(std::string_view db_filename) {
  return std::string(database_stem(db_filename)) + std::string(METADATA_SUFFIX);
}

std::string temporary_copy_name(std::string_view versioned_name) {
  return std::string(database_stem(versioned_name)) + std::string(TEMP_COPY_SUFFIX);
}

bool is_bare_file_name(std::string_view name) noexcept {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace kolvex::platform
