#include "core/process.h"

#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "core/fs.h"
#include "testkit/git_repo.h"
#include "testkit/process_probe.h"

namespace kolvex::core {
namespace {

namespace fs = std::filesystem;

ProcessResult sh(const std::string& script, const ProcessOptions& options = {}) {
  return run_process({"sh", "-c", script}, options);
}

TEST(Process, CapturesExitStatusAndBothOutputs) {
  struct Case {
    std::string script;
    int returncode;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"exit 0", 0, "", ""},
      {"printf 'out\\n'; printf err >&2; exit 3", 3, "out\n", "err"},
      {"printf 'a\\0b'", 0, std::string("a\0b", 3), ""},
      {"kill -9 $$", -9, "", ""},
      {"kill -TERM $$", -15, "", ""},
  };
  for (const Case& c : cases) {
    const ProcessResult result = sh(c.script);
    EXPECT_EQ(result.returncode, c.returncode) << c.script;
    EXPECT_EQ(result.stdout_bytes, c.out) << c.script;
    EXPECT_EQ(result.stderr_bytes, c.err) << c.script;
    EXPECT_EQ(result.ok(), c.returncode == 0);
    EXPECT_EQ(result.signal(), c.returncode < 0 ? std::optional(-c.returncode) : std::nullopt);
  }
}

TEST(Process, TextIsDecodedWithReplacement) {
  const ProcessResult result = sh("printf 'ok\\377'; printf '\\303' >&2");
  EXPECT_EQ(result.stdout_text(), "ok\xEF\xBF\xBD");
  EXPECT_EQ(result.stderr_text(), "\xEF\xBF\xBD");
}

TEST(Process, StartFailuresTellNotFoundApart) {
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  const fs::path missing_dir = scratch.path() / "gone";
  const fs::path not_executable = scratch.path() / "plain-file";
  write_file(not_executable, "#!/bin/sh\n");
  ::chmod(not_executable.c_str(), 0644);

  struct Case {
    std::vector<std::string> argv;
    std::optional<fs::path> cwd;
    int error_number;
    std::string message;
    std::string type_name;
  };
  const std::vector<Case> cases = {
      {{"kolvex-no-such-program"}, std::nullopt, ENOENT,
       "[Errno 2] No such file or directory: 'kolvex-no-such-program'", "FileNotFoundError"},
      {{"sh", "-c", "true"}, missing_dir, ENOENT,
       "[Errno 2] No such file or directory: '" + missing_dir.native() + "'", "FileNotFoundError"},
      {{not_executable.native()}, std::nullopt, EACCES,
       "[Errno 13] Permission denied: '" + not_executable.native() + "'", "OSError"},
  };
  for (const Case& c : cases) {
    ProcessOptions options;
    options.cwd = c.cwd;
    try {
      run_process(c.argv, options);
      ADD_FAILURE() << "started " << c.argv[0];
    } catch (const ProcessStartError& error) {
      EXPECT_EQ(error.error_number(), c.error_number);
      EXPECT_EQ(error.not_found(), c.error_number == ENOENT);
      EXPECT_EQ(error.message(), c.message);
      EXPECT_STREQ(error.type_name(), c.type_name.c_str());
    }
  }
  EXPECT_THROW(run_process({}), ValueError);
}

// Every signal is blocked while a child starts, and the child restores what it
// needs itself: the child runs with no signal blocked and with the default
// handling of the interruption signals, whatever this thread blocks, and this
// thread's mask is back as it was afterwards, whether the start succeeded or not.
TEST(Process, StartingAChildLeavesTheSignalMasksAsTheyShouldBe) {
  install_interrupt_handler();
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigset_t before;
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr1, &before), 0);
  auto mask_now = [] {
    sigset_t now;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &now);
    return now;
  };
  auto blocked_alone = [](const sigset_t& mask) {
    for (int number = 1; number < NSIG; ++number) {
      if ((sigismember(&mask, number) == 1) != (number == SIGUSR1)) return false;
    }
    return true;
  };

  const ProcessResult blocked = run_process({"sed", "-n", "s/^SigBlk:\t//p", "/proc/self/status"});
  EXPECT_EQ(blocked.stdout_text(), "0000000000000000\n");
  // Signals ignored by whoever started the tests stay ignored; these never are.
  const ProcessResult ignored = run_process({"sed", "-n", "s/^SigIgn:\t//p", "/proc/self/status"});
  const unsigned long long ignored_bits = std::stoull(ignored.stdout_text(), nullptr, 16);
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
    EXPECT_EQ(ignored_bits & (1ULL << (number - 1)), 0U) << number;
  }
  EXPECT_TRUE(blocked_alone(mask_now()));
  EXPECT_THROW(run_process({"kolvex-no-such-program"}), ProcessStartError);
  EXPECT_TRUE(blocked_alone(mask_now()));

  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TEST(Process, WorkingDirectoryAndEnvironmentOverlay) {
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  ::setenv("KOLVEX_PROCESS_TEST_DROP", "inherited", 1);
  ::setenv("KOLVEX_PROCESS_TEST_KEEP", "kept", 1);
  ProcessOptions options;
  options.cwd = scratch.path();
  options.env = {{"KOLVEX_PROCESS_TEST_SET", "new value"}, {"KOLVEX_PROCESS_TEST_DROP", std::nullopt}};
  const ProcessResult result = sh(
      "pwd -P; echo \"${KOLVEX_PROCESS_TEST_SET-unset}|${KOLVEX_PROCESS_TEST_DROP-unset}|"
      "${KOLVEX_PROCESS_TEST_KEEP-unset}\"",
      options);
  EXPECT_EQ(result.stdout_text(), fs::canonical(scratch.path()).native() + "\nnew value|unset|kept\n");

  ProcessOptions cleared;
  cleared.clear_env = true;
  cleared.env = {{"ONLY", "this"}};
  // Without PATH the default search path still finds env; the git settings of
  // every child come after what was asked for.
  EXPECT_EQ(run_process({"env"}, cleared).stdout_text(),
            "ONLY=this\nGIT_CONFIG_KEY_0=core.fsmonitor\nGIT_CONFIG_VALUE_0=false\n"
            "GIT_CONFIG_KEY_1=core.hooksPath\nGIT_CONFIG_VALUE_1=/dev/null\nGIT_CONFIG_COUNT=2\n");
  ::unsetenv("KOLVEX_PROCESS_TEST_DROP");
  ::unsetenv("KOLVEX_PROCESS_TEST_KEEP");
}

