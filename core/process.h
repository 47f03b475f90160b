// Child processes started from an argument list (never a shell).
//
// run_process starts argv[0] (searched on PATH, or on the overlay's PATH when the
// overlay sets one), optionally in a working directory and with an environment
// overlay, feeds optional standard input, captures standard output and standard
// error as bytes, and waits. A start failure throws ProcessStartError, telling
// "program not found or working directory missing" (ENOENT) apart from other
// failures (permission, not executable, ...). A time limit kills the child and
// throws ProcessTimeoutError with what was captured. When an interruption
// arrives while a child runs (SIGINT, SIGTERM or SIGHUP, see core/error.h), the
// child is stopped and reaped and Interrupted is thrown.
//
// Process groups: the child leads a process group of its own, so whatever it
// starts (a wrapper script's tools) is stopped with it on time-out or
// interruption: SIGTERM to the group, a short grace to clean up, SIGKILL to what
// is left, then the child is reaped. The exception is a child that inherits this
// process's standard input: it stays in our group, where it can read the
// terminal. The child also gets SIGKILL from the kernel when this process dies,
// even by SIGKILL. What the child started itself cannot be reached once this
// process is gone that way: those processes are orphaned and end on their own
// (the pipes they hold to us are closed); every catchable way out of kolvex
// (Ctrl+C, SIGTERM, SIGHUP) stops the whole group first.
//
// Git settings: every child's environment carries CHILD_GIT_SETTINGS through
// git's GIT_CONFIG_COUNT / GIT_CONFIG_KEY_<n> / GIT_CONFIG_VALUE_<n> variables,
// appended after the entries the environment (or the overlay) already holds, so
// every git a child starts, however deep, has them. They switch off the
// commands a repository's own configuration could have a read-only git run
// (the checkout may come from anyone); a "git -c" on a command line still wins.
//
// Thread-safety: run_process may be called from several threads at once.
#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kolvex::core {

struct GitSetting {
  std::string_view key;
  std::string_view value;
};

// core.fsmonitor names a command (or git's own monitor daemon) that ls-files,
// status, check-ignore and every other command that reads the index with the
// monitor start. Hooks come from the repository too, and `git status` runs
// post-index-change when it writes back the index it refreshed; a hooks
// directory that cannot hold a file turns them all off. The other configured
// commands are out of reach of the read-only commands kolvex and its tools run
// (ls-files, rev-parse, check-ignore, cat-file, status): textconv and external
// diff run for diffs, credential helpers, ssh and protocol commands on the network.
inline constexpr std::array<GitSetting, 2> CHILD_GIT_SETTINGS = {
    {{"core.fsmonitor", "false"}, {"core.hooksPath", "/dev/null"}}};

struct ProcessOptions {
  std::optional<std::filesystem::path> cwd;
  // Variables to set (value) or remove (none) on top of the current environment.
  std::map<std::string, std::optional<std::string>> env;
  // Start from an empty environment instead of the current one.
  bool clear_env = false;
  std::optional<std::chrono::milliseconds> timeout;
  std::optional<std::string> stdin_data;  // none: standard input is /dev/null
  // With no stdin_data: standard input stays connected to this process's own
  // instead of /dev/null.
  bool inherit_stdin = false;
  // The child is left to finish when this process dies, instead of being
  // killed with it: for short commands that must not stop half-way, such as a
  // git write holding the repository's lock file while it runs.
  bool finishes_if_orphaned = false;
};

struct ProcessResult {
  // Python's returncode: the exit status, or -N when killed by signal N.
  int returncode = 0;
  std::string stdout_bytes;
  std::string stderr_bytes;

  bool ok() const noexcept { return returncode == 0; }
  std::optional<int> signal() const noexcept;
  // Output decoded as UTF-8 with replacement.
  std::string stdout_text() const;
  std::string stderr_text() const;
};

class ProcessStartError : public Error {
 public:
  ProcessStartError(std::string message, int error_number)
      : Error(std::move(message)), errno_(error_number) {}
  int error_number() const noexcept { return errno_; }
  // ENOENT: the program is not on the search path or the working directory is missing.
  bool not_found() const noexcept;
  const char* type_name() const noexcept override {
    return not_found() ? "FileNotFoundError" : "OSError";
  }

 private:
  int errno_;
};

class ProcessTimeoutError : public Error {
 public:
  ProcessTimeoutError(std::string message, ProcessResult partial)
      : Error(std::move(message)), partial_(std::move(partial)) {}
  const ProcessResult& partial() const noexcept { return partial_; }
  const char* type_name() const noexcept override { return "TimeoutExpired"; }

 private:
  ProcessResult partial_;
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Searches PATH (or `path_value` when given) for an executable program; none when absent.
std::optional<std::filesystem::path> find_program(const std::string& name,
                                                  const std::optional<std::string>& path_value = std::nullopt);

}  // namespace kolvex::core
