// The command-line parser: removed options, the removed environment variable,
// the parsed records of every subcommand, usage errors and help.
#include "repoctl/cli/parser.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kolvex::cli {
namespace {

const std::vector<std::string> LANGUAGES = {"java", "python", "swift", "typescript"};

Handlers recording_handlers(std::string& called) {
  auto make = [&called](const char* name) {
    return [&called, name](const Namespace&) {
      called = name;
      return 0;
    };
  };
  return {make("index"), make("list"), make("status"), make("reindex"), make("forget"), make("watch")};
}

Namespace parse(const std::vector<std::string>& args) {
  std::string called;
  return parse_args(args, recording_handlers(called), LANGUAGES);
}

argparse::ParseExit parse_failure(const std::vector<std::string>& args) {
  try {
    parse(args);
  } catch (const argparse::ParseExit& exit) {
    return exit;
  }
  ADD_FAILURE() << "parse succeeded";
  return {-1, ""};
}

TEST(RemovedOptions, FirstElementNamingOneWins) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> option;
  };
  const Case cases[] = {
      {{"index", ".", "--search-only"}, "--search-only"},
      {{"--search-only"}, "--search-only"},
      {{"index", ".", "--slug", "--fallback-search-only"}, "--fallback-search-only"},
      {{"index", ".", "--slug=--fallback-search-only"}, std::nullopt},
      {{"index", "--no-fallback-search-only=1"}, "--no-fallback-search-only"},
      {{"--fallback-search-only", "--search-only"}, "--fallback-search-only"},
      {{"index", "--", "--search-only=x"}, "--search-only"},
      {{"index", "--search"}, std::nullopt},
      {{"index", "--SEARCH-ONLY"}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto found = find_removed_option(c.args);
    ASSERT_EQ(found.has_value(), c.option.has_value()) << c.args.back();
    if (found) {
      EXPECT_EQ(found->first, *c.option);
    }
  }
  auto hint = find_removed_option({"--no-fallback-search-only=x"});
  EXPECT_EQ(hint->second, "--scip (SCIP retries automatically on the next explicit run)");
}

TEST(RemovedOptions, RunMainReportsTheLineAndStatusTwoBeforeTheNote) {
  setenv("KOLVEX_FALLBACK_SEARCH_ONLY", "", 1);
  std::string called;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  int status = run_main({"index", ".", "--search-only"}, recording_handlers(called), LANGUAGES);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("KOLVEX_FALLBACK_SEARCH_ONLY");
  EXPECT_EQ(status, 2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err,
            "error: --search-only was removed — use --no-scip (the syntax baseline is always indexed; SCIP is "
            "optional enrichment)\n");
  EXPECT_EQ(called, "");
}

TEST(RemovedEnvironment, EmptyValueStillGivesTheNoteThenTheCommandRuns) {
  std::string called;
  setenv("KOLVEX_FALLBACK_SEARCH_ONLY", "", 1);
  testing::internal::CaptureStderr();
  int status = run_main({"list"}, recording_handlers(called), LANGUAGES);
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("KOLVEX_FALLBACK_SEARCH_ONLY");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(called, "list");
  EXPECT_EQ(err,
            "note: KOLVEX_FALLBACK_SEARCH_ONLY is no longer read — use --scip/--no-scip (persisted per repo) "
            "instead\n");

  testing::internal::CaptureStderr();
  run_main({"list"}, recording_handlers(called), LANGUAGES);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Parse, IndexWithOnlyAPathLeavesChoicesUnset) {
  Namespace ns = parse({"index", "repo"});
  EXPECT_EQ(ns.command, "index");
  EXPECT_EQ(ns.path, "repo");
  EXPECT_FALSE(ns.slug);
  EXPECT_FALSE(ns.semantic_include);
  EXPECT_FALSE(ns.scheme);
  EXPECT_FALSE(ns.language);
  EXPECT_FALSE(ns.scip);
  EXPECT_EQ(ns.offer_semantic, true);
  EXPECT_FALSE(ns.debounce);
  ASSERT_TRUE(ns.func);
}

TEST(Parse, OptionsOfIndexAndWatch) {
  Namespace ns = parse({"index", "--semantic-include", "a", "r", "--semantic-include=b/c", "--slug=My Repo",
                        "--scheme", "App", "--language", "swift", "--scip", "--no-scip"});
  EXPECT_EQ(ns.path, "r");
  EXPECT_EQ(ns.semantic_include, (std::vector<std::string>{"a", "b/c"}));
  EXPECT_EQ(ns.slug, "My Repo");
  EXPECT_EQ(ns.scheme, "App");
  EXPECT_EQ(ns.language, "swift");
  EXPECT_EQ(ns.scip, false);
  EXPECT_EQ(parse({"index", "r", "--no-scip", "--scip"}).scip, true);

  Namespace watch = parse({"watch", "r"});
  EXPECT_EQ(watch.debounce, 5.0);
  EXPECT_FALSE(watch.offer_semantic);
  EXPECT_EQ(parse({"watch", "r", "--debounce", "0.25"}).debounce, 0.25);
  EXPECT_EQ(parse({"watch", "r", "--debounce=0"}).debounce, 0.0);

  Namespace reindex = parse({"reindex", "api", "--scip"});
  EXPECT_EQ(reindex.slug, "api");
  EXPECT_EQ(reindex.scip, true);
  EXPECT_FALSE(reindex.offer_semantic);
  EXPECT_EQ(parse({"status", "api"}).slug, "api");
  EXPECT_EQ(parse({"forget", "api"}).command, "forget");
}

