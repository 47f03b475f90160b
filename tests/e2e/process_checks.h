// Checks on the processes that a background `kolvex` started: the ids its fake
// tools record, and whether those processes are gone. Waits poll up to the
// generous bound of background_child.h and assert nothing about speed.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "core/fs.h"
#include "tests/e2e/background_child.h"

namespace kolvex::e2e {

// True once `condition` holds, polling up to DEADLINE.
template <typename Condition>
bool eventually(Condition condition) {
  for (auto until = std::chrono::steady_clock::now() + DEADLINE; std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(POLL_STEP)) {
    if (condition()) return true;
  }
  return condition();
}

// True when no live process has this id: none at all, or a zombie waiting for
// a parent other than this test (a zombie of this test's own is reaped here).
inline bool process_gone(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, WNOHANG);
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// The process id that a fake tool wrote to `path` as one line ("$$" and a line
// end), once the line is complete; none when it never appears.
inline std::optional<pid_t> wait_for_pid_file(const std::filesystem::path& path) {
  std::optional<pid_t> pid;
  eventually([&] {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return false;
    const std::string text = core::read_file(path);
    if (text.empty() || text.back() != '\n') return false;
    pid = static_cast<pid_t>(std::stol(text));
    return true;
  });
  return pid;
}

}  // namespace kolvex::e2e
