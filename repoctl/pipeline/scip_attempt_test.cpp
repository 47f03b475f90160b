#include "repoctl/pipeline/scip_attempt.h"

#include <cstdlib>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "core/fs.h"
#include "core/json.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"
#include "repoctl/pipeline/errors.h"
#include "repoctl/pipeline/scip_indexers.h"
#include "testkit/fake_program.h"

namespace kolvex::pipeline {
namespace {

namespace fs = std::filesystem;
using testkit::FakeBehaviour;
using testkit::FakeBin;
using testkit::FakeInvocation;
using testkit::FakeProgram;
using testkit::ScopedEnv;
using platform::ScipState;

const std::string LOADER_ERROR =
    "scip: error while loading shared libraries: libkolvex_core.so: cannot open shared object file: No such file or "
    "directory";
const std::string MISSING_INTERPRETER = "/usr/bin/env: 'node': No such file or directory";

const std::string NO_DOCUMENTS =
    "scip expt-convert produced no SCIP documents table — the indexer output was empty or invalid";

// Writes a SQLite database holding `tables` (each with one column).
void make_database(const fs::path& path, const std::vector<std::string_view>& tables) {
  core::Connection conn = core::Connection::open(path);
  for (std::string_view table : tables) conn.exec("CREATE TABLE " + std::string(table) + " (x)");
  conn.close();
}

// The fake `scip` answers "--version" with $KOLVEX_T_SCIP_VERSION and runs the
// snippet $KOLVEX_T_CONVERT for "expt-convert" ("$3" is the database path).
constexpr const char* SCIP_SCRIPT =
    R"(if [[ $1 == --version ]]; then printf '%s\n' "$KOLVEX_T_SCIP_VERSION"; exit 0; fi; eval "$KOLVEX_T_CONVERT")";
constexpr const char* SWIFT_SCRIPT =
    R"(if [[ $1 == --version ]]; then printf '%s\n' "$KOLVEX_T_SWIFT_VERSION"; exit 0; fi)";

struct LanguageCase {
  const char* language;
  const char* program;
  Command base;
};
const std::vector<LanguageCase> LANGUAGES = {
    {"typescript", "scip-typescript", {"scip-typescript", "index"}},
    {"python", "scip-python", {"scip-python", "index"}},
    {"java", "scip-java", {"scip-java", "index"}},
    {"swift", "scip-swift", {"scip-swift"}},
};

class ScipAttemptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(repo_);
    // A TypeScript project of its own: the indexer runs without --infer-tsconfig.
    core::write_file(repo_ / "tsconfig.json", "{\"compilerOptions\": {}}\n");
    make_database(template_db_, converter_tables());
    make_database(no_mentions_db_, {"documents", "chunks", "global_symbols", "defn_enclosing_ranges"});
    for (const LanguageCase& l : LANGUAGES) bin_.install(l.program);
    bin_.install("scip");
    reset_behaviour();
  }

  void TearDown() override {
    while (!behaviours_.empty()) behaviours_.pop_back();
  }

  static std::vector<std::string_view> converter_tables() {
    return {CONVERTER_TABLES.begin(), CONVERTER_TABLES.end()};
  }

  // Every fake back to a working tool chain: current versions, an indexer that
  // writes its output, a converter that writes a complete database.
  void reset_behaviour() {
    while (!behaviours_.empty()) behaviours_.pop_back();  // restores in reverse order
    for (const LanguageCase& l : LANGUAGES) {
      FakeBehaviour b{.create_output = true, .log_env = {"GRADLE_OPTS", "PATH"}};
      if (std::string(l.program) == "scip-swift") b.run = SWIFT_SCRIPT;
      push(bin_.program(l.program).env(b));
    }
    push(bin_.program("scip").env({.run = SCIP_SCRIPT}));
    push(testkit::EnvOverlay{{"KOLVEX_T_SCIP_VERSION", "scip version v0.9.0"},
                                                 {"KOLVEX_T_SWIFT_VERSION", "0.3.0 (swift 6.2.4)"},
                                                 {"KOLVEX_T_CONVERT", "cp '" + template_db_.string() + "' \"$3\""},
                                                 {"KOLVEX_T_LOADER", LOADER_ERROR}});
    for (const LanguageCase& l : LANGUAGES) bin_.program(l.program).clear_log();
    bin_.program("scip").clear_log();
  }

