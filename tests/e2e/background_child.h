// A `kolvex` (or any) program started in the background by a whole-command
// test: standard output and error go to files, standard input is /dev/null, the
// stop signals have their default dispositions, and the test waits for
// conditions with a generous bound instead of sleeping. A child the test leaves
// running is killed and reaped.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "testkit/fake_program.h"

extern char** environ;

namespace kolvex::e2e {

namespace fs = std::filesystem;
using testkit::EnvOverlay;

// Bound on every wait for a background program; never reached when things work.
inline constexpr auto DEADLINE = std::chrono::seconds(60);
inline constexpr auto POLL_STEP = std::chrono::milliseconds(20);

inline std::string read_or_empty(const fs::path& path) {
  return fs::exists(path) ? core::read_file(path) : std::string();
}

// A child process started without waiting for it; its standard output and
// error go to files, its standard input is /dev/null. Killed and reaped if the
// test leaves it running.
class BackgroundChild {
 public:
  BackgroundChild(const std::vector<std::string>& argv, const EnvOverlay& overlay, const fs::path& cwd, fs::path out,
        fs::path err)
      : out_(std::move(out)), err_(std::move(err)) {
    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string text(*entry);
      auto eq = text.find('=');
      if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
    }
    for (const auto& [name, value] : overlay) {
      if (value) env[name] = *value;
      else env.erase(name);
    }
    std::vector<std::string> env_texts;
    for (const auto& [name, value] : env) env_texts.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& text : env_texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args) argp.push_back(arg.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    // The stop signals must reach the program's own handlers even if the test runner ignores them.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, number);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int error = posix_spawn(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  ~BackgroundChild() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;

  std::string out() const { return read_or_empty(out_); }
  std::string err() const { return read_or_empty(err_); }
  void signal(int number) const { ::kill(pid_, number); }
  pid_t pid() const noexcept { return pid_; }

  // True once `condition` holds; false when the deadline passed or the child
  // ended before it held.
  template <typename Condition>
  bool wait_until(Condition condition) {
    for (auto until = std::chrono::steady_clock::now() + DEADLINE; std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(POLL_STEP)) {
      if (condition()) return true;
      if (finished()) return condition();
    }
    return false;
  }
  bool wait_for_output(const std::string& text) {
    return wait_until([&] { return out().find(text) != std::string::npos; });
  }
  bool wait_for_error(const std::string& text) {
    return wait_until([&] { return err().find(text) != std::string::npos; });
  }
  // The wait status once the child ended within the deadline; none otherwise.
  std::optional<int> wait_for_exit() {
    wait_until([] { return false; });
    return status_;
  }

 private:
  bool finished() {
    if (status_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

  fs::path out_;
  fs::path err_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace kolvex::e2e
