// The `kolvex` program: the parser tree bound to its handlers.
#include <algorithm>
#include <iostream>

#include "repoctl/cli/commands.h"
#include "repoctl/pipeline/errors.h"

namespace kolvex::cli {
namespace {

std::vector<std::string> language_choices() {
  std::vector<std::string> languages;
  for (const auto& [language, command] : pipeline::indexer_by_language()) languages.push_back(language);
  std::sort(languages.begin(), languages.end());
  return languages;
}

}  // namespace

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
