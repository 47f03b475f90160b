#include "repoctl/cli/parser.h"

#include <cstdlib>
#include <iostream>

namespace kolvex::cli {
namespace {

using argparse::Action;
using argparse::Argument;
using argparse::Subcommand;

constexpr const char* SCIP_HELP =
    "attempt SCIP enrichment (default: the persisted choice, enabled for a new repo; a failing SCIP "
    "attempt degrades to exit-0 degraded — the syntax baseline always publishes)";
constexpr const char* SLUG_HELP = "override the auto-derived slug";
constexpr const char* SCHEME_HELP =
    "Xcode scheme to build (Swift repos using xcodebuild with more than one scheme)";
constexpr const char* LANGUAGE_HELP =
    "select the SCIP enrichment language instead of detecting it from git-tracked files (never "
    "restricts syntax coverage; persisted and reused by reindex/watch)";

void add_scip_flag(Subcommand& sub) {
  sub.arguments.push_back({.name = "--scip", .dest = "scip", .action = Action::StoreConst, .help = SCIP_HELP,
                           .const_value = true});
  // The help text belongs to the pair and is shown once for both.
  sub.arguments.push_back({.name = "--no-scip", .dest = "scip", .action = Action::StoreConst, .const_value = false});
}

Argument positional(const char* name, const char* help = "") {
  return {.name = name, .dest = name, .action = Action::Positional, .help = help};
}

Argument option(const char* name, const char* dest, const char* help) {
  return {.name = name, .dest = dest, .action = Action::Store, .help = help};
}

Argument language_option(const std::vector<std::string>& choices) {
  return {.name = "--language", .dest = "language", .action = Action::Store, .choices = choices,
          .help = LANGUAGE_HELP};
}

template <typename T>
std::optional<T> value_of(const argparse::Values& values, const std::string& dest) {
  auto found = values.find(dest);
  if (found == values.end()) return std::nullopt;
  if (const T* value = std::get_if<T>(&found->second)) return *value;
  return std::nullopt;
}

}  // namespace

argparse::Program build_parser(const std::vector<std::string>& language_choices) {
  Subcommand index{"index", "index a repo", {}, {{"offer_semantic", true}}};
  index.arguments = {
      positional("path", "path to the repo to index"),
      option("--slug", "slug", SLUG_HELP),
      option("--scheme", "scheme", SCHEME_HELP),
      {.name = "--semantic-include", .dest = "semantic_include", .action = Action::Append, .metavar = "PATH",
       .help = "force-include a path prefix the generated-file filter would skip (repeatable; persisted and "
               "reused by reindex/watch)"},
      language_option(language_choices),
  };
  add_scip_flag(index);

  Subcommand list{"list", "list indexed repos", {}, {}};
  Subcommand status{"status", "show a repo's index status", {positional("slug")}, {}};
  Subcommand reindex{"reindex", "re-run indexing for a registered repo", {positional("slug")}, {}};
  add_scip_flag(reindex);
  Subcommand forget{"forget", "remove a repo's registration and published index", {positional("slug")}, {}};

  Subcommand watch{"watch", "watch a repo and debounce-reindex on change", {}, {{"debounce", DEFAULT_DEBOUNCE}}};
  watch.arguments = {
      positional("path", "path to the repo to watch"),
      option("--slug", "slug", SLUG_HELP),
      option("--scheme", "scheme", SCHEME_HELP),
      {.name = "--debounce", .dest = "debounce", .action = Action::Store, .type = argparse::ValueType::Float,
       .help = "quiet-period seconds (default: 5.0)"},
      language_option(language_choices),
  };
  add_scip_flag(watch);

  return {"kolvex", {index, list, status, reindex, forget, watch}};
}

std::optional<std::pair<std::string_view, std::string_view>> find_removed_option(
    const std::vector<std::string>& args) {
  for (const auto& element : args) {
    std::string_view name(element);
    name = name.substr(0, name.find('='));
    for (const auto& removed : REMOVED_OPTIONS) {
      if (name == removed.first) return removed;
    }
  }
  return std::nullopt;
}

std::optional<std::string> removed_env_note() {
  if (std::getenv(std::string(REMOVED_ENV).c_str()) == nullptr) return std::nullopt;
  return "note: KOLVEX_FALLBACK_SEARCH_ONLY is no longer read — use --scip/--no-scip (persisted per repo) instead";
}

Namespace parse_args(const std::vector<std::string>& args, const Handlers& handlers,
                     const std::vector<std::string>& language_choices) {
  argparse::ParseResult parsed = argparse::parse(build_parser(language_choices), args);
  const argparse::Values& values = parsed.values;
  Namespace ns;
  ns.command = parsed.command;
  const std::pair<const char*, const Handler*> table[] = {
      {"index", &handlers.index},     {"list", &handlers.list},     {"status", &handlers.status},
      {"reindex", &handlers.reindex}, {"forget", &handlers.forget}, {"watch", &handlers.watch},
  };
  for (const auto& [name, handler] : table) {
    if (ns.command == name) ns.func = *handler;
  }
  ns.path = value_of<std::string>(values, "path");
  ns.slug = value_of<std::string>(values, "slug");
  ns.scheme = value_of<std::string>(values, "scheme");
  ns.semantic_include = value_of<std::vector<std::string>>(values, "semantic_include");
  ns.language = value_of<std::string>(values, "language");
  ns.scip = value_of<bool>(values, "scip");
  ns.debounce = value_of<double>(values, "debounce");
  ns.offer_semantic = value_of<bool>(values, "offer_semantic");
  return ns;
}

int run_main(const std::vector<std::string>& args, const Handlers& handlers,
             const std::vector<std::string>& language_choices) {
  if (auto removed = find_removed_option(args)) {
    std::cerr << "error: " << removed->first << " was removed — use " << removed->second << std::endl;
    return 2;
  }
  if (auto note = removed_env_note()) std::cerr << *note << std::endl;
  Namespace ns;
  try {
    ns = parse_args(args, handlers, language_choices);
  } catch (const argparse::ParseExit& exit) {
    (exit.status == 0 ? std::cout : std::cerr) << exit.text << std::flush;
    return exit.status;
  }
  return ns.func(ns);
}

}  // namespace kolvex::cli
