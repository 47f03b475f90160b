#include "repoctl/pipeline/scip_attempt.h"

#include <array>
#include <cstdlib>
#include <system_error>

#include "core/fs.h"
#include "core/json.h"
#include "core/process.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"
#include "repoctl/pipeline/scip_indexers.h"
#include "repoctl/pipeline/scip_version.h"

namespace kolvex::pipeline {

using platform::ScipState;

namespace {

constexpr std::string_view NO_DOCUMENTS_MESSAGE =
    "scip expt-convert produced no SCIP documents table — the indexer output was empty or invalid";

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Why the converted database cannot be used, or none when it has every table.
std::optional<std::string> converted_database_problem(const std::filesystem::path& db_path) {
  std::error_code ec;
  if (!std::filesystem::exists(db_path, ec)) return std::string(NO_DOCUMENTS_MESSAGE);
  try {
    core::Connection conn = core::Connection::open(db_path, core::OpenOptions{.read_only = true});
    for (std::string_view table : CONVERTER_TABLES) {
      core::Statement statement =
          conn.prepare("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name=?");
      statement.bind(1, table);
      if (!statement.step() || statement.column_int(0) == 0) {
        conn.close();
        return "scip expt-convert produced no SCIP " + std::string(table) +
               " table — the indexer output was empty or invalid";
      }
    }
    conn.close();
  } catch (const core::SqliteError& error) {
    return "scip expt-convert produced no readable SQLite database (" + error.message() +
           ") — the indexer output was empty or invalid";
  }
  return std::nullopt;
}

constexpr std::string_view TSCONFIG_NAME = "tsconfig.json";
// Where TypeScript looks for type packages below a directory.
constexpr std::string_view TYPE_ROOT = "node_modules/@types";
// The package directories a tsconfig.json beside the sources leaves out by default.
constexpr std::array<std::string_view, 3> PACKAGE_DIRECTORIES = {"node_modules", "bower_components",
                                                                 "jspm_packages"};

}  // namespace

namespace detail {

std::string standin_tsconfig(const std::filesystem::path& repo_root) {
  const std::string root = repo_root.string();
  std::vector<std::string> type_roots;
  for (std::filesystem::path dir = repo_root;; dir = dir.parent_path()) {
    type_roots.push_back(core::json_string((dir / TYPE_ROOT).string()));
    if (dir == dir.parent_path()) break;
  }
  std::vector<std::string> excluded;
  for (std::string_view name : PACKAGE_DIRECTORIES) excluded.push_back(core::json_string(root + "/" + std::string(name)));
  return "{\"compilerOptions\": {\"typeRoots\": [" + core::join(type_roots, ", ") + "]},\n \"include\": [" +
         core::json_string(root + "/**/*") + "],\n \"exclude\": [" + core::join(excluded, ", ") + "]}\n";
}

std::vector<std::string> typescript_project_arguments(const std::filesystem::path& repo_path,
                                                      const std::filesystem::path& scratch) {
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(repo_path / TSCONFIG_NAME, error))) return {};
  // The indexer runs in the repository and names documents relative to its
  // working directory, which the system reports with every link resolved.
  const std::filesystem::path root = std::filesystem::weakly_canonical(std::filesystem::absolute(repo_path));
  if (!core::is_valid_utf8(root.native())) {
    throw core::ValueError("the repository path " + core::quote(root.native()) + " is not UTF-8");
  }
  const std::filesystem::path project = scratch / TSCONFIG_NAME;
  core::write_file(project, standin_tsconfig(root));
  return {project.string()};
}

bool prefers_xcodebuild(const std::filesystem::path& repo_path) {
  for (std::string_view suffix : {".xcodeproj", ".xcworkspace"}) {
    for (const auto& entry : std::filesystem::directory_iterator(repo_path)) {
      if (core::ends_with(entry.path().filename().string(), suffix)) return true;
    }
  }
  return false;
}

Command swift_indexer_cmd(const Command& base_cmd, const std::filesystem::path& repo_path,
                          const std::optional<std::string>& scheme, const std::filesystem::path& cache_dir) {
  Command cmd = base_cmd;
  if (prefers_xcodebuild(repo_path)) {
    cmd.insert(cmd.end(), {"--build-tool", "xcodebuild"});
    if (scheme && !scheme->empty()) cmd.insert(cmd.end(), {"--scheme", *scheme});
  }
  cmd.insert(cmd.end(), {"--cache-dir", cache_dir.string()});
  return cmd;
}

