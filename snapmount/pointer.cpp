#include "snapmount/pointer.h"

#include <cerrno>
#include <exception>

#include "core/fs.h"
#include "core/json.h"
#include "core/text.h"
#include "platform/snapshot_layout.h"

namespace kolvex::snapmount {
namespace {

namespace fs = std::filesystem;

void check_coordinate(std::string_view what, std::string_view value) {
  if (!platform::is_bare_file_name(value)) {
    throw core::ValueError("snapshot " + std::string(what) + " must be a single path component: " +
                           core::quote(core::decode_utf8_replace(value)));
  }
}

// A member's value as the record carries it: strings as they are, null as
// absent, anything else as its JSON text (the reader checks no types).
std::optional<std::string> member_value(const core::Json& value) {
  if (value.is_null()) return std::nullopt;
  if (value.is_string()) return value.get<std::string>();
  return core::dump_json(value);
}

std::optional<std::string> member(const core::Json& object, const char* name) {
  auto found = object.find(name);
  if (found == object.end()) return std::nullopt;
  return member_value(*found);
}

// Like member(), but a missing member takes the requested coordinate.
std::optional<std::string> coordinate_member(const core::Json& object, const char* name,
                                             std::string_view requested) {
  auto found = object.find(name);
  if (found == object.end()) return std::string(requested);
  return member_value(*found);
}

}  // namespace

namespace detail {

std::string coordinates_text(std::string_view project, std::string_view repo, std::string_view branch) {
  return std::string(project) + "/" + std::string(repo) + "@" + std::string(branch);
}

fs::path snapshot_dir(const fs::path& filestore_root, std::string_view project, std::string_view repo,
                      std::string_view branch) {
  check_coordinate("project", project);
  check_coordinate("repo", repo);
  check_coordinate("branch", branch);
  return platform::snapshot_dir(filestore_root, project, repo, branch);
}

}  // namespace detail

std::string read_pointer(const fs::path& filestore_root, std::string_view project, std::string_view repo,
                         std::string_view branch) {
  const fs::path pointer_path =
      detail::snapshot_dir(filestore_root, project, repo, branch) / platform::POINTER_NAME;
  std::string bytes;
  try {
    bytes = core::read_file(pointer_path);
  } catch (const core::OsError& error) {
    if (error.error_number() != ENOENT) throw;
    throw IndexNotFoundError("no published index for " + detail::coordinates_text(project, repo, branch),
                             std::current_exception());
  }
  if (std::optional<core::Utf8Fault> fault = core::find_utf8_fault(bytes)) {
    throw core::ValueError("pointer file " + pointer_path.string() + " is not valid UTF-8 (" + fault->reason +
                           " at byte " + std::to_string(fault->offset) + ")");
  }
  std::string content(core::strip(bytes));
  if (content.empty()) {
    throw IndexNotFoundError("empty pointer file for " + detail::coordinates_text(project, repo, branch));
  }
  // The pointer names a file of its own directory; a path ("../x.db",
  // "/elsewhere.db") would let a damaged pointer open a file outside the layout.
  if (!platform::is_bare_file_name(content)) {
    throw IndexNotFoundError("pointer file for " + detail::coordinates_text(project, repo, branch) +
                             " does not name a file of its directory: " + core::quote(content));
  }
  return content;
}

std::optional<IndexMetadata> read_metadata(const fs::path& filestore_root, std::string_view project,
                                           std::string_view repo, std::string_view branch,
                                           std::string_view pointer_content) {
  const fs::path directory = detail::snapshot_dir(filestore_root, project, repo, branch);
  if (!platform::is_bare_file_name(pointer_content)) return std::nullopt;
  core::Json parsed;
  try {
    std::string bytes = core::read_file(directory / platform::metadata_name(pointer_content));
    if (!core::is_valid_utf8(bytes)) return std::nullopt;
    parsed = core::parse_json(bytes);
  } catch (const std::exception&) {
    // Metadata only adds information: unreadable or malformed means absent.
    return std::nullopt;
  }
  if (!parsed.is_object()) return std::nullopt;
  return IndexMetadata{
      .project = coordinate_member(parsed, "project", project),
      .repo = coordinate_member(parsed, "repo", repo),
      .branch = coordinate_member(parsed, "branch", branch),
      .commit_sha = member(parsed, "commit_sha"),
      .published_at = member(parsed, "published_at"),
      .generation = member(parsed, "generation"),
      .source_hash = member(parsed, "source_hash"),
  };
}

}  // namespace kolvex::snapmount
