// Fake external programs for tests.
//
// A FakeBin is a scratch directory of stand-in programs meant to come first on
// PATH. Every program is a copy of one bash script whose behaviour is read from
// environment variables named after the program: for "zoekt-git-index" the prefix
// is KOLVEX_FAKE_ZOEKT_GIT_INDEX_ (upper case, every other character than A-Z and
// 0-9 becomes "_"). The script, in this order:
//   _LOG      appends a record of its call to this file: program name and
//             arguments, working directory (physical), and the variables named in
//   _LOG_ENV  (blank- or comma-separated names; unset ones are recorded as unset);
//   _RUN      evaluates this shell snippet ("$@" holds the arguments);
//   _SLEEP    sleeps this many seconds;
//   _OUTPUT   when "1", creates the file named by the argument after "--output"
//             (or by "--output=<file>");
//   _STDOUT / _STDERR  prints these texts unchanged;
//   _EXIT     exits with this status (default 0).
// FakeProgram::env() builds these variables from a FakeBehaviour, setting or
// removing every one of them so that nothing leaks in from an earlier setting.
//
// Thread-safety: one owner. ScopedEnv changes the process environment and must
// not be used while other threads read it.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs.h"

namespace kolvex::testkit {

using EnvOverlay = std::map<std::string, std::optional<std::string>>;

// `base` with every entry of `overlay` laid over it.
EnvOverlay merge_env(EnvOverlay base, const EnvOverlay& overlay);

struct FakeBehaviour {
  std::string stdout_text;
  std::string stderr_text;
  int exit_code = 0;
  bool create_output = false;
  std::optional<double> sleep_seconds;
  std::string run;                    // shell snippet; empty: none
  std::vector<std::string> log_env;   // environment variables to record
};

// One recorded call of a fake program.
struct FakeInvocation {
  std::vector<std::string> argv;  // program name (no directory) first, then the arguments
  std::string cwd;
  std::map<std::string, std::optional<std::string>> env;  // the _LOG_ENV variables; none: unset
};

class FakeProgram {
 public:
  FakeProgram(std::string name, std::filesystem::path path, std::filesystem::path log_path);

  const std::string& name() const noexcept { return name_; }
  const std::filesystem::path& path() const noexcept { return path_; }
  const std::filesystem::path& log_path() const noexcept { return log_path_; }
  // "KOLVEX_FAKE_<NAME>_" + suffix.
  std::string variable(std::string_view suffix) const;

  // Every behaviour variable of this program, set from `behaviour` or removed.
  EnvOverlay env(const FakeBehaviour& behaviour = {}) const;

  // The calls recorded so far, oldest first (none when the log does not exist).
  std::vector<FakeInvocation> invocations() const;
  void clear_log() const;

 private:
  std::string name_;
  std::filesystem::path path_;
  std::filesystem::path log_path_;
};

class FakeBin {
 public:
  static FakeBin create();

  const std::filesystem::path& dir() const noexcept { return bin_; }
  // Installs the fake script under `name` (again: replaces it) and returns it.
  FakeProgram install(const std::string& name);
  FakeProgram program(const std::string& name) const;

  // The fake directory, then `rest` (none: the current PATH; "" : nothing else).
  std::string path_value(const std::optional<std::string>& rest = std::nullopt) const;
  // {"PATH": path_value(rest)}.
  EnvOverlay env(const std::optional<std::string>& rest = std::nullopt) const;

 private:
  FakeBin(core::ScratchDir scratch, std::filesystem::path bin, std::filesystem::path logs);
  core::ScratchDir scratch_;
  std::filesystem::path bin_;
  std::filesystem::path logs_;
};

// Applies an overlay to this process's environment (setenv / unsetenv) and
// restores the previous values when destroyed.
class ScopedEnv {
 public:
  explicit ScopedEnv(const EnvOverlay& overlay);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  EnvOverlay saved_;
};

}  // namespace kolvex::testkit
