// The `kolvex` program: the parser tree bound to its handlers.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "core/fs.h"
#include "repoctl/cli/commands.h"
#include "repoctl/pipeline/scip_indexers.h"

namespace kolvex::cli {
namespace {

std::vector<std::string> language_choices() {
  std::vector<std::string> languages;
  for (const auto& [language, command] : pipeline::indexer_by_language()) languages.push_back(language);
  std::sort(languages.begin(), languages.end());
  return languages;
}

}  // namespace

namespace detail {

void flush_stdout() {
  errno = 0;
  std::cout.flush();
  if (std::cout) return;
  const int error = errno != 0 ? errno : EIO;
  std::cout.clear();
  throw core::OsError(std::string("failed to write to standard output: ") + std::strerror(error), error);
}

core::Diagnostics& standard_error() {
  static core::StreamDiagnostics sink(std::cerr);
  return sink;
}

}  // namespace detail

Handlers default_handlers() {
  return {
      .index = [](const Namespace& args) { return cmd_index(args); },
      .list = cmd_list,
      .status = cmd_status,
      .reindex = cmd_reindex,
      .forget = cmd_forget,
      .watch = cmd_watch,
  };
}

int kolvex_main(const std::vector<std::string>& args) {
  return run_main(args, default_handlers(), language_choices());
}

}  // namespace kolvex::cli