// A repository whose configuration names a file monitor command and whose
// hooks directory holds a hook that runs when status writes back the index:
// neither may run for a git started through run_process, whatever environment
// the caller passes, and settings already in the environment stay in force.
TEST(Process, GitInAChildRunsNoCommandOfTheRepository) {
  testkit::GitRepo repo = testkit::GitRepo::init();
  repo.write("app.py", "x = 1\n");
  repo.commit_all("first");
  const fs::path marker = repo.scratch() / "ran";
  const std::string touch = "touch '" + marker.native() + "'";
  repo.git({"config", "core.fsmonitor", touch + "; false"});
  repo.write(".git/hooks/post-index-change", "#!/bin/sh\n" + touch + "\n");
  ::chmod((repo / ".git/hooks/post-index-change").c_str(), 0755);

  using Overlay = std::map<std::string, std::optional<std::string>>;
  struct Case {
    const char* title;
    Overlay env;
    bool clear_env = false;
    std::string user_name;  // git config user.name as the child sees it
  };
  Overlay own = testkit::GitRepo::git_environment();
  Overlay counted = own;
  counted.insert({{"GIT_CONFIG_COUNT", "1"}, {"GIT_CONFIG_KEY_0", "user.name"}, {"GIT_CONFIG_VALUE_0", "From Env"}});
  Overlay repeated = counted;  // what a child of a child holds
  repeated.insert({{"GIT_CONFIG_COUNT", "3"},
                   {"GIT_CONFIG_KEY_1", "core.fsmonitor"},
                   {"GIT_CONFIG_VALUE_1", "false"},
                   {"GIT_CONFIG_KEY_2", "core.hooksPath"},
                   {"GIT_CONFIG_VALUE_2", "/dev/null"}});
  repeated["GIT_CONFIG_COUNT"] = "3";
  Overlay cleared = own;
  cleared["PATH"] = "/usr/bin:/bin";
  const std::vector<Case> cases = {
      {"inherited environment", own, false, "Kolvex Test"},
      {"entries of the caller's own", counted, false, "From Env"},
      {"settings already at the end", repeated, false, "From Env"},
      {"empty environment", cleared, true, "Kolvex Test"},
  };
  const std::string configured_name = repo.git({"config", "user.name"}).stdout_text();
  ASSERT_EQ(configured_name, "Kolvex Test\n");
  for (const Case& c : cases) {
    ProcessOptions options{.cwd = repo.path(), .env = c.env, .clear_env = c.clear_env};
    for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
             {"git", "ls-files", "--stage"}, {"git", "check-ignore", "--stdin"}, {"git", "status", "--porcelain"}}) {
      write_file(repo / "app.py", "x = 1\n");  // a fresh time stamp, so status refreshes the index
      const ProcessResult result = run_process(argv, options);
      EXPECT_LE(result.returncode, 1) << c.title << ": " << argv[1] << ": " << result.stderr_text();
      EXPECT_FALSE(fs::exists(marker)) << c.title << ": " << argv[1];
      fs::remove(marker);
    }
    EXPECT_EQ(run_process({"git", "config", "user.name"}, options).stdout_text(), c.user_name + "\n") << c.title;
    const ProcessResult list = run_process({"git", "config", "--get-all", "core.fsmonitor"}, options);
    // Set once, after the repository's own value, however deep the child.
    EXPECT_EQ(list.stdout_text(), touch + "; false\nfalse\n") << c.title;
  }
}

