// The registry: one row per indexed repository (keyed by slug) in the table
// "repos" of "registry.db" in the data directory.
//
// Every operation is one autocommitted statement or one short transaction that
// ends before the call returns: the graph store writes the same file while an
// index run holds its registry handle. Opening works before the file exists:
// reads answer "no rows" and the first write creates the file (with its parent
// directories) and the table. The file is kept in write-ahead-log mode, so that
// readers never block a run's writes. Every failure of the file or its
// directory (damaged, a directory in its place, read-only, full, an I/O error,
// locked too long) is raised as RegistryError (platform/registry_error.h),
// whose text names the file and the remedy; use after close() raises
// core::SqliteError. A row whose status or SCIP stage state is not one of the
// texts of platform/registry_states.h (a damaged file, or one written by a
// newer version) is such damage too.
//
// Per-repository choices follow the rule "absent keeps the stored value": an
// option left unset in upsert never clears what an earlier run stored. The
// status fields are the exception: they describe the status being written.
//
// Thread-safety: a Registry belongs to one thread; several handles (in one or
// several processes) may use the same file at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/sqlite.h"
#include "platform/registry_error.h"
#include "platform/registry_states.h"

namespace kolvex::platform {

// Origin recorded for a failed run.
inline constexpr std::string_view ORIGIN_FAILED_HARD = "failed-hard";
// Language recorded when no SCIP language was detected.
inline constexpr std::string_view UNKNOWN_LANGUAGE = "unknown";

// The SCIP stage record of a run; read back as scip_state, scip_failure_reason,
// scip_failure_stderr and scip_failed_at_sha.
struct ScipStageFields {
  ScipState state = ScipState::AVAILABLE;
  std::optional<std::string> failure_reason;
  std::optional<std::string> failure_stderr;
  std::optional<std::string> failed_at_sha;
};

// One registry row.
struct RegisteredRepo {
  std::string slug;
  std::string path;
  std::string language;
  RepoStatus status = RepoStatus::INDEXING;
  core::SystemTime last_indexed;
  bool scip_enabled = true;
  bool semantic_declined = false;
  std::vector<std::string> semantic_include;  // in the order given; never unset
  std::optional<std::string> commit_sha;
  std::optional<ScipState> scip_state;  // none also for an empty stored text
  std::optional<std::string> scip_failure_reason;
  std::optional<std::string> scip_failed_at_sha;
  std::optional<std::string> scheme_override;
  std::optional<std::string> language_override;
  std::optional<std::string> status_origin;
  std::optional<std::string> status_reason;
  std::optional<std::string> status_stderr;
  std::optional<core::SystemTime> semantic_indexed_at;
  // Kept beside the fields above: the complete SCIP failure text and the
  // number of git-tracked files of the last complete run.
  std::optional<std::string> scip_failure_stderr;
  std::optional<std::int64_t> tracked_files;
};

// The named arguments of Registry::upsert.
struct UpsertOptions {
  // Choices in force; none keeps the stored value (a new row gets none, an
  // empty include list and SCIP enabled).
  std::optional<std::string> scheme_override;
  std::optional<std::vector<std::string>> semantic_include;
  std::optional<std::string> language_override;
  std::optional<bool> scip_enabled;
  // The reason of the status being written; stored as given (none clears it).
  std::optional<std::string> status_reason;
  // None keeps the stored SCIP stage fields; a record replaces all four.
  std::optional<ScipStageFields> scip_stage;
};

class Registry {
 public:
  // `path` is data_dir(root) / "registry.db". Nothing is created yet.
  explicit Registry(std::filesystem::path path);
  ~Registry();
  Registry(Registry&&) noexcept = default;
  Registry& operator=(Registry&&) noexcept = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }

  std::optional<RegisteredRepo> get(std::string_view slug);
  // Every row, ordered by slug.
  std::vector<RegisteredRepo> list();

  // Creates or updates the row of `slug`: path, language, commit and status as
  // given, last_indexed now, the options as described on UpsertOptions; an
  // earlier failure's origin and text are cleared.
  void upsert(std::string_view slug, std::string_view path, std::string_view language,
              const std::optional<std::string>& commit, RepoStatus status,
              const UpsertOptions& options = {});
  // Records a failed run: the row (created when missing) gets status "failed",
  // the origin, reason and complete text, the path, language and last_indexed now.
  void record_failure(std::string_view slug, std::string_view path, std::string_view language,
                      std::string_view origin, std::string_view reason, std::string_view text);
  // The next three change an existing row only; a missing row is left missing.
  void mark_tracked_files(std::string_view slug, std::int64_t count);
  void mark_semantic_indexed(std::string_view slug);  // semantic_indexed_at = now
  void set_semantic_declined(std::string_view slug, bool declined);
  // True when a row was removed, false when there was none.
  bool forget(std::string_view slug);
  // Runs `body` in one BEGIN IMMEDIATE transaction of this handle, creating the
  // file first: what `body` reads through this handle stays true until its
  // writes commit, because no other writer gets in between (a check and the
  // row it guards become one step). Commits when `body` returns; rolls back and
  // rethrows when it throws.
  void write_atomically(const std::function<void()>& body);
  // Idempotent; the destructor calls it.
  void close();

 private:
  // The open connection; with `create` false, none while the file does not exist.
  // Failures to open are raised as RegistryError.
  core::Connection* connection(bool create);
  // Runs `body`, raising its SQLite failures as RegistryError for `action`.
  template <typename Body>
  auto guarded(std::string_view action, Body&& body);

  std::filesystem::path path_;
  core::Connection connection_;
  bool closed_ = false;
};

// Where the row's current status came from: its stored origin when there is
// one, otherwise a text derived from its status.
std::string origin_of(const RegisteredRepo& row);
// What the user can do about the row's status, or none when nothing is needed.
std::optional<std::string> recovery_for(const RegisteredRepo& row);

}  // namespace kolvex::platform