TEST(Parse, UsageErrorsExitTwoWithTheParsersMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string message_line;
  };
  const Case cases[] = {
      {{}, "kolvex: error: the following arguments are required: command"},
      {{"bogus"},
       "kolvex: error: argument command: invalid choice: 'bogus' (choose from 'index', 'list', 'status', "
       "'reindex', 'forget', 'watch')"},
      {{"index"}, "kolvex index: error: the following arguments are required: path"},
      {{"index", "r", "--language", "kotlin"},
       "kolvex index: error: argument --language: invalid choice: 'kotlin' (choose from 'java', 'python', "
       "'swift', 'typescript')"},
      {{"watch", "r", "--debounce", "soon"}, "kolvex watch: error: argument --debounce: invalid float value: 'soon'"},
      {{"watch", "r", "--debounce", "nan"}, "kolvex watch: error: argument --debounce: invalid float value: 'nan'"},
      {{"watch", "r", "--debounce", "-1"}, "kolvex watch: error: argument --debounce: invalid float value: '-1'"},
      {{"watch", "r", "--debounce=inf"}, "kolvex watch: error: argument --debounce: invalid float value: 'inf'"},
      {{"watch", "r", "--semantic-include", "a"}, "kolvex: error: unrecognized arguments: --semantic-include a"},
      {{"index", "r", "--slug"}, "kolvex index: error: argument --slug: expected one argument"},
      {{"list", "extra"}, "kolvex: error: unrecognized arguments: extra"},
      {{"status"}, "kolvex status: error: the following arguments are required: slug"},
  };
  for (const auto& c : cases) {
    argparse::ParseExit exit = parse_failure(c.args);
    EXPECT_EQ(exit.status, 2);
    ASSERT_TRUE(exit.text.starts_with("usage: kolvex")) << exit.text;
    std::string last_line = exit.text.substr(exit.text.rfind('\n', exit.text.size() - 2) + 1);
    EXPECT_EQ(last_line, c.message_line + "\n");
  }
}

// --debounce reads its value as Python's float() does, then takes only a
// finite number that is not negative.
TEST(Parse, DebounceReadsNumbersAsPythonsFloat) {
  const std::pair<std::string, double> accepted[] = {
      {"1_000", 1000.0}, {" 1.5 ", 1.5}, {"1e3", 1000.0}, {"2.", 2.0}, {".5", 0.5},
      {"+3", 3.0},       {"0", 0.0},     {"-0", 0.0},     {"\u0662", 2.0},
  };
  for (const auto& [text, value] : accepted) {
    EXPECT_EQ(parse({"watch", "r", "--debounce", text}).debounce, value) << text;
    EXPECT_EQ(parse({"watch", "r", "--debounce=" + text}).debounce, value) << text;
  }
  for (const char* text : {"0x10", "1__000", "1_", "_1", "1e", "1 0", "Infinity", "-INF", "NaN", "1e400", "-0.5",
                           "", "0b1", "1f"}) {
    argparse::ParseExit exit = parse_failure({"watch", "r", std::string("--debounce=") + text});
    EXPECT_EQ(exit.status, 2) << text;
    EXPECT_TRUE(exit.text.ends_with("kolvex watch: error: argument --debounce: invalid float value: '" +
                                    std::string(text) + "'\n"))
        << exit.text;
  }
}

TEST(Parse, HelpAtEveryLevelExitsZero) {
  argparse::ParseExit top = parse_failure({"--help"});
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.text.find("    reindex             re-run indexing for a registered repo\n"), std::string::npos)
      << top.text;
  for (const char* sub : {"index", "list", "status", "reindex", "forget", "watch"}) {
    argparse::ParseExit exit = parse_failure({sub, "-h"});
    EXPECT_EQ(exit.status, 0) << sub;
    EXPECT_TRUE(exit.text.starts_with(std::string("usage: kolvex ") + sub)) << exit.text;
  }
  argparse::ParseExit index = parse_failure({"index", "-h"});
  EXPECT_NE(index.text.find("--semantic-include PATH"), std::string::npos) << index.text;
  EXPECT_NE(index.text.find("[--scip | --no-scip]"), std::string::npos) << index.text;
  EXPECT_NE(index.text.find("{java,python,swift,typescript}"), std::string::npos) << index.text;
  EXPECT_NE(index.text.find("path to the repo to index"), std::string::npos);
  argparse::ParseExit watch = parse_failure({"watch", "--help"});
  EXPECT_NE(watch.text.find("quiet-period seconds (default: 5.0)"), std::string::npos) << watch.text;
}

// The --scip / --no-scip pair is one entry of the help, its text shown once.
TEST(Parse, ScipPairHasOneHelpEntry) {
  const std::string entry =
      "  --scip, --no-scip     attempt SCIP enrichment (default: the persisted\n"
      "                        choice, enabled for a new repo; a failing SCIP attempt\n"
      "                        degrades to exit-0 degraded — the syntax baseline\n"
      "                        always publishes)\n";
  for (const char* sub : {"index", "reindex", "watch"}) {
    const std::string text = parse_failure({sub, "--help"}).text;
    EXPECT_TRUE(text.ends_with(entry)) << text;
    EXPECT_EQ(text.find("attempt SCIP enrichment"), text.rfind("attempt SCIP enrichment")) << text;
    EXPECT_NE(text.find("[--scip | --no-scip]"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace kolvex::cli
