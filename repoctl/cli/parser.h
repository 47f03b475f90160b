// The `kolvex` command line: the parser tree of the six subcommands, the parsed
// record handed to a handler, the removed options and the removed environment
// variable, and `main`, which ends the process with the handler's status.
//
// Single-threaded: one invocation handles one subcommand.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repoctl/cli/argparse.h"

namespace kolvex::cli {

struct Namespace;
using Handler = std::function<int(const Namespace&)>;

// The parsed arguments. A field the chosen subcommand does not define is unset.
struct Namespace {
  std::string command;
  Handler func;
  std::optional<std::string> path;
  std::optional<std::string> slug;
  std::optional<std::string> scheme;
  std::optional<std::vector<std::string>> semantic_include;
  std::optional<std::string> language;
  std::optional<bool> scip;
  std::optional<double> debounce;
  std::optional<bool> offer_semantic;
};

// Removed long options and the hint that replaces each, in this order.
inline constexpr std::pair<std::string_view, std::string_view> REMOVED_OPTIONS[] = {
    {"--search-only", "--no-scip (the syntax baseline is always indexed; SCIP is optional enrichment)"},
    {"--fallback-search-only", "--scip (SCIP failures degrade to exit-0 degraded automatically)"},
    {"--no-fallback-search-only", "--scip (SCIP retries automatically on the next explicit run)"},
};
inline constexpr std::string_view REMOVED_ENV = "KOLVEX_FALLBACK_SEARCH_ONLY";
inline constexpr double DEFAULT_DEBOUNCE = 5.0;

// The handlers of the six subcommands, as the parser tree binds them.
struct Handlers {
  Handler index, list, status, reindex, forget, watch;
};

// The parser tree; `language_choices` are the sorted languages with a SCIP indexer.
argparse::Program build_parser(const std::vector<std::string>& language_choices);

// The removed option of the first element that names one (the text before its first
// "=" compared whole), with its hint; none when no element does.
std::optional<std::pair<std::string_view, std::string_view>> find_removed_option(
    const std::vector<std::string>& args);

// The line written for the removed environment variable, or none when it is unset.
std::optional<std::string> removed_env_note();

// Parses `args` (without the program name) into a Namespace. Throws
// argparse::ParseExit for help requests and usage errors.
Namespace parse_args(const std::vector<std::string>& args, const Handlers& handlers,
                     const std::vector<std::string>& language_choices);

// Everything `main` does short of ending the process: returns the exit status.
// Writes to the given streams (standard output and error in the program).
int run_main(const std::vector<std::string>& args, const Handlers& handlers,
             const std::vector<std::string>& language_choices);

}  // namespace kolvex::cli
