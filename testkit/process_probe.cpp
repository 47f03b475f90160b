#include "testkit/process_probe.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// The fields of /proc/<pid>/stat after the parenthesised command name: the
// state letter first (field 3); none when there is no such process.
std::optional<std::vector<std::string>> stat_fields(pid_t pid) {
  std::string text;
  try {
    text = core::read_file("/proc/" + std::to_string(pid) + "/stat");
  } catch (const core::OsError&) {
    return std::nullopt;
  }
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return std::nullopt;
  std::vector<std::string> fields;
  std::istringstream rest(text.substr(close + 2));
  for (std::string field; rest >> field;) fields.push_back(field);
  if (fields.empty()) return std::nullopt;
  return fields;
}

// Field 22 of /proc/<pid>/stat, the start time, among the fields from field 3 on.
constexpr std::size_t START_TIME_FIELD = 22 - 3;

std::optional<unsigned long long> start_time_of(const std::vector<std::string>& fields) {
  if (fields.size() <= START_TIME_FIELD) return std::nullopt;
  return std::stoull(fields[START_TIME_FIELD]);
}

}  // namespace

std::optional<unsigned long long> process_start_time(pid_t pid) {
  const std::optional<std::vector<std::string>> fields = stat_fields(pid);
  if (!fields) return std::nullopt;
  return start_time_of(*fields);
}

bool process_gone(pid_t pid, std::optional<unsigned long long> started) {
  int status = 0;
  ::waitpid(pid, &status, WNOHANG);
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  const std::optional<std::vector<std::string>> fields = stat_fields(pid);
  if (!fields || (*fields)[0] == "Z") return true;
  if (!started) return false;
  const std::optional<unsigned long long> now = start_time_of(*fields);
  return now && *now != *started;
}

bool process_gone_eventually(pid_t pid, std::optional<unsigned long long> started) {
  return poll_until([pid, started] { return process_gone(pid, started); });
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