TEST(Process, OverlayPathIsUsedForTheSearch) {
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  const fs::path program = scratch.path() / "kolvex-overlay-tool";
  write_file(program, "#!/bin/sh\necho found\n");
  ::chmod(program.c_str(), 0755);
  ProcessOptions options;
  options.env = {{"PATH", scratch.path().native() + ":/usr/bin:/bin"}};
  EXPECT_EQ(run_process({"kolvex-overlay-tool"}, options).stdout_text(), "found\n");
  EXPECT_THROW(run_process({"kolvex-overlay-tool"}), ProcessStartError);
  EXPECT_EQ(find_program("kolvex-overlay-tool", scratch.path().native()), program);
  EXPECT_EQ(find_program("kolvex-overlay-tool"), std::nullopt);
  EXPECT_EQ(find_program("kolvex-overlay-tool", ""), std::nullopt);
  EXPECT_TRUE(find_program("sh"));
  ::chmod(program.c_str(), 0644);
  EXPECT_EQ(find_program("kolvex-overlay-tool", scratch.path().native()), std::nullopt);
}

TEST(Process, StandardInput) {
  ProcessOptions options;
  options.stdin_data = std::string("line one\nline two\0", 18);
  EXPECT_EQ(run_process({"cat"}, options).stdout_bytes, *options.stdin_data);
  // Without data the child reads an empty /dev/null.
  EXPECT_EQ(run_process({"cat"}).stdout_bytes, "");
  options.stdin_data = "";
  EXPECT_EQ(run_process({"cat"}, options).stdout_bytes, "");
  // Inherited: the child reads this process's own standard input.
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  write_file(scratch.path() / "input", "from parent");
  const int saved_stdin = ::dup(STDIN_FILENO);
  {
    UniqueFd input(::open((scratch.path() / "input").c_str(), O_RDONLY | O_CLOEXEC));
    ::dup2(input.get(), STDIN_FILENO);
  }
  ProcessOptions inherit;
  inherit.inherit_stdin = true;
  const std::string inherited = run_process({"cat"}, inherit).stdout_bytes;
  ::lseek(STDIN_FILENO, 0, SEEK_SET);
  const std::string not_inherited = run_process({"cat"}).stdout_bytes;
  ::dup2(saved_stdin, STDIN_FILENO);
  ::close(saved_stdin);
  EXPECT_EQ(inherited, "from parent");
  EXPECT_EQ(not_inherited, "");
  // A child that never reads its input: the runner neither dies of SIGPIPE nor hangs.
  options.stdin_data = std::string(8 << 20, 'x');
  EXPECT_EQ(run_process({"true"}, options).returncode, 0);
}

TEST(Process, LargeOutputsOnBothPipesDoNotDeadlock) {
  const std::size_t size = 4 << 20;
  ProcessOptions options;
  options.stdin_data = std::string(size, 'i');
  const ProcessResult result =
      sh("head -c 4194304 /dev/zero >&2; cat; head -c 4194304 /dev/zero >&2; head -c 3 /dev/zero", options);
  EXPECT_EQ(result.returncode, 0);
  EXPECT_EQ(result.stdout_bytes.size(), size + 3);
  EXPECT_EQ(result.stderr_bytes.size(), 2 * size);
}