  void push(const testkit::EnvOverlay& overlay) { behaviours_.push_back(std::make_unique<ScopedEnv>(overlay)); }
  void set(const std::string& name, const std::string& value) { push({{name, value}}); }
  void behave(const std::string& program, FakeBehaviour behaviour) { push(bin_.program(program).env(behaviour)); }

  ScipAttempt attempt(const std::string& language, const std::optional<std::string>& scheme = std::nullopt) {
    scratch_ = core::ScratchDir::create("pipeline-attempt-");
    return detail::attempt_scip(repo_, language, scheme, "api", scratch_.path());
  }

  std::vector<FakeInvocation> calls(const std::string& program, std::string_view first_arg = "") {
    std::vector<FakeInvocation> out;
    for (auto& call : bin_.program(program).invocations()) {
      if (first_arg.empty() || (call.argv.size() > 1 && call.argv[1] == first_arg)) out.push_back(call);
    }
    return out;
  }

  FakeBin bin_ = FakeBin::create();
  ScopedEnv path_{bin_.env("/usr/bin:/bin")};
  core::ScratchDir home_ = core::ScratchDir::create("pipeline-home-");
  ScopedEnv xdg_{{{"XDG_DATA_HOME", (home_.path() / "data").string()},
                  {"XDG_CACHE_HOME", (home_.path() / "cache").string()},
                  {"GRADLE_OPTS", std::nullopt}}};
  fs::path repo_ = home_.path() / "repo";
  fs::path template_db_ = home_.path() / "template.db";
  fs::path no_mentions_db_ = home_.path() / "no-mentions.db";
  std::vector<std::unique_ptr<ScopedEnv>> behaviours_;
  core::ScratchDir scratch_ = core::ScratchDir::create("pipeline-attempt-");
};

