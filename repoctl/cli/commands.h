// The handlers of the `kolvex` subcommands. Each takes the parsed Namespace and
// returns the exit status: 0 for success, 1 after its own "error: " line.
//
// The index handler's install offer for semantic search support is built from
// three replaceable steps (component probe, terminal check, installer) and reads
// the answer from a replaceable input, so that tests can drive it.
//
// Handlers run on the main thread and write to standard output and error.
#pragma once

#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <string>

#include "core/diagnostics.h"
#include "repoctl/cli/parser.h"

namespace kolvex::cli {

inline constexpr std::string_view INSTALL_PROMPT = "Install semantic search support for this repo? [y/N] ";
inline constexpr std::string_view SEMANTIC_PACKAGE = "kolvex-mcp[semantic]";
inline constexpr int INSTALL_TIMEOUT_SECONDS = 600;

// The replaceable steps of the install offer.
struct OfferSteps {
  std::function<bool()> semantic_extra_missing;
  std::function<bool()> at_interactive_tty;
  std::function<bool()> install_semantic_extra;
  // The answer to the prompt; none for end of input, an interruption or
  // undecodable input (all taken as the empty answer).
  std::function<std::optional<std::string>()> read_answer;
};

// The real steps: the semantic components' presence, isatty on standard input and
// output, `uv pip install`, and one line read from standard input.
OfferSteps default_offer_steps();

// The executable that runs this program (its `--python` value for the installer).
std::string runtime_executable();

int cmd_index(const Namespace& args, const OfferSteps& steps);
int cmd_index(const Namespace& args);
int cmd_reindex(const Namespace& args);
int cmd_list(const Namespace& args);
int cmd_status(const Namespace& args);
int cmd_forget(const Namespace& args);
int cmd_watch(const Namespace& args);

namespace detail {
// Removes the zoekt.name pin from the repository's git configuration; git's exit
// status is ignored (the key may be absent, the repository gone).
void unpin_zoekt_repo_name(const std::string& path);
// Deletes the slug's Zoekt shards ("<slug>_v<N>.<NNNNN>.zoekt", the slug matched
// literally) in data_dir(root)/.zoekt, in name order; returns the paths deleted.
std::vector<std::filesystem::path> remove_zoekt_shards(std::string_view slug,
                                                       const std::optional<std::filesystem::path>& root);
// Flushes standard output and throws core::OsError when a write to it failed
// (a full disk, a closed pipe): a report that never arrived must not exit 0.
void flush_stdout();
// The sink that writes the notes and warnings of the commands' library calls to
// standard error, one line each.
core::Diagnostics& standard_error();
}  // namespace detail

// The handlers bound to the parser tree.
Handlers default_handlers();

// The program: everything `kolvex` does for `args` (without the program name)
// short of ending the process; returns the exit status.
int kolvex_main(const std::vector<std::string>& args);

}  // namespace kolvex::cli