EnvOverrides java_indexer_env() {
  EnvOverrides env;
  env["GRADLE_OPTS"] = std::string(core::strip(env_or_empty("GRADLE_OPTS") + " -Dorg.gradle.parallel=false"));
  std::filesystem::path shims = platform::shim_dir();
  if (std::filesystem::exists(shims / "bash")) {
    // An empty element would put the current directory (the repository being
    // indexed) on the search path, so none is added when PATH is unset or empty.
    std::string path = env_or_empty("PATH");
    env["PATH"] = path.empty() ? shims.string() : shims.string() + ":" + path;
  }
  return env;
}

ScipAttempt attempt_from_text(std::string_view text, ScipState state,
                              const std::optional<std::string>& fallback_reason) {
  std::optional<std::string> reason = core::first_non_blank_line(text);
  if (!reason) {
    reason = (fallback_reason && !fallback_reason->empty()) ? *fallback_reason
                                                            : std::string(platform::scip_state_text(state));
  }
  return ScipAttempt{state, std::move(reason), std::string(text), std::nullopt};
}

ScipAttempt attempt_from_exception(const core::Error& error, ScipState state) {
  return attempt_from_text(error.message(), state, std::string(error.type_name()));
}

bool bash_shim_failure(std::string_view output) {
  for (std::string_view token : BASH_SHIM_TOKENS) {
    if (output.find(token) == std::string_view::npos) return false;
  }
  return true;
}

ScipAttempt attempt_scip(const std::filesystem::path& repo_path, std::string_view language,
                         const std::optional<std::string>& scheme, std::string_view slug,
                         const std::filesystem::path& scratch) {
  // A tool that exists but cannot be started at all counts as missing.
  try {
    check_scip_version();
    if (language == "swift") check_scip_swift_version();
  } catch (const IndexingError& error) {
    return attempt_from_exception(error, ScipState::UNAVAILABLE);
  } catch (const core::ProcessStartError& error) {
    return attempt_from_exception(error, ScipState::UNAVAILABLE);
  }

  const Command* base = indexer_for(language);
  if (!base) throw core::ValueError("no SCIP indexer for language " + core::quote(language));
  Command indexer = *base;
  if (language == "swift") {
    indexer = swift_indexer_cmd(indexer, repo_path, scheme, platform::swift_cache_dir(slug));
  }
  std::filesystem::path index_path = scratch / "index.scip";
  std::filesystem::path db_path = scratch / "index.db";

  try {
    Command index_cmd = indexer;
    if (language == "typescript") {
      std::vector<std::string> project;
      try {
        project = typescript_project_arguments(repo_path, scratch);
      } catch (const core::ValueError& error) {
        return attempt_from_text("no project file for scip-typescript: " + error.message(), ScipState::FAILED);
      }
      index_cmd.insert(index_cmd.end(), project.begin(), project.end());
    }
    index_cmd.insert(index_cmd.end(), {"--output", index_path.string()});
    run(index_cmd, repo_path, indexer.at(0) + " index", language == "java" ? java_indexer_env() : EnvOverrides{});
    run({"scip", "expt-convert", "--output", db_path.string(), index_path.string()}, repo_path,
        "scip expt-convert");
  } catch (const MissingBinaryError& error) {
    return attempt_from_exception(error, ScipState::UNAVAILABLE);
  } catch (const IndexingError& error) {
    const std::string& text = error.message();
    if (language == "java" && bash_shim_failure(text)) {
      return attempt_from_text(std::string(BASH_SHIM_REMEDY) + "\n\n" + text, ScipState::FAILED);
    }
    ScipAttempt attempt = attempt_from_text(text, ScipState::FAILED);
    if (const auto* not_started = dynamic_cast<const ToolNotStartedError*>(&error)) {
      // The runner's first line ends on its colon: say what kept the tool from starting.
      attempt.reason = *attempt.reason + " " + not_started->start_problem();
    }
    return attempt;
  } catch (const core::ProcessStartError& error) {
    return attempt_from_exception(error, ScipState::UNAVAILABLE);
  }

  if (std::optional<std::string> problem = converted_database_problem(db_path)) {
    return attempt_from_text(*problem, ScipState::FAILED);
  }
  return ScipAttempt{ScipState::AVAILABLE, std::nullopt, std::nullopt, db_path};
}

}  // namespace detail
}  // namespace kolvex::pipeline