TEST_F(ScipAttemptTest, OutcomeTableForEveryLanguage) {
  struct Expect {
    ScipState state;
    std::string reason;
    std::optional<std::string> stderr;  // none: same as the reason
    bool indexer_ran;
    bool converter_ran;
  };
  struct Case {
    const char* title;
    std::function<void(const LanguageCase&)> setup;
    std::function<Expect(const LanguageCase&, const fs::path& scratch)> expect;
  };
  auto indexer_line = [](const LanguageCase& l, const fs::path& scratch) {
    Command cmd = l.base;
    if (std::string(l.language) == "swift") {
      cmd.insert(cmd.end(), {"--cache-dir", platform::swift_cache_dir("api").string()});
    }
    cmd.insert(cmd.end(), {"--output", (scratch / "index.scip").string()});
    std::string line = std::string(l.program) + " index failed (";
    for (std::size_t i = 0; i < cmd.size(); ++i) line += (i ? " " : "") + cmd[i];
    return line + "):";
  };
  auto converter_line = [](const fs::path& scratch) {
    return "scip expt-convert failed (scip expt-convert --output " + (scratch / "index.db").string() + " " +
           (scratch / "index.scip").string() + "):";
  };
  const std::vector<Case> cases = {
      {"scip missing", [&](const LanguageCase&) { fs::remove(bin_.dir() / "scip"); },
       [](const LanguageCase&, const fs::path&) {
         return Expect{ScipState::UNAVAILABLE, "scip not found on PATH — run setup.sh", std::nullopt, false, false};
       }},
      {"scip too old", [&](const LanguageCase&) { set("KOLVEX_T_SCIP_VERSION", "scip version v0.8.0"); },
       [](const LanguageCase&, const fs::path&) {
         return Expect{ScipState::UNAVAILABLE,
                       "scip v0.8.0 is too old (need >= v0.9.0): it cannot read scip.proto's typed_range oneof, so "
                       "occurrence positions are dropped and navigation returns empty results. Re-run setup.sh, and "
                       "remove any older scip earlier on PATH.",
                       std::nullopt, false, false};
       }},
      {"indexer missing", [&](const LanguageCase& l) { fs::remove(bin_.dir() / l.program); },
       [](const LanguageCase& l, const fs::path&) {
         if (std::string(l.language) == "swift") {
           return Expect{ScipState::UNAVAILABLE, "scip-swift not found on PATH — run setup.sh", std::nullopt, false,
                         false};
         }
         return Expect{ScipState::UNAVAILABLE,
                       std::string(l.program) + " index failed: " + l.program + " not found on PATH — run setup.sh",
                       std::nullopt, false, false};
       }},
      {"indexer fails",
       [&](const LanguageCase& l) {
         if (std::string(l.language) == "swift") {
           behave(l.program, {.stderr_text = "boom\n", .exit_code = 1, .run = SWIFT_SCRIPT});
         } else {
           behave(l.program, {.stderr_text = "boom\n", .exit_code = 1});
         }
       },
       [&](const LanguageCase& l, const fs::path& scratch) {
         std::string line = indexer_line(l, scratch);
         return Expect{ScipState::FAILED, line, line + "\n\nboom\n", false, false};
       }},
      {"converter fails", [&](const LanguageCase&) { set("KOLVEX_T_CONVERT", "echo 'bad index' >&2; exit 1"); },
       [&](const LanguageCase&, const fs::path& scratch) {
         std::string line = converter_line(scratch);
         return Expect{ScipState::FAILED, line, line + "\n\nbad index\n", true, true};
       }},
      // A tool that never started (the loader's or env's status 127, or 126):
      // the reason names what kept it from starting instead of ending on the colon.
      {"converter misses a shared library",
       [&](const LanguageCase&) { set("KOLVEX_T_CONVERT", "printf '%s\\n' \"$KOLVEX_T_LOADER\" >&2; exit 127"); },
       [&](const LanguageCase&, const fs::path& scratch) {
         std::string line = converter_line(scratch);
         return Expect{ScipState::FAILED, line + " " + LOADER_ERROR, line + "\n\n" + LOADER_ERROR + "\n", true, true};
       }},
      {"indexer misses its interpreter",
       [&](const LanguageCase& l) {
         FakeBehaviour b{.stderr_text = MISSING_INTERPRETER + "\n", .exit_code = 127};
         if (std::string(l.language) == "swift") b.run = SWIFT_SCRIPT;
         behave(l.program, b);
       },
       [&](const LanguageCase& l, const fs::path& scratch) {
         std::string line = indexer_line(l, scratch);
         return Expect{ScipState::FAILED, line + " " + MISSING_INTERPRETER, line + "\n\n" + MISSING_INTERPRETER + "\n",
                       false, false};
       }},
      {"converter not executable, silently", [&](const LanguageCase&) { set("KOLVEX_T_CONVERT", "exit 126"); },
       [&](const LanguageCase&, const fs::path& scratch) {
         std::string line = converter_line(scratch);
         return Expect{ScipState::FAILED, line + " exit status 126", line + "\n\n", true, true};
       }},
      {"converter writes nothing", [&](const LanguageCase&) { set("KOLVEX_T_CONVERT", "exit 0"); },
       [](const LanguageCase&, const fs::path&) {
         return Expect{ScipState::FAILED, NO_DOCUMENTS, std::nullopt, true, true};
       }},
      {"converter writes an empty file", [&](const LanguageCase&) { set("KOLVEX_T_CONVERT", ": > \"$3\""); },
       [](const LanguageCase&, const fs::path&) {
         return Expect{ScipState::FAILED, NO_DOCUMENTS, std::nullopt, true, true};
       }},
      {"converter writes garbage",
       [&](const LanguageCase&) {
         set("KOLVEX_T_CONVERT", "printf 'this is not a database, only some text long enough' > \"$3\"");
       },
       [](const LanguageCase&, const fs::path&) {
         return Expect{ScipState::FAILED,
                       "scip expt-convert produced no readable SQLite database (file is not a database) — the "
                       "indexer output was empty or invalid",
                       std::nullopt, true, true};
       }},
      {"converter output lacks a table",
       [&](const LanguageCase&) { set("KOLVEX_T_CONVERT", "cp '" + no_mentions_db_.string() + "' \"$3\""); },
       [](const LanguageCase&, const fs::path&) {
         return Expect{ScipState::FAILED,
                       "scip expt-convert produced no SCIP mentions table — the indexer output was empty or invalid",
                       std::nullopt, true, true};
       }},
  };
  for (const LanguageCase& l : LANGUAGES) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(l.language) + ": " + c.title);
      reset_behaviour();
      bin_.install("scip");
      bin_.install(l.program);
      c.setup(l);
      ScipAttempt outcome = attempt(l.language);
      Expect e = c.expect(l, scratch_.path());
      EXPECT_EQ(outcome.state, e.state);
      EXPECT_EQ(outcome.reason, e.reason);
      EXPECT_EQ(outcome.stderr, e.stderr.value_or(e.reason));
      EXPECT_FALSE(outcome.db_path);
      bool indexed = fs::exists(scratch_.path() / "index.scip");
      EXPECT_EQ(indexed, e.indexer_ran);
      EXPECT_EQ(calls("scip", "expt-convert").size(), e.converter_ran ? 1u : 0u);
    }
  }
}

