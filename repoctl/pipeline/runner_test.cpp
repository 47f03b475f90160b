#include "repoctl/pipeline/runner.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/fs.h"
#include "core/process.h"
#include "core/text.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"

namespace kolvex::pipeline {
namespace {

namespace fs = std::filesystem;
using testkit::FakeBehaviour;
using testkit::FakeBin;
using testkit::GitRepo;
using testkit::ScopedEnv;

// Fake programs first on PATH, then only the system directories.
class WithFakes : public ::testing::Test {
 protected:
  FakeBin bin_ = FakeBin::create();
  ScopedEnv path_{bin_.env("/usr/bin:/bin")};
  core::ScratchDir work_ = core::ScratchDir::create("pipeline-runner-");
};

using Runner = WithFakes;

TEST_F(Runner, FailureTextsByteForByte) {
  struct Case {
    const char* title;
    Command cmd;
    std::string step;
    bool install;
    bool missing_cwd;
    FakeBehaviour behaviour;
    const char* type;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing program", {"zoekt-git-index", "-index", "x"}, "zoekt-git-index", false, false, {},
       "MissingBinaryError", "zoekt-git-index failed: zoekt-git-index not found on PATH — run setup.sh"},
      {"missing working directory", {"tool", "a"}, "tool index", true, true, {}, "MissingBinaryError",
       "tool index failed: tool not found on PATH — run setup.sh"},
      {"silent exit 1", {"tool", "expt-convert", "--output", "a", "b"}, "scip expt-convert", true, false,
       {.exit_code = 1}, "IndexingError", "scip expt-convert failed (tool expt-convert --output a b):\n\n"},
      {"stdout ends with a line feed", {"tool"}, "step", true, false,
       {.stdout_text = "out\n", .stderr_text = "err", .exit_code = 2}, "IndexingError",
       "step failed (tool):\nout\n\nerr"},
      {"stdout without a line feed", {"tool"}, "step", true, false,
       {.stdout_text = "out", .stderr_text = "err\n", .exit_code = 2}, "IndexingError",
       "step failed (tool):\nout\nerr\n"},
      {"argument with a blank", {"tool", "a b", "c"}, "step", true, false, {.exit_code = 1}, "IndexingError",
       "step failed (tool a b c):\n\n"},
      {"killed by a signal", {"tool"}, "step", true, false, {.stdout_text = "x", .run = "kill -9 $$"},
       "IndexingError", "step failed (tool):\n\n"},
      {"never started (status 127): the same text and type", {"tool"}, "step", true, false,
       {.stderr_text = "tool: error while loading shared libraries: libx.so\n", .exit_code = 127}, "IndexingError",
       "step failed (tool):\n\ntool: error while loading shared libraries: libx.so\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::optional<ScopedEnv> behaviour;
    if (c.install) behaviour.emplace(bin_.install("tool").env(c.behaviour));
    fs::path cwd = c.missing_cwd ? work_.path() / "gone" : work_.path();
    try {
      detail::run(c.cmd, cwd, c.step);
      ADD_FAILURE() << "no error";
    } catch (const IndexingError& error) {
      EXPECT_STREQ(error.type_name(), c.type);
      EXPECT_EQ(error.message(), c.message);
      EXPECT_EQ(error.cause() != nullptr, std::string(c.type) == "MissingBinaryError");
    }
    fs::remove(bin_.dir() / "tool");
  }
}

TEST_F(Runner, SuccessReturnsTheDecodedOutput) {
  testkit::FakeProgram tool = bin_.install("tool");
  ScopedEnv behaviour(tool.env({.stdout_text = "a\r\nb\rc\xff\n", .stderr_text = "warn\n"}));
  CompletedProcess done = detail::run({"tool", "x"}, work_.path(), "step");
  EXPECT_EQ(done.args, (Command{"tool", "x"}));
  EXPECT_EQ(done.returncode, 0);
  EXPECT_EQ(done.stdout_text, "a\nb\nc\xef\xbf\xbd\n");
  EXPECT_EQ(done.stderr_text, "warn\n");
}

TEST_F(Runner, EnvironmentOverridesAreLaidOverTheProcessEnvironment) {
  testkit::FakeProgram tool = bin_.install("tool");
  ScopedEnv behaviour(tool.env({.log_env = {"KOLVEX_T_KEEP", "KOLVEX_T_SET", "KOLVEX_T_NEW"}}));
  ScopedEnv vars({{"KOLVEX_T_KEEP", "kept"}, {"KOLVEX_T_SET", "old"}, {"KOLVEX_T_NEW", std::nullopt}});

  detail::run({"tool"}, work_.path(), "step", {});
  detail::run({"tool"}, work_.path(), "step", {{"KOLVEX_T_SET", "new"}, {"KOLVEX_T_NEW", "added"}});
  auto calls = tool.invocations();
  ASSERT_EQ(calls.size(), 2u);
  using Env = std::map<std::string, std::optional<std::string>>;
  EXPECT_EQ(calls[0].env, (Env{{"KOLVEX_T_KEEP", "kept"}, {"KOLVEX_T_SET", "old"}, {"KOLVEX_T_NEW", std::nullopt}}));
  EXPECT_EQ(calls[1].env, (Env{{"KOLVEX_T_KEEP", "kept"}, {"KOLVEX_T_SET", "new"}, {"KOLVEX_T_NEW", "added"}}));
  EXPECT_EQ(calls[1].cwd, fs::canonical(work_.path()).string());

  // A PATH override holds for that child only.
  core::ScratchDir other = core::ScratchDir::create("pipeline-path-");
  fs::copy_file(bin_.dir() / "tool", other.path() / "elsewhere");
  ScopedEnv other_log(bin_.program("elsewhere").env({.log_env = {"PATH"}}));
  detail::run({"elsewhere"}, work_.path(), "step", {{"PATH", other.path().string() + ":/usr/bin:/bin"}});
  EXPECT_THROW(detail::run({"elsewhere"}, work_.path(), "step"), MissingBinaryError);
}

TEST_F(Runner, AProgramThatCannotBeExecutedIsNotReportedAsMissing) {
  core::write_file(bin_.dir() / "noexec", "#!/bin/bash\nexit 0\n");
  fs::permissions(bin_.dir() / "noexec", fs::perms::owner_read | fs::perms::owner_write);
  try {
    detail::run({"noexec"}, work_.path(), "step");
    ADD_FAILURE() << "no error";
  } catch (const IndexingError& error) {
    ADD_FAILURE() << "translated: " << error.message();
  } catch (const core::ProcessStartError& error) {
    EXPECT_FALSE(error.not_found());
  }
}

// What git itself prints on standard error for `git -C <path> <args>`, trimmed.
std::string git_says(const fs::path& path, const std::vector<std::string>& args) {
  Command argv = {"git", "-C", path.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::string(core::strip(core::run_process(argv).stderr_text()));
}

using GitProbes = WithFakes;

TEST_F(GitProbes, HeadOfADirectoryThatIsNoWorkTree) {
  GitRepo bare = GitRepo::init_bare();
  GitRepo repo = GitRepo::init();
  repo.write("a.py", "x");
  repo.commit_all();
  const fs::path plain = work_.path();
  const fs::path missing = work_.path() / "missing";
  struct Case {
    fs::path path;
    std::string error_text;
  };
  const std::vector<Case> cases = {
      {missing, git_says(missing, {"rev-parse", "--is-inside-work-tree"})},
      {plain, git_says(plain, {"rev-parse", "--is-inside-work-tree"})},
      {bare.path(), "false"},
      {repo.path() / ".git", "false"},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(c.error_text.empty()) << c.path;
    try {
      git_head(c.path);
      ADD_FAILURE() << "no error for " << c.path;
    } catch (const NotAGitRepositoryError& error) {
      EXPECT_EQ(error.message(),
                c.path.string() + " is not a git repository (git rev-parse --is-inside-work-tree: " + c.error_text + ")");
    }
  }
}

TEST_F(GitProbes, HeadOfARepositoryWithAndWithoutCommits) {
  GitRepo repo = GitRepo::init();
  std::string error_text = git_says(repo.path(), {"rev-parse", "HEAD"});
  try {
    git_head(repo.path());
    ADD_FAILURE() << "no error";
  } catch (const NotAGitRepositoryError&) {
    ADD_FAILURE() << "wrong type";
  } catch (const IndexingError& error) {
    EXPECT_STREQ(error.type_name(), "IndexingError");
    EXPECT_EQ(error.message(), repo.path().string() + " has no commits yet (git rev-parse HEAD: " + error_text + ")");
  }
  repo.write("a.py", "x");
  std::string sha = repo.commit_all();
  EXPECT_EQ(git_head(repo.path()), sha);
  EXPECT_EQ(git_head(repo.path() / "."), sha);
}

TEST_F(GitProbes, TrackedFilesAndBlobCount) {
  GitRepo repo = GitRepo::init();
  EXPECT_TRUE(git_tracked_files(repo.path()).empty());
  EXPECT_EQ(tracked_blob_count(repo.path()), 0);

  repo.write("b file.py", "x");
  repo.write("caf\xc3\xa9.ts", "x");
  repo.write("dir/a.java", "x");
  repo.symlink("link", "dir/a.java");
  repo.add();
  repo.add_gitlink("vendor/sub", "0123456789abcdef0123456789abcdef01234567");
  EXPECT_EQ(git_tracked_files(repo.path()),
            (std::vector<std::string>{"b file.py", "caf\xc3\xa9.ts", "dir/a.java", "link", "vendor/sub"}));
  EXPECT_EQ(tracked_blob_count(repo.path()), 4);
}

// The run reads the tracked paths and the blob count from its one index listing:
// they must be exactly what the probes' own git runs give, also for unmerged
// entries (listed once per stage), names that are not UTF-8 or hold a carriage
// return, submodules and links.
TEST_F(GitProbes, TheIndexListingGivesWhatTheProbesGive) {
  GitRepo repo = GitRepo::init();
  const declstore::IndexListing empty = declstore::list_index(repo.path());
  EXPECT_TRUE(git_tracked_files(empty).empty());
  EXPECT_EQ(tracked_blob_count(empty), 0);

  repo.write("b file.py", "x");
  repo.write("caf\xe9.ts", "x");
  repo.write("bad\xe2\x82.py", "x");
  repo.write("cr\rname.py", "x");
  repo.write("crlf\r\nname.py", "x");
  repo.write("dir/a.java", "x");
  repo.symlink("link", "dir/a.java");
  repo.add();
  repo.add_gitlink("vendor/sub", "0123456789abcdef0123456789abcdef01234567");
  repo.write(".blob", "c = 1\n");
  const std::string blob(core::strip(repo.git({"hash-object", "-w", ".blob"}).stdout_text()));
  repo.remove(".blob");
  core::ProcessOptions options;
  options.env = GitRepo::git_environment();
  options.stdin_data = "100644 " + blob + " 1\tconflict.py\n100644 " + blob + " 3\tconflict.py\n160000 " +
                       std::string(40, '1') + " 2\tconflict.py\n";
  ASSERT_TRUE(core::run_process({"git", "-C", repo.path().string(), "update-index", "--index-info"}, options).ok());

  const declstore::IndexListing listing = declstore::list_index(repo.path());
  const std::vector<std::string> paths = git_tracked_files(repo.path());
  EXPECT_EQ(paths.size(), 11u);
  EXPECT_EQ(git_tracked_files(listing), paths);
  EXPECT_EQ(tracked_blob_count(listing), tracked_blob_count(repo.path()));
  EXPECT_EQ(tracked_blob_count(listing), 9);
}

TEST_F(GitProbes, ListingOutsideARepository) {
  const fs::path plain = work_.path();
  const std::string files_error = plain.string() + " is not a git repository (git ls-files: " +
                                  git_says(plain, {"ls-files", "-z"}) + ")";
  const std::string blobs_error = plain.string() + " is not a git repository (git ls-files -s: " +
                                  git_says(plain, {"ls-files", "-s", "-z"}) + ")";
  // A listing git refused raises each probe's own error, as the path does.
  const declstore::IndexListing refused = declstore::list_index(plain);
  const std::vector<std::tuple<std::string, std::function<void()>, std::string>> cases = {
      {"files of the path", [&] { git_tracked_files(plain); }, files_error},
      {"blobs of the path", [&] { tracked_blob_count(plain); }, blobs_error},
      {"files of the refused listing", [&] { git_tracked_files(refused); }, files_error},
      {"blobs of the refused listing", [&] { tracked_blob_count(refused); }, blobs_error},
  };
  for (const auto& [name, probe, expected] : cases) {
    SCOPED_TRACE(name);
    try {
      probe();
      ADD_FAILURE() << "no error";
    } catch (const NotAGitRepositoryError& error) {
      EXPECT_EQ(error.message(), expected);
    }
  }
}

TEST_F(GitProbes, AGitThatCannotBeStartedIsNotTranslated) {
  ScopedEnv no_git({{"PATH", bin_.dir().string()}});
  EXPECT_THROW(git_head(work_.path()), core::ProcessStartError);
  EXPECT_THROW(git_tracked_files(work_.path()), core::ProcessStartError);
  EXPECT_THROW(tracked_blob_count(work_.path()), core::ProcessStartError);
}

}  // namespace
}  // namespace kolvex::pipeline
