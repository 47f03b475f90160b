// The published-snapshot layout, shared by the indexing pipeline (which writes
// it) and the published-snapshot reader (which reads it).
//
// A snapshot directory is <data dir>/scip/<project>/<repo>/<branch>. It holds
// the versioned snapshot databases "index-<commit>-<generation>.db", beside each
// its metadata sibling "index-<commit>-<generation>.metadata.json", and the
// pointer file "current", whose content (surrounding white space aside) names
// the live database by its bare file name. While a run publishes, its database
// copy lives under the versioned name with ".db" replaced by ".incomplete.db",
// and its new pointer under ".current.tmp-<pid>".
//
// Names only: nothing here touches a file. Every function is pure and may be
// called from any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kolvex::platform {

// The directory under the data directory that holds every snapshot directory.
inline constexpr std::string_view SNAPSHOTS_DIR = "scip";
// The pointer file of a snapshot directory and the prefix of its temporary twin.
inline constexpr std::string_view POINTER_NAME = "current";
inline constexpr std::string_view TEMP_POINTER_PREFIX = ".current.tmp-";
// The name parts of a versioned snapshot database.
inline constexpr std::string_view SNAPSHOT_PREFIX = "index-";
inline constexpr std::string_view DATABASE_SUFFIX = ".db";
// What replaces a database name's ".db" in its metadata sibling and in its copy in progress.
inline constexpr std::string_view METADATA_SUFFIX = ".metadata.json";
inline constexpr std::string_view TEMP_COPY_SUFFIX = ".incomplete.db";

// data_dir/scip/<project>/<repo>/<branch>. The coordinates are joined as given:
// callers check them first (a slug rule, or is_bare_file_name).
std::filesystem::path snapshot_dir(const std::filesystem::path& data_dir, std::string_view project,
                                   std::string_view repo, std::string_view branch);

// "index-" + commit + "-" + generation + ".db".
std::string versioned_snapshot_name(std::string_view commit, std::string_view generation);

// True for "index-*.db" (the copies in progress of killed runs included).
bool is_snapshot_database_name(std::string_view name) noexcept;

// The metadata sibling of a database name: one trailing ".db" removed, then
// ".metadata.json" appended.
std::string metadata_name(std::string_view db_filename);

// The temporary name under which a database is copied: one trailing ".db"
// removed, then ".incomplete.db" appended.
std::string temporary_copy_name(std::string_view versioned_name);

// True when `name` is a bare file name of a directory: not empty, not "." or
// "..", no "/" and no NUL byte. A pointer whose content is anything else names
// nothing.
bool is_bare_file_name(std::string_view name) noexcept;

}  // namespace kolvex::platform