TEST_F(ScipAttemptTest, SuccessLogsArgumentsWorkingDirectoryAndEnvironment) {
  const std::string path_value = std::getenv("PATH");
  for (const LanguageCase& l : LANGUAGES) {
    SCOPED_TRACE(l.language);
    reset_behaviour();
    ScipAttempt outcome = attempt(l.language);
    EXPECT_EQ(outcome.state, ScipState::AVAILABLE);
    EXPECT_FALSE(outcome.reason);
    EXPECT_FALSE(outcome.stderr);
    EXPECT_EQ(outcome.db_path, scratch_.path() / "index.db");

    bool swift = std::string(l.language) == "swift";
    std::vector<FakeInvocation> indexer = calls(l.program);
    ASSERT_EQ(indexer.size(), swift ? 2u : 1u);  // scip-swift is asked for its version first
    EXPECT_EQ(indexer[0].argv, (swift ? Command{"scip-swift", "--version"} : indexer[0].argv));
    Command expected = l.base;
    if (swift) expected.insert(expected.end(), {"--cache-dir", platform::swift_cache_dir("api").string()});
    expected.insert(expected.end(), {"--output", (scratch_.path() / "index.scip").string()});
    const FakeInvocation& run = indexer.back();
    EXPECT_EQ(run.argv, expected);
    EXPECT_EQ(run.cwd, fs::canonical(repo_).string());
    if (std::string(l.language) == "java") {
      EXPECT_EQ(run.env.at("GRADLE_OPTS"), "-Dorg.gradle.parallel=false");
    } else {
      EXPECT_EQ(run.env.at("GRADLE_OPTS"), std::nullopt);
    }
    EXPECT_EQ(run.env.at("PATH"), path_value);

    std::vector<FakeInvocation> scip = calls("scip");
    ASSERT_EQ(scip.size(), 2u);
    EXPECT_EQ(scip[0].argv, (Command{"scip", "--version"}));
    EXPECT_EQ(scip[1].argv, (Command{"scip", "expt-convert", "--output", (scratch_.path() / "index.db").string(),
                                     (scratch_.path() / "index.scip").string()}));
    EXPECT_EQ(scip[1].cwd, fs::canonical(repo_).string());
    if (!swift) {
      EXPECT_TRUE(calls("scip-swift").empty());
    }
  }
  EXPECT_EQ(*indexer_for("swift"), Command{"scip-swift"});
}

TEST_F(ScipAttemptTest, ToolThatCannotBeExecutedIsUnavailable) {
  for (const char* program : {"scip", "scip-python"}) {
    SCOPED_TRACE(program);
    reset_behaviour();
    bin_.install("scip");
    bin_.install("scip-python");
    fs::permissions(bin_.dir() / program, fs::perms::owner_read | fs::perms::owner_write);
    ScipAttempt outcome = attempt("python");
    EXPECT_EQ(outcome.state, ScipState::UNAVAILABLE);
    EXPECT_TRUE(outcome.reason && !outcome.reason->empty());
    EXPECT_FALSE(fs::exists(scratch_.path() / "index.db"));
  }
  bin_.install("scip");
  bin_.install("scip-python");
}

