#include "repoctl/pipeline/index_run.h"

#include <algorithm>

#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <thread>
#include <unordered_set>

#include "chunker/chunk_file.h"
#include "core/clock.h"
#include "core/closing.h"
#include "core/fs.h"
#include "core/sqlite.h"
#include "core/process.h"
#include "core/text.h"
#include "declstore/build.h"
#include "declstore/capture.h"
#include "declstore/finalize.h"
#include "declstore/merge.h"
#include "declstore/previous_copy.h"
#include "platform/config.h"
#include "platform/graph.h"
#include "platform/registry.h"
#include "platform/snapshot_layout.h"
#include "repoctl/pipeline/capture_record.h"
#include "repoctl/pipeline/errors.h"
#include "repoctl/pipeline/index_run_internal.h"
#include "repoctl/pipeline/language.h"
#include "repoctl/pipeline/leftovers.h"
#include "repoctl/pipeline/package_graph.h"
#include "repoctl/pipeline/previous.h"
#include "repoctl/pipeline/publish.h"
#include "repoctl/pipeline/run_lock.h"
#include "repoctl/pipeline/runner.h"
#include "repoctl/pipeline/scip_attempt.h"
#include "repoctl/pipeline/scip_indexers.h"
#include "repoctl/pipeline/semantic_glue.h"
#include "repoctl/pipeline/zoekt.h"
#include "syntax/parser_pool.h"

namespace kolvex::pipeline {
namespace {

constexpr std::string_view REGISTRY_FILE = "registry.db";
// The copy of the previous snapshot's file made during capture, in the run's
// scratch directory, until a build over it takes it.
constexpr std::string_view PREVIOUS_COPY_FILE = "previous-copy.db";

// Everything set-up fixes for the rest of the run.
struct RunSetup {
  std::filesystem::path repo_path;
  std::string slug;
  std::string sha;
  std::optional<std::filesystem::path> root;
  std::optional<std::string> language_override;
  std::string resolved_language;
  std::optional<std::string> scheme;
  std::vector<std::string> semantic_include;
  bool scip_enabled = true;
  std::optional<platform::RegisteredRepo> existing;
  bool suppressed = false;
  bool scip_supported = false;
  bool attempt_scip = false;
  // The index listing, read by `git ls-files` on a thread of its own from the
  // start of set-up, while HEAD, the lock and the registry are seen to.
  // Detection, capture and the blob count read it; listing() waits for it, and
  // raises what the reading raised.
  const declstore::IndexListing& listing() const { return listing_read_.get(); }
  void start_listing() {
    listing_read_ =
        std::async(std::launch::async, [path = repo_path] { return declstore::list_index(path); }).share();
  }

