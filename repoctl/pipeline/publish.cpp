#include "repoctl/pipeline/publish.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/fs.h"
#include "core/json.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"
#include "platform/snapshot_layout.h"

namespace kolvex::pipeline {
namespace {

// Deletes a file; a missing one is no error.
void unlink_if_exists(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw core::os_error(errno, path);
}

// Deletes a file on a path that already failed; the first failure is the one reported.
void remove_quietly(const std::filesystem::path& path) noexcept { ::unlink(path.c_str()); }

}  // namespace

std::string metadata_json(const SnapshotMetadata& metadata) {
  core::Json object = core::Json::object();
  object["project"] = metadata.project;
  object["repo"] = metadata.repo;
  object["branch"] = metadata.branch;
  object["commit_sha"] = metadata.commit_sha;
  object["published_at"] = metadata.published_at;
  object["generation"] = metadata.generation;
  object["source_hash"] = metadata.source_hash;
  return core::dump_json(object);
}

void copy_snapshot_database(const std::filesystem::path& source, const std::filesystem::path& target_dir,
                            std::string_view versioned_name) {
  core::copy_file_synced(source, target_dir / platform::temporary_copy_name(versioned_name),
                         target_dir / versioned_name);
}

void move_snapshot_database(const std::filesystem::path& source, const std::filesystem::path& target_dir,
                            std::string_view versioned_name) {
  core::fsync_file(source);
  const std::filesystem::path target = target_dir / versioned_name;
  if (::rename(source.c_str(), target.c_str()) == 0) return;
  if (errno != EXDEV) throw core::os_error(errno, target);
  copy_snapshot_database(source, target_dir, versioned_name);
}

void write_metadata_sibling(const std::filesystem::path& target_dir, std::string_view versioned_name,
                            const SnapshotMetadata& metadata) {
  std::filesystem::path target = target_dir / platform::metadata_name(versioned_name);
  try {
    core::write_file_synced(target, metadata_json(metadata));
  } catch (...) {
    remove_quietly(target);
    throw;
  }
}

std::optional<std::string> read_pointer_name(const std::filesystem::path& target_dir) {
  std::string content;
  try {
    content = core::read_file(target_dir / platform::POINTER_NAME);
  } catch (const core::OsError&) {
    return std::nullopt;
  }
  if (!core::is_valid_utf8(content)) return std::nullopt;
  std::string name(core::strip(content));
  if (!platform::is_bare_file_name(name)) return std::nullopt;
  return name;
}

bool index_has_navigation_data(core::Connection& conn) {
  std::optional<std::int64_t> chunks = conn.query_int("SELECT COUNT(*) FROM chunks");
  std::optional<std::int64_t> mentions = conn.query_int("SELECT COUNT(*) FROM mentions");
  return chunks.value_or(0) > 0 && mentions.value_or(0) > 0;
}

namespace detail {

void publish_atomically(const std::filesystem::path& target_dir, std::string_view versioned_name,
                        const std::function<void()>& on_live) {
  std::filesystem::path pointer = target_dir / platform::POINTER_NAME;
  std::filesystem::path temporary = target_dir / (std::string(platform::TEMP_POINTER_PREFIX) + std::to_string(::getpid()));
  try {
    core::write_file_synced(temporary, versioned_name);
    std::filesystem::rename(temporary, pointer);
  } catch (...) {
    remove_quietly(temporary);
    throw;
  }
  // The rename is the moment of publication: whatever fails after it fails a
  // run whose snapshot readers already see.
  if (on_live) on_live();
  core::fsync_directory(target_dir);
}

void discard_unpublished_snapshot(const std::filesystem::path& target_dir, std::string_view versioned_name) noexcept {
  remove_quietly(target_dir / platform::temporary_copy_name(versioned_name));
  remove_quietly(target_dir / versioned_name);
  remove_quietly(target_dir / platform::metadata_name(versioned_name));
}

std::vector<std::filesystem::path> retire_superseded_snapshots(std::string_view slug,
                                                               const std::optional<std::filesystem::path>& root,
                                                               std::string_view keep) {
  std::filesystem::path directory = platform::index_dir(slug, root);
  if (!std::filesystem::is_directory(directory)) return {};
  // The pointer may name another database than `keep` (a run that failed after
  // its swap, or a concurrent one): the live database is never deleted.
  std::optional<std::string> live = read_pointer_name(directory);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (platform::is_snapshot_database_name(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  std::vector<std::filesystem::path> deleted;
  for (const std::string& name : names) {
    if (name == keep || name == live) continue;
    std::filesystem::path path = directory / name;
    unlink_if_exists(path);
    unlink_if_exists(directory / platform::metadata_name(name));
    deleted.push_back(std::move(path));
  }
  return deleted;
}

}  // namespace detail
}  // namespace kolvex::pipeline
