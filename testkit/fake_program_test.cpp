#include "testkit/fake_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/process.h"

namespace kolvex::testkit {
namespace {

namespace fs = std::filesystem;

core::ProcessOptions options_with(const EnvOverlay& env, std::optional<fs::path> cwd = std::nullopt) {
  core::ProcessOptions options;
  options.env = env;
  options.cwd = std::move(cwd);
  return options;
}

TEST(FakeProgram, LogsArgvCwdAndChosenEnvironment) {
  FakeBin bin = FakeBin::create();
  const FakeProgram program = bin.install("zoekt-git-index");
  EXPECT_EQ(program.variable("EXIT"), "KOLVEX_FAKE_ZOEKT_GIT_INDEX_EXIT");
  core::ScratchDir work = core::ScratchDir::create("kolvex-fake-cwd-");

  FakeBehaviour behaviour;
  behaviour.log_env = {"KOLVEX_FAKE_TEST_SET", "KOLVEX_FAKE_TEST_UNSET"};
  EnvOverlay env = merge_env(bin.env(), program.env(behaviour));
  env["KOLVEX_FAKE_TEST_SET"] = "multi\nline \\ value";
  env["KOLVEX_FAKE_TEST_UNSET"] = std::nullopt;
  const std::vector<std::string> argv = {"zoekt-git-index", "-index", "/some dir", "", "new\nline"};
  const core::ProcessResult result = core::run_process(argv, options_with(env, work.path()));
  EXPECT_EQ(result.returncode, 0);
  EXPECT_EQ(result.stdout_bytes, "");
  EXPECT_EQ(result.stderr_bytes, "");

  core::run_process({"zoekt-git-index", "second"}, options_with(env));
  const std::vector<FakeInvocation> calls = program.invocations();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].argv, argv);
  EXPECT_EQ(calls[0].cwd, fs::canonical(work.path()).native());
  EXPECT_EQ(calls[0].env, (std::map<std::string, std::optional<std::string>>{
                              {"KOLVEX_FAKE_TEST_SET", "multi\nline \\ value"}, {"KOLVEX_FAKE_TEST_UNSET", std::nullopt}}));
  EXPECT_EQ(calls[1].argv, (std::vector<std::string>{"zoekt-git-index", "second"}));

  program.clear_log();
  EXPECT_TRUE(program.invocations().empty());
}

// A program run by another thread or process at the same time as this one (git
// started alongside git, say) logs a whole record of its own: lines of two calls
// never interleave.
TEST(FakeProgram, CallsAtTheSameTimeLogWholeRecords) {
  FakeBin bin = FakeBin::create();
  const FakeProgram git = bin.install("git");
  const EnvOverlay env = merge_env(bin.env(), git.env({}));
  constexpr int CALLS = 24;
  constexpr int ARGS = 200;
  std::vector<std::vector<std::string>> argvs;
  for (int call = 0; call < CALLS; ++call) {
    std::vector<std::string> argv = {"git"};
    for (int arg = 0; arg < ARGS; ++arg) argv.push_back("call" + std::to_string(call) + "-arg" + std::to_string(arg));
    argvs.push_back(std::move(argv));
  }
  std::vector<std::thread> threads;
  for (const std::vector<std::string>& argv : argvs) {
    threads.emplace_back([&argv, &env] { core::run_process(argv, options_with(env)); });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::vector<std::string>> logged;
  for (const FakeInvocation& call : git.invocations()) logged.push_back(call.argv);
  std::sort(logged.begin(), logged.end());
  std::sort(argvs.begin(), argvs.end());
  EXPECT_EQ(logged, argvs);
}

TEST(FakeProgram, HonoursExitOutputsAndOutputFile) {
  FakeBin bin = FakeBin::create();
  const FakeProgram scip = bin.install("scip");
  core::ScratchDir work = core::ScratchDir::create("kolvex-fake-cwd-");

  FakeBehaviour behaviour;
  behaviour.stdout_text = "converted\n";
  behaviour.stderr_text = "warning: x\n";
  behaviour.exit_code = 3;
  behaviour.create_output = true;
  behaviour.run = "printf ran > \"$PWD/run-marker\"";
  const EnvOverlay env = merge_env(bin.env(), scip.env(behaviour));
  const core::ProcessResult result = core::run_process(
      {"scip", "expt-convert", "--output", "out.db", "--output=second.db", "index.scip"}, options_with(env, work.path()));
  EXPECT_EQ(result.returncode, 3);
  EXPECT_EQ(result.stdout_bytes, "converted\n");
  EXPECT_EQ(result.stderr_bytes, "warning: x\n");
  EXPECT_TRUE(fs::exists(work.path() / "out.db"));
  EXPECT_TRUE(fs::exists(work.path() / "second.db"));
  EXPECT_FALSE(fs::exists(work.path() / "index.scip"));
  EXPECT_EQ(core::read_file(work.path() / "run-marker"), "ran");

  // Default behaviour: silent success, no output file.
  fs::remove(work.path() / "out.db");
  const EnvOverlay plain = merge_env(bin.env(), scip.env());
  EXPECT_EQ(core::run_process({"scip", "--output", "out.db"}, options_with(plain, work.path())).returncode, 0);
  EXPECT_FALSE(fs::exists(work.path() / "out.db"));
}

TEST(FakeProgram, PathValueAndScopedEnvironment) {
  FakeBin bin = FakeBin::create();
  bin.install("uv");
  EXPECT_EQ(bin.path_value("/usr/bin:/bin"), bin.dir().native() + ":/usr/bin:/bin");
  EXPECT_EQ(bin.path_value(""), bin.dir().native());

  const char* before = std::getenv("PATH");
  const std::string original = before ? before : "";
  ::setenv("KOLVEX_FAKE_SCOPED", "old", 1);
  {
    ScopedEnv scoped(merge_env(bin.env(), {{"KOLVEX_FAKE_SCOPED", std::nullopt}, {"KOLVEX_FAKE_NEW", "1"}}));
    EXPECT_EQ(std::string(std::getenv("PATH")), bin.dir().native() + ":" + original);
    EXPECT_EQ(std::getenv("KOLVEX_FAKE_SCOPED"), nullptr);
    EXPECT_EQ(core::find_program("uv"), bin.dir() / "uv");
    EXPECT_EQ(core::run_process({"uv", "--version"}).returncode, 0);
  }
  EXPECT_EQ(std::string(std::getenv("PATH")), original);
  EXPECT_EQ(std::string(std::getenv("KOLVEX_FAKE_SCOPED")), "old");
  EXPECT_EQ(std::getenv("KOLVEX_FAKE_NEW"), nullptr);
  ::unsetenv("KOLVEX_FAKE_SCOPED");
}

}  // namespace
}  // namespace kolvex::testkit