TEST_F(ScipAttemptTest, SwiftGateIsAskedOnlyForSwift) {
  set("KOLVEX_T_SWIFT_VERSION", "0.2.9 (swift 6.0.0)");
  ScipAttempt swift = attempt("swift");
  EXPECT_EQ(swift.state, ScipState::UNAVAILABLE);
  EXPECT_EQ(swift.reason,
            "scip-swift v0.2.9 is too old (need >= v0.3.0): versions before 0.3.0 dispatch xcodebuild incorrectly "
            "for .xcodeproj repos and produce broken indexes. Re-run setup.sh, and remove any older scip-swift "
            "earlier on PATH.");
  EXPECT_EQ(calls("scip-swift").size(), 1u);
  EXPECT_EQ(attempt("python").state, ScipState::AVAILABLE);
  EXPECT_EQ(calls("scip-swift").size(), 1u);
}

TEST_F(ScipAttemptTest, SwiftWithAnXcodeProjectAndAScheme) {
  fs::create_directories(repo_ / "App.xcodeproj");
  ScipAttempt outcome = attempt("swift", std::string("App"));
  EXPECT_EQ(outcome.state, ScipState::AVAILABLE);
  EXPECT_EQ(calls("scip-swift").back().argv,
            (Command{"scip-swift", "--build-tool", "xcodebuild", "--scheme", "App", "--cache-dir",
                     platform::swift_cache_dir("api").string(), "--output",
                     (scratch_.path() / "index.scip").string()}));
  fs::remove(repo_ / "App.xcodeproj");
}

TEST_F(ScipAttemptTest, OldBashLauncherFailureOfTheJavaIndexer) {
  const std::string both = "line 12: LAUNCHER_ARGS[@]: unbound variable\n";
  struct Case {
    const char* language;
    std::string stderr_text;
    bool remedy;
  };
  const std::vector<Case> cases = {
      {"java", both, true},
      {"java", "LAUNCHER_ARGS[@] is fine\n", false},
      {"java", "x: unbound variable\n", false},
      {"python", both, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.language) + " " + c.stderr_text);
    reset_behaviour();
    std::string program = std::string("scip-") + c.language;
    behave(program, {.stderr_text = c.stderr_text, .exit_code = 1});
    ScipAttempt outcome = attempt(c.language);
    EXPECT_EQ(outcome.state, ScipState::FAILED);
    std::string runner_text = program + " index failed (" + program + " index --output " +
                              (scratch_.path() / "index.scip").string() + "):\n\n" + c.stderr_text;
    if (c.remedy) {
      EXPECT_EQ(outcome.reason, std::string(detail::BASH_SHIM_REMEDY));
      EXPECT_EQ(outcome.stderr, std::string(detail::BASH_SHIM_REMEDY) + "\n\n" + runner_text);
    } else {
      EXPECT_EQ(outcome.reason, core::first_non_blank_line(runner_text));
      EXPECT_EQ(outcome.stderr, runner_text);
    }
  }
  // The converter's failure text is tested as well.
  reset_behaviour();
  set("KOLVEX_T_CONVERT", "printf '%s' 'LAUNCHER_ARGS[@]: unbound variable' >&2; exit 1");
  EXPECT_EQ(attempt("java").reason, std::string(detail::BASH_SHIM_REMEDY));
}

TEST_F(ScipAttemptTest, JavaEnvironmentKeepsGradleOptionsAndPutsTheShimFirst) {
  fs::path shims = platform::shim_dir();
  fs::create_directories(shims);
  core::write_file(shims / "bash", "#!/bin/sh\n");
  ScopedEnv gradle(testkit::EnvOverlay{{"GRADLE_OPTS", "-Xmx2g"}});
  const std::string path_value = std::getenv("PATH");
  ASSERT_EQ(attempt("java").state, ScipState::AVAILABLE);
  const FakeInvocation run = calls("scip-java").back();
  EXPECT_EQ(run.env.at("GRADLE_OPTS"), "-Xmx2g -Dorg.gradle.parallel=false");
  EXPECT_EQ(run.env.at("PATH"), shims.string() + ":" + path_value);
}

