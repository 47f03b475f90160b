#include "testkit/process_probe.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <thread>

#include "core/fs.h"

namespace kolvex::testkit {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds PROBE_STEP{20};

template <typename Condition>
bool poll_until(Condition condition) {
  for (auto until = Clock::now() + PROBE_LIMIT; Clock::now() < until; std::this_thread::sleep_for(PROBE_STEP)) {
    if (condition()) return true;
  }
  return condition();
}

// The state letter of /proc/<pid>/stat (after the parenthesised command name).
std::optional<char> process_state(pid_t pid) {
  std::string text;
  try {
    text = core::read_file("/proc/" + std::to_string(pid) + "/stat");
  } catch (const core::OsError&) {
    return std::nullopt;
  }
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return std::nullopt;
  return text[close + 2];
}

}  // namespace

bool process_gone(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, WNOHANG);
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  const std::optional<char> state = process_state(pid);
  return !state || *state == 'Z';
}

bool process_gone_eventually(pid_t pid) {
  return poll_until([pid] { return process_gone(pid); });
}

std::optional<pid_t> wait_for_pid_file(const fs::path& path) {
  std::optional<pid_t> pid;
  poll_until([&] {
    std::error_code ec;
    if (!fs::exists(path, ec)) return false;
    const std::string text = core::read_file(path);
    if (text.empty() || text.back() != '\n') return false;
    pid = static_cast<pid_t>(std::stol(text));
    return true;
  });
  return pid;
}

}  // namespace kolvex::testkit