 private:
  std::shared_future<declstore::IndexListing> listing_read_;
};

// What the build stages and the publication found.
struct RunResult {
  bool syntax_gap = false;
  std::optional<ScipAttempt> attempt;
  std::int64_t tracked = 0;
  bool semantic_ok = false;
  bool has_nav = false;
  std::string versioned_name;
  bool published = false;
};

std::string message_of(const std::exception& error) { return error.what(); }

// The one-line reason of a failure text: its first non-blank line, else the
// error type's bare name.
std::string reason_of(const std::exception& error) {
  if (auto line = core::first_non_blank_line(message_of(error))) return *line;
  return core::error_type_name(error);
}

// Runs `body` on a connection that is closed on every path.
template <typename Body>
auto with_connection(core::Connection connection, Body&& body) {
  return core::with_closing(connection, [&] { return body(connection); });
}

// A connection to the run's final database in the scratch directory. The file is
// published by a copy that is flushed to stable storage; flushing the scratch
// file itself at every commit would write it to disk once more for nothing.
core::Connection open_scratch_database(const std::filesystem::path& path) {
  core::Connection connection = core::Connection::open(path);
  connection.exec("PRAGMA synchronous = OFF");
  return connection;
}

// --- set-up ---

RunSetup set_up(const std::filesystem::path& repo_path_arg, const IndexOptions& options,
                std::optional<platform::Registry>& registry, std::optional<RunLock>& lock,
                core::Diagnostics& diagnostics) {
  RunSetup run;
  run.root = options.root;
  run.repo_path = detail::canonical_repo_path(repo_path_arg);
  run.start_listing();
  std::string name = options.slug && !options.slug->empty() ? *options.slug : run.repo_path.filename().string();
  run.slug = platform::repo_slug(name);
  run.sha = git_head(run.repo_path);

  std::filesystem::path data_dir = platform::data_dir(run.root);
  lock.emplace(data_dir, run.slug, diagnostics);
  remove_run_leftovers(run.slug, run.root);
  registry.emplace(data_dir / REGISTRY_FILE);
  // Checked here so that a path claimed by another slug is the error even when
  // a later step of set-up would fail; checked again, atomically, below.
  try {
    detail::reject_duplicate_slug_for_path(*registry, run.slug, run.repo_path);
  } catch (const std::exception&) {
    registry->close();
    throw;
  }

  std::optional<std::string> resolved_language;
  try {
    run.language_override = detail::resolve_language(*registry, run.slug, options.language);
    if (!run.language_override) {
      try {
        resolved_language = detect_language(run.listing()).language;
      } catch (const UnsupportedLanguageError&) {
        resolved_language = std::string(platform::UNKNOWN_LANGUAGE);
      }
    } else if (!supports_scip(*run.language_override)) {
      std::vector<std::string> keys;
      for (const auto& [language, command] : indexer_by_language()) keys.push_back(core::quote(language));
      std::sort(keys.begin(), keys.end());
      throw UnsupportedLanguageError(core::quote(run.slug) + " has a persisted language override " +
                                     core::quote(*run.language_override) +
                                     " that is no longer supported (expected one of [" + core::join(keys, ", ") +
                                     "])");
    } else {
      resolved_language = *run.language_override;
    }
    run.scheme = detail::resolve_scheme(*registry, run.slug, options.scheme);
    run.semantic_include = detail::resolve_semantic_include(*registry, run.slug, options.semantic_include);
    run.scip_enabled = detail::resolve_scip_enabled(*registry, run.slug, options.scip);
    run.existing = registry->get(run.slug);
    run.suppressed = detail::scip_suppressed(run.existing, {.watch = options.watch,
                                                            .scip_enabled = run.scip_enabled,
                                                            .explicit_scip = options.scip,
                                                            .language = options.language,
                                                            .scheme = options.scheme,
                                                            .head = run.sha,
                                                            .resolved_language = resolved_language.value_or("")});
  } catch (const std::exception& error) {
    detail::record_failure_best_effort(*registry, run.slug, run.repo_path,
                                       resolved_language.value_or(std::string(platform::UNKNOWN_LANGUAGE)),
                                       reason_of(error), message_of(error), diagnostics);
    registry->close();
    throw;
  }
  run.resolved_language = *resolved_language;
  run.scip_supported = supports_scip(run.resolved_language);
  run.attempt_scip = run.scip_enabled && run.scip_supported && !run.suppressed;

  // Runs of other slugs do not share this run's lock: the path check and the
  // first row are one registry transaction, so of two slugs racing for one
  // path exactly one gets a row.
  try {
    registry->write_atomically([&] {
      detail::reject_duplicate_slug_for_path(*registry, run.slug, run.repo_path);
      registry->upsert(run.slug, run.repo_path.string(), run.resolved_language, std::nullopt,
                       platform::RepoStatus::INDEXING,
                       {.scheme_override = run.scheme,
                        .semantic_include = run.semantic_include,
                        .language_override = run.language_override,
                        .scip_enabled = run.scip_enabled});
    });
  } catch (const std::exception&) {
    registry->close();
    throw;
  }
  return run;
}

// --- build stages ---

// The run's shared-parse callback state: chunks cut from the syntax build's
// trees, and the first error met while cutting them.
struct ChunkCapture {
  syntax::ParserPool* pool = nullptr;
  PreparedChunks prepared;
  std::exception_ptr error;

