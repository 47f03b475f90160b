#include "repoctl/pipeline/publish.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/fs.h"
#include "core/json.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"

namespace kolvex::pipeline {
namespace {

// Deletes a file; a missing one is no error.
void unlink_if_exists(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw core::os_error(errno, path);
}

bool is_snapshot_database_name(std::string_view name) {
  return name.size() >= 9 && core::starts_with(name, "index-") && core::ends_with(name, ".db");
}

}  // namespace

std::string versioned_snapshot_name(std::string_view commit, std::string_view generation) {
  std::string name = "index-";
  name += commit;
  name += "-";
  name += generation;
  name += ".db";
  return name;
}

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
  std::filesystem::path target = target_dir / versioned_name;
  std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(target, std::filesystem::status(source).permissions());
  core::fsync_file(target);
}

void write_metadata_sibling(const std::filesystem::path& target_dir, std::string_view versioned_name,
                            const SnapshotMetadata& metadata) {
  std::filesystem::path target = target_dir / detail::metadata_name(versioned_name);
  core::write_file(target, metadata_json(metadata));
  core::fsync_file(target);
}

std::optional<std::string> read_pointer_name(const std::filesystem::path& target_dir) {
  std::string content;
  try {
    content = core::read_file(target_dir / POINTER_NAME);
  } catch (const core::OsError&) {
    return std::nullopt;
  }
  if (!core::is_valid_utf8(content)) return std::nullopt;
  std::string name(core::strip(content));
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return name;
}

bool index_has_navigation_data(core::Connection& conn) {
  std::optional<std::int64_t> chunks = conn.query_int("SELECT COUNT(*) FROM chunks");
  std::optional<std::int64_t> mentions = conn.query_int("SELECT COUNT(*) FROM mentions");
  return chunks.value_or(0) > 0 && mentions.value_or(0) > 0;
}

namespace detail {

std::string metadata_name(std::string_view db_filename) {
  std::string_view stem = db_filename;
  if (core::ends_with(stem, ".db")) stem.remove_suffix(3);
  return std::string(stem) + ".metadata.json";
}

void publish_atomically(const std::filesystem::path& target_dir, std::string_view versioned_name) {
  std::filesystem::path pointer = target_dir / POINTER_NAME;
  std::filesystem::path temporary = target_dir / (std::string(TEMP_POINTER_PREFIX) + std::to_string(::getpid()));
  core::write_file(temporary, versioned_name);
  core::fsync_file(temporary);
  std::filesystem::rename(temporary, pointer);
  core::fsync_directory(target_dir);
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
    if (is_snapshot_database_name(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  std::vector<std::filesystem::path> deleted;
  for (const std::string& name : names) {
    if (name == keep || name == live) continue;
    std::filesystem::path path = directory / name;
    unlink_if_exists(path);
    unlink_if_exists(directory / metadata_name(name));
    deleted.push_back(std::move(path));
  }
  return deleted;
}

}  // namespace detail
}  // namespace kolvex::pipeline