TEST_F(ScipAttemptTest, JavaEnvironmentTable) {
  fs::path shims = platform::shim_dir();
  struct Case {
    std::optional<std::string> gradle;
    std::optional<std::string> path;
    bool shim;
    EnvOverrides expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "/usr/bin", false, {{"GRADLE_OPTS", "-Dorg.gradle.parallel=false"}}},
      {"", "/usr/bin", false, {{"GRADLE_OPTS", "-Dorg.gradle.parallel=false"}}},
      {"  -Xmx1g  ", "/usr/bin", false, {{"GRADLE_OPTS", "-Xmx1g   -Dorg.gradle.parallel=false"}}},
      {std::nullopt, "/usr/bin", true,
       {{"GRADLE_OPTS", "-Dorg.gradle.parallel=false"}, {"PATH", shims.string() + ":/usr/bin"}}},
      {std::nullopt, std::nullopt, true, {{"GRADLE_OPTS", "-Dorg.gradle.parallel=false"}, {"PATH", shims.string()}}},
      {std::nullopt, "", true, {{"GRADLE_OPTS", "-Dorg.gradle.parallel=false"}, {"PATH", shims.string()}}},
  };
  for (const Case& c : cases) {
    if (c.shim) {
      fs::create_directories(shims);
      core::write_file(shims / "bash", "#!/bin/sh\n");
    } else {
      fs::remove_all(shims);
    }
    EnvOverrides env;
    {
      ScopedEnv vars(testkit::EnvOverlay{{"GRADLE_OPTS", c.gradle}, {"PATH", c.path}});
      env = detail::java_indexer_env();
    }
    EXPECT_EQ(env, c.expected);
  }
}

TEST(SwiftCommand, BuildToolAndSchemeOnlyWithAnXcodeProjectAtTheTop) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-swift-");
  const Command base = {"scip-swift"};
  const fs::path cache = "/cache/api";
  struct Case {
    const char* title;
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    std::optional<std::string> scheme;
    Command expected;
  };
  const std::vector<Case> cases = {
      {"project and scheme", {"App.xcodeproj"}, {}, "App",
       {"scip-swift", "--build-tool", "xcodebuild", "--scheme", "App", "--cache-dir", "/cache/api"}},
      {"workspace file alone", {}, {"App.xcworkspace"}, "App",
       {"scip-swift", "--build-tool", "xcodebuild", "--scheme", "App", "--cache-dir", "/cache/api"}},
      {"project, empty scheme", {"App.xcodeproj"}, {}, "",
       {"scip-swift", "--build-tool", "xcodebuild", "--cache-dir", "/cache/api"}},
      {"project, no scheme", {"App.xcodeproj"}, {}, std::nullopt,
       {"scip-swift", "--build-tool", "xcodebuild", "--cache-dir", "/cache/api"}},
      {"no project, scheme", {}, {"Package.swift"}, "App", {"scip-swift", "--cache-dir", "/cache/api"}},
      {"project below the top level", {"ios/App.xcodeproj"}, {}, "App", {"scip-swift", "--cache-dir", "/cache/api"}},
  };
  for (const Case& c : cases) {
    fs::path repo = scratch.path() / c.title;
    fs::create_directories(repo);
    for (const auto& dir : c.dirs) fs::create_directories(repo / dir);
    for (const auto& file : c.files) core::write_file(repo / file, "");
    EXPECT_EQ(detail::swift_indexer_cmd(base, repo, c.scheme, cache), c.expected) << c.title;
  }
  EXPECT_EQ(base, Command{"scip-swift"});
}