TEST(Process, ConcurrentRunsKeepTheirOwnOutput) {
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int i = 0; i < 15; ++i) {
        const std::string tag = std::to_string(t) + "-" + std::to_string(i);
        const ProcessResult result = run_process({"sh", "-c", "printf %s \"$0\"; printf %s \"$0\" >&2", tag});
        if (result.stdout_bytes != tag || result.stderr_bytes != tag) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(Process, TimeLimitKillsTheChild) {
  ProcessOptions options;
  options.timeout = std::chrono::seconds(1);
  try {
    run_process({"sh", "-c", "printf partial; exec sleep 5"}, options);
    FAIL() << "no timeout";
  } catch (const ProcessTimeoutError& error) {
    EXPECT_EQ(error.message(), "Command '['sh', '-c', 'printf partial; exec sleep 5']' timed out after 1.0 seconds");
    EXPECT_EQ(error.partial().stdout_bytes, "partial");
    EXPECT_STREQ(error.type_name(), "TimeoutExpired");
  }
  // A time limit that is not reached changes nothing.
  options.timeout = std::chrono::seconds(30);
  EXPECT_EQ(run_process({"sh", "-c", "exit 4"}, options).returncode, 4);
}

TEST(Process, TimeLimitStopsWhatTheChildStartedToo) {
  // A wrapper whose own child ignores SIGTERM: only the SIGKILL to the group
  // after the grace ends it.
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  const fs::path pid_file = scratch.path() / "grandchild";
  ProcessOptions options;
  options.timeout = std::chrono::seconds(1);
  EXPECT_THROW(run_process({"sh", "-c", "(trap '' TERM; exec sleep 60) & echo $! > \"$1\"; wait", "sh",
                            pid_file.native()},
                           options),
               ProcessTimeoutError);
  const std::optional<pid_t> grandchild = testkit::wait_for_pid_file(pid_file);
  ASSERT_TRUE(grandchild);
  EXPECT_TRUE(testkit::process_gone_eventually(*grandchild));
}

TEST(Process, AChildThatClosedItsOutputIsStillWaitedFor) {
  // Both pipes close long before the child ends: its status, its time limit
  // and an interruption still apply to the wait that follows.
  const std::string closed = "exec >&- 2>&-; ";
  EXPECT_EQ(sh(closed + "sleep 0.3; exit 3").returncode, 3);
  EXPECT_EQ(sh(closed + "kill -TERM $$").returncode, -SIGTERM);

  ProcessOptions limited;
  limited.timeout = std::chrono::seconds(1);
  EXPECT_THROW(sh(closed + "exec sleep 30", limited), ProcessTimeoutError);

  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  const fs::path pid_file = scratch.path() / "pid";
  std::thread interrupter([&] {
    testkit::wait_for_pid_file(pid_file);
    set_interrupted(true);
  });
  EXPECT_THROW(run_process({"sh", "-c", "echo $$ > \"$1\"; exec >&- 2>&- sleep 30", "sh", pid_file.native()}),
               Interrupted);
  interrupter.join();
  set_interrupted(false);
  const std::optional<pid_t> pid = testkit::wait_for_pid_file(pid_file);
  ASSERT_TRUE(pid);
  EXPECT_EQ(::kill(*pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

// A child dies with the process that started it, even by SIGKILL, unless it
// is one left to finish: that one runs to its end.
TEST(Process, AChildDiesWithItsParentUnlessItIsLeftToFinish) {
  for (bool finishes : {false, true}) {
    SCOPED_TRACE(finishes ? "left to finish" : "killed with its parent");
    ScratchDir scratch = ScratchDir::create("kolvex-process-");
    const fs::path pid_file = scratch.path() / "pid";
    const fs::path finished = scratch.path() / "finished";
    const pid_t parent = ::fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
      run_process({"sh", "-c", "echo $$ > \"$1\"; sleep 0.3; echo done > \"$2\"", "sh", pid_file.native(),
                   finished.native()},
                  {.finishes_if_orphaned = finishes});
      ::_exit(0);
    }
    const std::optional<pid_t> child = testkit::wait_for_pid_file(pid_file);
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
    ASSERT_TRUE(child);
    EXPECT_TRUE(testkit::process_gone_eventually(*child));
    EXPECT_EQ(fs::exists(finished), finishes);
    if (finishes) {
      EXPECT_EQ(read_file(finished), "done\n");
    }
  }
}

TEST(Process, InterruptionLetsTheChildCleanUpBeforeItEnds) {
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  const fs::path pid_file = scratch.path() / "pid";
  const fs::path cleaned = scratch.path() / "cleaned";
  std::thread interrupter([&] {
    testkit::wait_for_pid_file(pid_file);
    set_interrupted(true);
  });
  EXPECT_THROW(run_process({"sh", "-c", "trap 'echo done > \"$2\"; exit 3' TERM; sleep 60 & echo $$ > \"$1\"; wait",
                            "sh", pid_file.native(), cleaned.native()}),
               Interrupted);
  interrupter.join();
  set_interrupted(false);
  // SIGTERM came first: the child's handler ran to its end.
  EXPECT_EQ(read_file(cleaned), "done\n");
}

TEST(Process, InterruptionKillsAndReapsTheChild) {
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  const fs::path pid_file = scratch.path() / "pid";
  std::thread interrupter([&] {
    testkit::wait_for_pid_file(pid_file);
    set_interrupted(true);
  });
  bool thrown = false;
  try {
    run_process({"sh", "-c", "echo $$ > \"$1\"; exec sleep 30", "sh", pid_file.native()});
  } catch (const Interrupted&) {
    thrown = true;
  }
  interrupter.join();
  set_interrupted(false);
  EXPECT_TRUE(thrown);
  const pid_t pid = std::stoi(read_file(pid_file));
  // Reaped: not even a zombie is left.
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);

  set_interrupted(true);
  EXPECT_THROW(run_process({"true"}), Interrupted);
  set_interrupted(false);
}

}  // namespace
}  // namespace kolvex::core