  void collect(const declstore::CapturedFile& captured, std::string_view data, const syntax::ParseTree& tree) {
    if (error) return;
    try {
      // The tree's offsets refer to the raw bytes: a file that is not UTF-8 is
      // chunked from its replaced text without the tree.
      bool valid = core::is_valid_utf8(data);
      std::string text = valid ? std::string(data) : core::decode_utf8_replace(data);
      prepared[captured.file_path] =
          chunker::chunk_file(captured.file_path, text, captured.file_hash.value_or(""),
                              captured.language.value_or(""), {.tree = valid ? &tree : nullptr, .pool = pool});
    } catch (const std::exception&) {
      error = std::current_exception();
    }
  }
};

void run_zoekt_build(const RunSetup& run, RunResult& result, const declstore::IndexListing& listing,
                     const std::optional<std::string>& pinned_name, core::Diagnostics& diagnostics) {
  std::filesystem::path zoekt_dir = platform::data_dir(run.root) / ".zoekt";
  std::filesystem::create_directories(zoekt_dir);
  detail::pin_zoekt_repo_name(run.repo_path, run.slug, pinned_name);
  result.tracked = tracked_blob_count(listing);
  CompletedProcess zoekt =
      detail::run(detail::zoekt_index_cmd(zoekt_dir, run.repo_path), run.repo_path, "zoekt-git-index");
  if (auto shortfall = detail::coverage_shortfall_warning(run.slug, result.tracked, zoekt.stderr_text)) {
    diagnostics.line(*shortfall);
  }
  detail::sweep_zoekt_tmp_orphans(run.slug, run.root);
}

// The scip_state of the facts row when no converted database is published.
platform::ScipState facts_state_without_database(const RunSetup& run, const RunResult& result) {
  if (result.attempt) return result.attempt->state;
  if (!run.scip_enabled) return platform::ScipState::DISABLED;
  if (run.suppressed && run.existing && run.existing->scip_state) return *run.existing->scip_state;
  return platform::ScipState::UNSUPPORTED;
}

void finalize_and_publish(const RunSetup& run, RunResult& result, const declstore::SourceManifest& manifest,
                          const declstore::CaptureRecords& captured, const std::filesystem::path& syntax_db) {
  std::string generation = core::uuid4_hex();
  result.versioned_name = platform::versioned_snapshot_name(run.sha, generation);
  std::string published_at = core::isoformat_utc(core::utc_now());
  auto finalize_options = [&](platform::ScipState scip_state) {
    return declstore::FinalizeOptions{generation, run.sha, published_at, manifest.source_hash,
                                      std::string(platform::scip_state_text(scip_state))};
  };

  bool converted = result.attempt && result.attempt->db_path;
  std::filesystem::path final_db = converted ? *result.attempt->db_path : syntax_db;
  if (converted) {
    result.has_nav = with_connection(open_scratch_database(final_db), [&](core::Connection& connection) {
      declstore::copy_syntax_tables(syntax_db, connection);
      declstore::finalize_snapshot(connection, finalize_options(result.attempt->state));
      return index_has_navigation_data(connection);
    });
  } else {
    with_connection(open_scratch_database(final_db), [&](core::Connection& connection) {
      declstore::finalize_snapshot(connection, finalize_options(facts_state_without_database(run, result)));
    });
    result.has_nav = false;
  }
  core::check_interrupted();

  platform::GraphStore store(platform::data_dir(run.root) / REGISTRY_FILE);
  core::with_closing(store, [&] {
    if (!converted) {
      platform::clear_graph_edges_for_repo(store, run.slug);
    } else {
      with_connection(core::Connection::open(final_db), [&](core::Connection& connection) {
        populate_graph_for_repo(store, run.slug, connection);
      });
    }
  });

  std::filesystem::path target_dir = platform::index_dir(run.slug, run.root);
  std::filesystem::create_directories(target_dir);
  try {
    // The final database is the run's own file, never written again: it moves
    // into place rather than being copied.
    move_snapshot_database(final_db, target_dir, result.versioned_name);
    write_metadata_sibling(target_dir, result.versioned_name,
                           {std::string(platform::PROJECT), run.slug, std::string(platform::BRANCH), run.sha,
                            published_at, generation, manifest.source_hash});
    core::check_interrupted();
    detail::publish_atomically(target_dir, result.versioned_name, [&result] { result.published = true; });
    // What this capture saw lets the next run skip reading the files that have
    // not changed since; the record is tied to the generation now live.
    detail::store_capture_record(run.slug, run.root, result.versioned_name, run.repo_path, captured);
  } catch (...) {
    // A generation that never went live must not keep the space it took: on a
    // full disk the failure could not even be recorded.
    if (!result.published) detail::discard_unpublished_snapshot(target_dir, result.versioned_name);
    throw;
  }
}

// Whether `connection` holds a plain syntax snapshot; false when that cannot be read.
bool is_plain_syntax_snapshot_or_false(core::Connection& connection) {
  try {
    return declstore::has_syntax_tables(connection) && declstore::is_plain_syntax_snapshot(connection);
  } catch (const core::SqliteError&) {
    return false;
  }
}

void build_and_publish(const RunSetup& run, RunResult& result, core::Diagnostics& diagnostics) {
  core::ScratchDir scratch = core::ScratchDir::create_marked(RUN_SCRATCH_PREFIX);
  const declstore::IndexListing& listing = run.listing();
  // The zoekt.name pin is read meanwhile, by a git process of its own; the zoekt
  // stage writes it if need be.
  std::future<std::optional<std::string>> pinned_name =
      std::async(std::launch::async, [&run] { return detail::read_zoekt_repo_name(run.repo_path); });
  // What capture saw of each file lets revalidation skip reading the files that
  // cannot have changed since; what the capture of the live snapshot saw lets
  // this capture skip them too.
  std::optional<declstore::CaptureRecords> known = detail::load_capture_record(run.slug, run.root, run.repo_path);
  // The previous snapshot is only read, and only during the build. A build over
  // a copy of its file needs every page of it checked: the check reads the whole
  // file on a thread of its own, so it starts here and overlaps capture.
  std::optional<detail::PreviousSnapshot> previous = detail::open_previous_snapshot(run.slug, run.root);
  core::Connection connection = previous ? previous->connection : core::Connection();
  std::optional<declstore::PageCheck> previous_check;
  std::optional<declstore::LayoutRead> previous_layout;
  std::optional<declstore::CopyAhead> previous_copy;
  if (connection.is_open()) {
    const std::filesystem::path file = declstore::main_database_file(connection);
    if (!file.empty()) {
      previous_check.emplace(file);
      previous_layout.emplace(file);  // where its rows lie, read meanwhile too
      // The copy a build over it starts from, made meanwhile too. A snapshot that
      // is not a plain syntax snapshot is never built over; one that cannot be
      // read here fails the build, which then meets the error itself. Without a
      // SCIP attempt the build's file is the one published, and synced then.
      if (is_plain_syntax_snapshot_or_false(connection)) {
        previous_copy.emplace(file, scratch.path() / PREVIOUS_COPY_FILE, /*write_back=*/!run.attempt_scip);
      }
    }
  }
  declstore::CaptureRecords captured;
  declstore::SourceManifest manifest = declstore::capture_sources(
      run.repo_path, scratch.path(),
      {.listing = &listing, .records = &captured, .known = known ? &*known : nullptr});
  known.reset();
  std::filesystem::path syntax_db = scratch.path() / "syntax.db";
  core::check_interrupted();

  syntax::ParserPool pool;
  ChunkCapture capture{.pool = &pool};
  std::optional<semantic::SemanticWork> sem_work =
      detail::prepare_semantic_stage(run.repo_path, run.slug, run.root, run.semantic_include, &manifest, diagnostics);

  // Without a SCIP attempt the syntax database is the file published: its pages
  // start on their way to storage as soon as the build has written them, while
  // the rest of the run goes on, so the sync before publication finds little left
  // to write. Starting the writes of a large file can itself take a while, so
  // another thread does it: once for the pages written before the indexes, once
  // for the rest.
  std::jthread writeback_so_far;
  std::jthread writeback_rest;
  auto start_writeback = [&](std::jthread& thread) {
    if (!run.attempt_scip) thread = std::jthread([&syntax_db] { core::start_writeback(syntax_db); });
  };

  // The stages from the SCIP attempt to revalidation need nothing of the syntax
  // database: they run while a build from nothing makes its indexes, or, on
  // another thread, from the moment a build finds it can start from a copy of the
  // previous snapshot (the build makes no callback meanwhile), or after a build
  // that failed before. They run once.
  bool stages_after_build_ran = false;
  auto stages_after_build = [&] {
    if (stages_after_build_ran) return;
    stages_after_build_ran = true;
    start_writeback(writeback_so_far);
    core::check_interrupted();

    if (run.attempt_scip) {
      result.attempt = detail::attempt_scip(run.repo_path, run.resolved_language, run.scheme, run.slug, scratch.path());
    }
    core::check_interrupted();

    run_zoekt_build(run, result, listing, pinned_name.get(), diagnostics);

    if (sem_work) {
      if (capture.error) {
        try {
          std::rethrow_exception(capture.error);
        } catch (const std::exception& error) {
          diagnostics.line("warning: semantic indexing failed (index still published): " + message_of(error));
        }
      } else {
        result.semantic_ok = detail::finish_semantic_stage(*sem_work, capture.prepared, pool, diagnostics);
      }
    }

    declstore::validate_sources(run.repo_path, manifest, 0, &captured);
    core::check_interrupted();
  };

  declstore::BuildOptions build_options;
  build_options.alongside = stages_after_build;
  if (sem_work) {
    for (const std::string& path : semantic::semantic_parse_paths(*sem_work)) build_options.parse_for.insert(path);
    build_options.on_parsed = [&capture](const declstore::CapturedFile& captured, std::string_view data,
                                         const syntax::ParseTree& tree) { capture.collect(captured, data, tree); };
  }
  {
    // When reading the previous snapshot fails, the run builds again without it:
    // a damaged snapshot costs one full build, never the run. The callback still
    // sees each file once.
    if (connection.is_open()) build_options.previous = &connection;
    if (previous_check) build_options.previous_check = &*previous_check;
    if (previous_layout) build_options.previous_layout = &*previous_layout;
    if (previous_copy) build_options.previous_copy = &*previous_copy;
    std::unordered_set<std::string> delivered;
    if (build_options.on_parsed) {
      build_options.on_parsed = [&delivered, chunk = build_options.on_parsed](
                                    const declstore::CapturedFile& captured, std::string_view data,
                                    const syntax::ParseTree& tree) {
        if (delivered.insert(captured.file_path).second) chunk(captured, data, tree);
      };
    }
    declstore::SyntaxBuildReport report = core::with_closing(connection, [&] {
      try {
        return declstore::build_declstore(syntax_db, manifest, pool, build_options);
      } catch (const declstore::PreviousSnapshotError& error) {
        diagnostics.line("warning: " + run.slug + ": the previous snapshot " + previous->database.string() +
             " cannot be read (" + message_of(error) + "); rebuilding every file from scratch");
      }
      connection.close();
      build_options.previous = nullptr;
      build_options.previous_check = nullptr;
      build_options.previous_layout = nullptr;
      build_options.previous_copy = nullptr;
      return declstore::build_declstore(syntax_db, manifest, pool, build_options);
    });
    previous_check.reset();  // a check the build did not wait for stops here
    previous_layout.reset();
    previous_copy.reset();  // a copy the build did not take is removed here
    result.syntax_gap = report.counts.failed != 0 || report.counts.partial != 0 || report.counts.skipped != 0;
  }
  start_writeback(writeback_rest);
  stages_after_build();

  finalize_and_publish(run, result, manifest, captured, syntax_db);
  scratch.remove();
}

// --- outcome ---

std::optional<platform::ScipStageFields> stage_record(const RunSetup& run, const RunResult& result) {
  if (!result.attempt) {
    if (!run.scip_enabled) return platform::ScipStageFields{.state = platform::ScipState::DISABLED};
    if (!run.scip_supported) return platform::ScipStageFields{.state = platform::ScipState::UNSUPPORTED};
    return std::nullopt;  // suppressed: the stored failure and its commit stay
  }
  if (result.attempt->state == platform::ScipState::AVAILABLE) {
    return platform::ScipStageFields{.state = platform::ScipState::AVAILABLE};
  }
  return platform::ScipStageFields{.state = result.attempt->state,
                                   .failure_reason = result.attempt->reason,
                                   .failure_stderr = result.attempt->stderr,
                                   .failed_at_sha = run.sha};
}

bool attempt_failed(const RunResult& result) {
  return result.attempt && (result.attempt->state == platform::ScipState::FAILED ||
                            result.attempt->state == platform::ScipState::UNAVAILABLE);
}

platform::RepoStatus final_status(const RunSetup& run, const RunResult& result) {
  if (attempt_failed(result)) return platform::RepoStatus::DEGRADED;
  if (run.suppressed) return platform::RepoStatus::DEGRADED;
  if (result.syntax_gap) return platform::RepoStatus::PARTIAL;
  if (result.attempt && !result.has_nav) return platform::RepoStatus::PARTIAL;
  return platform::RepoStatus::INDEXED;
}

std::optional<std::string> degraded_reason(const RunSetup& run, const RunResult& result,
                                           platform::RepoStatus status) {
  if (status != platform::RepoStatus::DEGRADED) return std::nullopt;
  if (result.attempt) return result.attempt->reason;
  if (run.existing) return run.existing->scip_failure_reason;
  return std::nullopt;
}

void report_scip_notes(const RunSetup& run, const RunResult& result, core::Diagnostics& diagnostics) {
  auto or_none = [](const std::optional<std::string>& value) { return value.value_or("None"); };
  if (run.existing && run.suppressed) {
    const std::optional<platform::ScipState>& stored = run.existing->scip_state;
    const std::string stored_state = stored ? std::string(platform::scip_state_text(*stored)) : "None";
    diagnostics.line("note: " + run.slug + ": SCIP skipped — the previous attempt (" + stored_state +
         ") failed at this commit (" + or_none(run.existing->scip_failure_reason) +
         "). Syntax and search were refreshed; force a SCIP retry with: kolvex index " + run.repo_path.string() +
         " --scip");
  } else if (result.attempt && result.attempt->state != platform::ScipState::AVAILABLE) {
    diagnostics.line("warning: " + run.slug + ": SCIP enrichment " +
                     std::string(platform::scip_state_text(result.attempt->state)) + " — " +
         or_none(result.attempt->reason) +
         ". The syntax baseline and search were still published (exit-0 degraded).");
  }
  if (result.attempt && result.attempt->state == platform::ScipState::AVAILABLE && !result.has_nav) {
    diagnostics.line("warning: " + run.slug +
                     " published with symbols but no navigable positions (chunks/mentions empty) — per-file navigation will "
         "return no results. Check that the indexer emits occurrence ranges and that scip is >= v0.9.0.");
  }
}

void record_outcome(const RunSetup& run, const RunResult& result, platform::Registry& registry,
                    core::Diagnostics& diagnostics) {
  const platform::RepoStatus status = final_status(run, result);
  registry.upsert(run.slug, run.repo_path.string(), run.resolved_language, run.sha, status,
                  {.scheme_override = run.scheme,
                   .semantic_include = run.semantic_include,
                   .language_override = run.language_override,
                   .scip_enabled = run.scip_enabled,
                   .status_reason = degraded_reason(run, result, status),
                   .scip_stage = stage_record(run, result)});
  registry.mark_tracked_files(run.slug, result.tracked);
  if (result.semantic_ok) registry.mark_semantic_indexed(run.slug);
  report_scip_notes(run, result, diagnostics);
}

[[noreturn]] void fail_run(const RunSetup& run, const RunResult& result, platform::Registry& registry,
                           const std::exception& error, core::Diagnostics& diagnostics) {
  std::string text = message_of(error);
  std::string first = reason_of(error);
  if (!result.published) {
    detail::record_failure_best_effort(registry, run.slug, run.repo_path, run.resolved_language, first, text,
                                       diagnostics);
    throw IndexingError(text, std::current_exception());
  }
  std::string reason = first + " — the navigation snapshot is already live (" + result.versioned_name +
                       "); recording its registry state failed";
  detail::record_failure_best_effort(registry, run.slug, run.repo_path, run.resolved_language, reason, text,
                                     diagnostics);
  throw IndexingError(reason, std::current_exception());
}

}  // namespace

namespace detail {

void record_failure_best_effort(platform::Registry& registry, std::string_view slug,
                                const std::filesystem::path& repo_path, std::string_view language,
                                std::string_view reason, std::string_view text, core::Diagnostics& diagnostics) {
  try {
    registry.record_failure(slug, repo_path.string(), language, platform::ORIGIN_FAILED_HARD, reason, text);
  } catch (const std::exception& error) {
    diagnostics.line("warning: recording the failed run for " + std::string(slug) + " also failed — " + reason_of(error) +
         "; the original failure (" + std::string(reason) +
         ") is still raised and reported, but the registry row was not updated.");
  }
}

std::optional<std::string> read_zoekt_repo_name(const std::filesystem::path& repo_path) {
  const core::ProcessResult pinned = core::run_process(
      {"git", "-C", repo_path.string(), "config", "--local", "--get", "zoekt.name"}, {.cwd = repo_path});
  if (!pinned.ok()) return std::nullopt;
  const std::string value = decode_output(pinned.stdout_bytes);
  return std::string(core::strip(value));
}

void pin_zoekt_repo_name(const std::filesystem::path& repo_path, std::string_view slug,
                         const std::optional<std::string>& pinned) {
  // Writing the repository's configuration takes git's lock on it
  // (.git/config.lock); a git killed while it holds that lock leaves it behind
  // and every later write of the configuration fails, kolvex's and the user's
  // alike. So the value is written only when it differs, and the write is left
  // to finish even when kolvex is killed meanwhile.
  if (pinned == slug) return;
  run({"git", "-C", repo_path.string(), "config", "zoekt.name", std::string(slug)}, repo_path,
      "git config zoekt.name", {}, /*finishes_if_orphaned=*/true);
}

}  // namespace detail

std::string index_repo(const std::filesystem::path& repo_path, const IndexOptions& options,
                       core::Diagnostics& diagnostics) {
  std::optional<platform::Registry> registry;
  std::optional<RunLock> lock;
  RunSetup run = set_up(repo_path, options, registry, lock, diagnostics);

  RunResult result;
  try {
    build_and_publish(run, result, diagnostics);
    record_outcome(run, result, *registry, diagnostics);
  } catch (const std::exception& error) {
    fail_run(run, result, *registry, error, diagnostics);
  }

  // Superseded generations go only once the new state is recorded: a run that
  // dies or fails between the pointer swap and the final registry write leaves
  // them in place, and the next successful run retires them.
  try {
    detail::retire_superseded_snapshots(run.slug, run.root, result.versioned_name);
  } catch (const std::exception& error) {
    diagnostics.line("warning: retiring superseded snapshots for " + run.slug + " failed — " + message_of(error) +
         ". The new snapshot is live and recorded; the next successful index cleans them up.");
  }
  registry->close();
  return run.slug;
}

}  // namespace kolvex::pipeline