// Without a tsconfig.json of the repository's own, the indexer gets a project
// file written into the scratch directory, and the working tree is left as it
// was; with one, the indexer gets no extra argument.
TEST_F(ScipAttemptTest, TypeScriptWithoutTsconfigGetsAProjectFileOutsideTheWorkingTree) {
  fs::remove(repo_ / "tsconfig.json");
  core::write_file(repo_ / "main.ts", "export const x = 1;\n");
  // The indexer reports what it found in the working tree and in the project file.
  const fs::path seen = home_.path() / "seen.txt";
  behave("scip-typescript", {.create_output = true, .run = "ls -A > '" + seen.string() + "'; cat \"$2\" >> '" +
                                                                 seen.string() + "'"});
  ScipAttempt result = attempt("typescript");
  const std::string index = (scratch_.path() / "index.scip").string();
  const fs::path project = scratch_.path() / "tsconfig.json";
  EXPECT_EQ(result.state, ScipState::AVAILABLE) << result.reason.value_or("");
  std::vector<FakeInvocation> runs = calls("scip-typescript");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].argv,
            (std::vector<std::string>{"scip-typescript", "index", project.string(), "--output", index}));
  EXPECT_EQ(runs[0].cwd, fs::canonical(repo_).string());
  const std::string root = fs::canonical(repo_).string();
  EXPECT_EQ(core::read_file(seen), "main.ts\n" + detail::standin_tsconfig(root));
  core::Json config = core::parse_json(detail::standin_tsconfig(root));
  EXPECT_EQ(config["include"], core::Json::array({root + "/**/*"}));
  EXPECT_EQ(config["exclude"],
            core::Json::array({root + "/node_modules", root + "/bower_components", root + "/jspm_packages"}));
  EXPECT_EQ(config["compilerOptions"]["typeRoots"].front(), root + "/node_modules/@types");
  EXPECT_EQ(config["compilerOptions"]["typeRoots"].back(), "/node_modules/@types");
  EXPECT_EQ(std::distance(fs::directory_iterator(repo_), fs::directory_iterator()), 1);

  // With a project file of its own, the indexer gets no extra argument.
  bin_.program("scip-typescript").clear_log();
  core::write_file(repo_ / "tsconfig.json", "{}");
  behave("scip-typescript", {.create_output = true});
  attempt("typescript");
  EXPECT_EQ(calls("scip-typescript").at(0).argv,
            (std::vector<std::string>{"scip-typescript", "index", "--output",
                                      (scratch_.path() / "index.scip").string()}));
  EXPECT_FALSE(fs::exists(scratch_.path() / "tsconfig.json"));
  EXPECT_EQ(core::read_file(repo_ / "tsconfig.json"), "{}");
}

TEST(ScipAttemptRecord, AttemptMadeWithOnlyAStateHasNothingElse) {
  ScipAttempt attempt{ScipState::AVAILABLE};
  EXPECT_FALSE(attempt.reason);
  EXPECT_FALSE(attempt.stderr);
  EXPECT_FALSE(attempt.db_path);
}

TEST(AttemptFromText, ReasonIsTheFirstNonBlankLineUnchanged) {
  struct Case {
    std::string text;
    ScipState state;
    std::optional<std::string> fallback;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"\n\n  error: tool crashed\nsecond line\n", ScipState::FAILED, std::nullopt, "  error: tool crashed"},
      {"\r\n \t\r  \n\t", ScipState::FAILED, std::nullopt, "failed"},
      {"", ScipState::UNAVAILABLE, std::string(""), "unavailable"},
      {"", ScipState::UNAVAILABLE, std::string("IndexingError"), "IndexingError"},
      {"first\r\nsecond", ScipState::FAILED, std::nullopt, "first"},
      {"\fword", ScipState::FAILED, std::nullopt, "word"},
      {"a\u2028b", ScipState::FAILED, std::nullopt, "a"},
      {"   \u00a0\nx", ScipState::FAILED, std::nullopt, "x"},
  };
  for (const Case& c : cases) {
    ScipAttempt attempt = detail::attempt_from_text(c.text, c.state, c.fallback);
    EXPECT_EQ(attempt.state, c.state);
    EXPECT_EQ(attempt.reason, c.reason) << c.text;
    EXPECT_EQ(attempt.stderr, c.text);
    EXPECT_FALSE(attempt.db_path);
  }
}

TEST(AttemptFromText, KeepsAVeryLongTextWhole) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  ScipAttempt attempt = detail::attempt_from_text(text, ScipState::FAILED);
  EXPECT_EQ(attempt.reason, "line 0");
  EXPECT_EQ(attempt.stderr, text);
}

TEST(AttemptFromException, UsesTheMessageOrTheTypeName) {
  MissingBinaryError missing("scip-python index failed: scip-python not found on PATH — run setup.sh");
  ScipAttempt from_missing = detail::attempt_from_exception(missing, ScipState::UNAVAILABLE);
  EXPECT_EQ(from_missing.state, ScipState::UNAVAILABLE);
  EXPECT_EQ(from_missing.reason, missing.message());
  EXPECT_EQ(from_missing.stderr, missing.message());

  ScipAttempt from_empty = detail::attempt_from_exception(IndexingError(""), ScipState::UNAVAILABLE);
  EXPECT_EQ(from_empty.reason, "IndexingError");
  EXPECT_EQ(from_empty.stderr, "");
}

}  // namespace
}  // namespace kolvex::pipeline
