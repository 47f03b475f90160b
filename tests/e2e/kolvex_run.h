// Running the real `kolvex` program in whole-command tests: an environment
// isolated from the machine's, the program's argument list, the registry row a
// run left behind, and the line a run without the semantic components writes.
// The program's path comes from the KOLVEX_BINARY definition of the test target.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/process.h"
#include "platform/registry.h"
#include "testkit/fake_program.h"

namespace kolvex::e2e {

// The variables kolvex reads of its own; a test sets the ones it needs.
inline const char* const KOLVEX_VARIABLES[] = {
    "KOLVEX_FALLBACK_SEARCH_ONLY",  "KOLVEX_EMBEDDING_MODEL",       "KOLVEX_EMBEDDING_BATCH_SIZE",
    "KOLVEX_EMBEDDING_QUERY_PREFIX", "KOLVEX_EMBEDDING_DOC_PREFIX", "KOLVEX_GRAMMAR_DIR"};

// The one line a run without the semantic components writes before its build.
inline constexpr const char* SEMANTIC_SKIPPED =
    "semantic indexing skipped — install kolvex-mcp[semantic] (uv tool install), or `uv sync --extra semantic` in "
    "a source checkout\n";

// Private data and temporary directories, `path_value` as PATH, and none of
// kolvex's own variables inherited from the machine.
inline testkit::EnvOverlay isolated_environment(const std::filesystem::path& home, const std::filesystem::path& tmp,
                                                const std::string& path_value) {
  testkit::EnvOverlay env = {{"XDG_DATA_HOME", home.string()}, {"TMPDIR", tmp.string()}, {"PATH", path_value}};
  for (const char* name : KOLVEX_VARIABLES) env[name] = std::nullopt;
  return env;
}

// The program's argument list: the kolvex binary, then `args`.
inline std::vector<std::string> kolvex_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {KOLVEX_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// Runs kolvex with exactly the given environment overlay, in `cwd`, and waits.
inline core::ProcessResult run_kolvex(const std::vector<std::string>& args, const testkit::EnvOverlay& env,
                                      const std::filesystem::path& cwd) {
  core::ProcessOptions options;
  options.env = env;
  options.cwd = cwd;
  return core::run_process(kolvex_command(args), options);
}

// The registry row of `slug` in the data directory `data_root`.
inline std::optional<platform::RegisteredRepo> registry_row(const std::filesystem::path& data_root,
                                                            const std::string& slug) {
  platform::Registry registry(data_root / "registry.db");
  std::optional<platform::RegisteredRepo> found = registry.get(slug);
  registry.close();
  return found;
}

}  // namespace kolvex::e2e
