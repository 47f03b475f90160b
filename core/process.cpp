#include "core/process.h"

#include <fcntl.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "core/error.h"
#include "core/fs.h"
#include "core/text.h"

extern char** environ;

namespace kolvex::core {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting runner looks at the interruption flag.
constexpr std::chrono::milliseconds POLL_INTERVAL{50};
// How often a runner without a process descriptor looks whether a child that
// closed its output has ended.
constexpr std::chrono::milliseconds EXIT_POLL_INTERVAL{10};
constexpr std::size_t READ_CHUNK = 64 * 1024;
// How long a stopped process group gets between SIGTERM and SIGKILL to clean
// up (temporary files of a tool), and how often the stopper looks meanwhile.
constexpr std::chrono::milliseconds STOP_GRACE{2000};
constexpr std::chrono::milliseconds STOP_POLL{10};
// Search path when the environment has no PATH (Python's os.defpath).
constexpr const char* DEFAULT_PATH = "/bin:/usr/bin";
// Digits of the longest GIT_CONFIG_COUNT taken as a count: no environment holds
// entries for more.
constexpr std::size_t MAX_COUNT_DIGITS = 6;

// What the child reports through the close-on-exec pipe when it cannot start.
enum class StartStage : int { chdir = 1, exec = 2, setup = 3 };
struct StartReport {
  int stage;
  int error_number;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    const int error_number = errno;
    throw ProcessStartError("[Errno " + std::to_string(error_number) + "] " + std::strerror(error_number),
                            error_number);
  }
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::string variable_name(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::optional<std::string> environment_value(const std::vector<std::string>& entries, std::string_view name) {
  for (const std::string& entry : entries) {
    if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

// Sets `name` to `value` in place of any entry of that name.
void set_environment_value(std::vector<std::string>& entries, const std::string& name, const std::string& value) {
  std::erase_if(entries, [&](const std::string& entry) { return variable_name(entry) == name; });
  entries.push_back(name + "=" + value);
}

// True when the settings are the last entries of the GIT_CONFIG_COUNT list.
bool git_settings_end_list(const std::vector<std::string>& entries, std::size_t count) {
  if (count < CHILD_GIT_SETTINGS.size()) return false;
  std::size_t index = count - CHILD_GIT_SETTINGS.size();
  for (const GitSetting& setting : CHILD_GIT_SETTINGS) {
    const std::string n = std::to_string(index++);
    if (environment_value(entries, "GIT_CONFIG_KEY_" + n) != setting.key ||
        environment_value(entries, "GIT_CONFIG_VALUE_" + n) != setting.value) {
      return false;
    }
  }
  return true;
}

// Appends the git settings every child gets after the GIT_CONFIG_COUNT entries
// the environment already holds. A count git would refuse ("bogus count") is
// left alone: git then fails before it reads any configuration. Settings that
// already end the list (a kolvex started by kolvex) are not added again.
void add_git_settings(std::vector<std::string>& entries) {
  std::size_t count = 0;
  if (std::optional<std::string> value = environment_value(entries, "GIT_CONFIG_COUNT")) {
    if (value->empty() || value->size() > MAX_COUNT_DIGITS ||
        value->find_first_not_of("0123456789") != std::string::npos) {
      return;
    }
    count = static_cast<std::size_t>(std::stoul(*value));
  }
  if (git_settings_end_list(entries, count)) return;
  for (const GitSetting& setting : CHILD_GIT_SETTINGS) {
    const std::string index = std::to_string(count++);
    set_environment_value(entries, "GIT_CONFIG_KEY_" + index, std::string(setting.key));
    set_environment_value(entries, "GIT_CONFIG_VALUE_" + index, std::string(setting.value));
  }
  set_environment_value(entries, "GIT_CONFIG_COUNT", std::to_string(count));
}

std::vector<std::string> build_environment(const ProcessOptions& options) {
  std::vector<std::string> entries;
  if (!options.clear_env) {
    for (char** item = environ; item && *item; ++item) {
      std::string entry(*item);
      const auto overlay = options.env.find(variable_name(entry));
      if (overlay == options.env.end()) entries.push_back(std::move(entry));
    }
  }
  for (const auto& [name, value] : options.env) {
    if (value) entries.push_back(name + "=" + *value);
  }
  add_git_settings(entries);
  return entries;
}

std::vector<std::string> split_path(const std::string& value) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = value.find(':', start);
    parts.push_back(value.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

// The files the child tries to execute, in order (as Python's exec path search:
// an empty PATH element names the working directory).
std::vector<std::string> exec_candidates(const std::string& program, const std::optional<std::string>& path) {
  if (program.find('/') != std::string::npos) return {program};
  std::vector<std::string> candidates;
  for (const std::string& dir : split_path(path.value_or(DEFAULT_PATH))) {
    candidates.push_back(dir.empty() ? program : dir + "/" + program);
  }
  return candidates;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Only async-signal-safe calls from here on: the parent may have other threads.
[[noreturn]] void report_and_exit(int report_fd, StartStage stage, int error_number) {
  const StartReport report{static_cast<int>(stage), error_number};
  [[maybe_unused]] ssize_t ignored = ::write(report_fd, &report, sizeof report);
  ::_exit(127);
}

bool move_fd(int fd, int target) {
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;  // keep it across exec
  return ::dup2(fd, target) >= 0;
}

[[noreturn]] void child_main(pid_t parent, bool own_group, bool killed_with_parent, int stdin_fd, int stdout_fd,
                             int stderr_fd, int report_fd, const char* cwd, const std::vector<char*>& candidates,
                             char* const* argv, char* const* envp) {
  // The child dies with this process, even by SIGKILL, unless it is one left to
  // finish. The parent may have died before the request took effect (or before
  // the child ran): then nobody is left to wait for the child.
  if (killed_with_parent && ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    report_and_exit(report_fd, StartStage::setup, errno);
  }
  if (::getppid() != parent) ::_exit(127);
  // Its own process group, so that whatever it starts can be stopped with it.
  if (own_group && ::setpgid(0, 0) != 0) report_and_exit(report_fd, StartStage::setup, errno);
  // Python restores these before exec; an ignored SIGPIPE would be inherited.
  ::signal(SIGPIPE, SIG_DFL);
  ::signal(SIGXFSZ, SIG_DFL);
  // This process's interruption handler must not run here: the child may share
  // this process's memory until it execs, and the handler would write to it.
  for (int number : INTERRUPT_SIGNALS) ::signal(number, SIG_DFL);
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);
  if (!move_fd(stdin_fd, 0) || !move_fd(stdout_fd, 1) || !move_fd(stderr_fd, 2)) {
    report_and_exit(report_fd, StartStage::setup, errno);
  }
#if defined(SYS_close_range)
  // Descriptors of the parent (locks, databases) must not leak into the child.
  ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
  if (cwd && ::chdir(cwd) != 0) report_and_exit(report_fd, StartStage::chdir, errno);
  int saved_error = 0;
  int last_error = ENOENT;
  for (char* candidate : candidates) {
    if (!candidate) break;
    ::execve(candidate, argv, envp);
    last_error = errno;
    if (last_error != ENOENT && last_error != ENOTDIR && saved_error == 0) saved_error = last_error;
  }
  report_and_exit(report_fd, StartStage::exec, saved_error ? saved_error : last_error);
}

// What child_main needs, for a child started on a stack of its own.
struct ChildStart {
  pid_t parent;
  bool own_group;
  bool killed_with_parent;
  int stdin_fd;
  int stdout_fd;
  int stderr_fd;
  int report_fd;
  const char* cwd;
  const std::vector<char*>* candidates;
  char* const* argv;
  char* const* envp;
};

int child_entry(void* argument) {
  const ChildStart& start = *static_cast<const ChildStart*>(argument);
  child_main(start.parent, start.own_group, start.killed_with_parent, start.stdin_fd, start.stdout_fd,
             start.stderr_fd, start.report_fd, start.cwd, *start.candidates, start.argv, start.envp);
}

// Room for child_main and the system calls it makes, up to the exec.
constexpr std::size_t CHILD_STACK_BYTES = 64 * 1024;

// Sanitizer builds start children by fork (see start_process).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KOLVEX_CHILD_BY_FORK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KOLVEX_CHILD_BY_FORK 1
#endif
#endif

// Starts child_main in a new process. The child shares this process's memory
// and this thread waits until the child has exec'ed or exited: a fork would copy
// the page tables of the whole address space (hundreds of megabytes after a
// build) only for the exec to drop them, and every page this process wrote
// afterwards would fault once to become writable again. Every signal is blocked
// meanwhile, so no handler runs in the child on the shared memory; the child
// restores the default handling before it unblocks them. Sanitizer runtimes
// keep per-thread state that a child sharing memory would corrupt: their builds
// fork. Returns the child's pid, or -1 with errno set.
pid_t start_process(const ChildStart& start) {
#if defined(KOLVEX_CHILD_BY_FORK)
  const pid_t pid = ::fork();
  if (pid == 0) child_entry(const_cast<ChildStart*>(&start));
  return pid;
#else
  const std::unique_ptr<char[]> stack(new char[CHILD_STACK_BYTES]);
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::clone(child_entry, stack.get() + CHILD_STACK_BYTES, CLONE_VM | CLONE_VFORK | SIGCHLD,
                            const_cast<ChildStart*>(&start));
  const int error_number = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error_number;
  return pid;
#endif
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return decode_status(status);
}

// Stops a child that has not ended on its own and reaps it. A child in its own
// process group is stopped with everything it started there: SIGTERM to the
// group, up to STOP_GRACE for the group to empty, then SIGKILL to whatever is
// left. The child is reaped only once it exited, and the group is signalled
// only while it still has members, so the group id cannot have been reused.
void stop_and_reap(pid_t pid, bool own_group) {
  if (!own_group) {
    ::kill(pid, SIGKILL);
    reap(pid);
    return;
  }
  ::kill(-pid, SIGTERM);
  bool reaped = false;
  for (const auto until = Clock::now() + STOP_GRACE;; std::this_thread::sleep_for(STOP_POLL)) {
    if (!reaped) {
      int status = 0;
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      reaped = done == pid || (done < 0 && errno == ECHILD);
    }
    if (reaped && ::kill(-pid, 0) != 0) return;  // the group is empty
    if (Clock::now() >= until) break;
  }
  ::kill(-pid, SIGKILL);
  if (!reaped) reap(pid);
}

std::string python_list_repr(const std::vector<std::string>& argv) {
  std::string out = "[";
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i) out += ", ";
    out += quote(argv[i]);
  }
  return out + "]";
}

// Keeps SIGPIPE from killing the process while it writes a child's standard input:
// blocked for this thread, and a SIGPIPE raised by our own write is consumed.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask_);
  }
  ~SigpipeGuard() {
    if (raised_ && !was_pending_) {
      sigset_t pipe_set;
      sigemptyset(&pipe_set);
      sigaddset(&pipe_set, SIGPIPE);
      const timespec zero{0, 0};
      while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  void note_raised() { raised_ = true; }

 private:
  sigset_t old_mask_;
  bool was_pending_ = false;
  bool raised_ = false;
};

}  // namespace

std::optional<int> ProcessResult::signal() const noexcept {
  if (returncode < 0) return -returncode;
  return std::nullopt;
}

std::string ProcessResult::stdout_text() const { return decode_utf8_replace(stdout_bytes); }
std::string ProcessResult::stderr_text() const { return decode_utf8_replace(stderr_bytes); }

bool ProcessStartError::not_found() const noexcept { return errno_ == ENOENT; }

namespace {

// A started child, stopped and reaped (stop_and_reap) when its owner leaves by
// any way other than reaping it: an exception of any kind, an interruption or
// a time-out, so that no path can leave a running or unreaped child behind.
class ChildGuard {
 public:
  ChildGuard(pid_t pid, bool own_group) : pid_(pid), own_group_(own_group) {}
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  ~ChildGuard() {
    if (pid_ > 0) stop_and_reap(pid_, own_group_);
  }
  pid_t pid() const noexcept { return pid_; }
  // The owner reaped the child itself: nothing is left to stop.
  void reaped() noexcept { pid_ = -1; }

 private:
  pid_t pid_;
  bool own_group_;
};

// The parent's ends of a started child's pipes.
struct ChildPipes {
  UniqueFd out;
  UniqueFd err;
  UniqueFd in;  // open only while standard input data remains to be written
};

// The time limit of one call, measured from the child's start.
class Deadline {
 public:
  Deadline(const std::vector<std::string>& argv, const ProcessOptions& options)
      : argv_(argv), timeout_(options.timeout),
        at_(options.timeout ? std::optional(Clock::now() + *options.timeout) : std::nullopt) {}

  // How long the next wait may last; throws ProcessTimeoutError with what was
  // read so far once the limit has passed (the guard then stops the child).
  int wait_budget_ms(ProcessResult& result) const {
    auto budget = POLL_INTERVAL;
    if (at_) {
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(*at_ - Clock::now());
      if (remaining.count() <= 0) {
        const double seconds = std::chrono::duration<double>(*timeout_).count();
        throw ProcessTimeoutError(
            "Command '" + python_list_repr(argv_) + "' timed out after " + format_float(seconds) + " seconds",
            std::move(result));
      }
      budget = std::min(budget, remaining);
    }
    return static_cast<int>(budget.count());
  }

 private:
  const std::vector<std::string>& argv_;
  std::optional<std::chrono::milliseconds> timeout_;
  std::optional<Clock::time_point> at_;
};

// Starts the child with its standard streams on fresh pipes (standard
// input: the data pipe, /dev/null or this process's own). Returns once the exec
// succeeded; a failed start is reaped and raised as ProcessStartError.
std::unique_ptr<ChildGuard> start_child(const std::vector<std::string>& argv, const ProcessOptions& options,
                                        ChildPipes& pipes) {
  // Everything the child needs is prepared here: once started it may not allocate.
  std::vector<std::string> env_entries = build_environment(options);
  std::vector<std::string> candidates = exec_candidates(argv[0], environment_value(env_entries, "PATH"));
  std::vector<std::string> argv_copy = argv;
  std::vector<char*> argv_ptrs = pointers(argv_copy);
  std::vector<char*> env_ptrs = pointers(env_entries);
  std::vector<char*> candidate_ptrs = pointers(candidates);
  const std::string cwd = options.cwd ? options.cwd->native() : std::string();

  Pipe out = make_pipe();
  Pipe err = make_pipe();
  Pipe report = make_pipe();
  Pipe in;
  UniqueFd dev_null;
  if (options.stdin_data) {
    in = make_pipe();
  } else if (!options.inherit_stdin) {
    dev_null = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!dev_null) throw ProcessStartError(os_error(errno, "/dev/null").message(), errno);
  }
  const int child_stdin = options.stdin_data ? in.read.get() : dev_null ? dev_null.get() : STDIN_FILENO;

  // A child that reads this process's terminal stays in its process group:
  // outside the terminal's foreground group its reads would stop it.
  const bool own_group = !(options.inherit_stdin && !options.stdin_data);
  const pid_t parent = ::getpid();
  const ChildStart start{.parent = parent,
                         .own_group = own_group,
                         .killed_with_parent = !options.finishes_if_orphaned,
                         .stdin_fd = child_stdin,
                         .stdout_fd = out.write.get(),
                         .stderr_fd = err.write.get(),
                         .report_fd = report.write.get(),
                         .cwd = options.cwd ? cwd.c_str() : nullptr,
                         .candidates = &candidate_ptrs,
                         .argv = argv_ptrs.data(),
                         .envp = env_ptrs.data()};
  const pid_t pid = start_process(start);
  if (pid < 0) {
    const int error_number = errno;
    throw ProcessStartError("[Errno " + std::to_string(error_number) + "] " + std::strerror(error_number),
                            error_number);
  }
  auto child = std::make_unique<ChildGuard>(pid, own_group);
  // Also from this side, so the group exists before any signal is sent to it
  // (the child may not have run yet); once the child has exec'ed this fails
  // harmlessly, the child having joined the group itself.
  if (own_group) ::setpgid(pid, pid);

  out.write = UniqueFd();
  err.write = UniqueFd();
  report.write = UniqueFd();
  in.read = UniqueFd();
  dev_null = UniqueFd();

  // The report pipe closes on a successful exec; a report means the start failed.
  StartReport start_report{};
  std::size_t got = 0;
  while (got < sizeof start_report) {
    const ssize_t n = ::read(report.read.get(), reinterpret_cast<char*>(&start_report) + got,
                             sizeof start_report - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == sizeof start_report) {
    reap(pid);
    child->reaped();
    const bool chdir_failed = start_report.stage == static_cast<int>(StartStage::chdir);
    const std::string name = chdir_failed ? cwd : argv[0];
    throw ProcessStartError(os_error(start_report.error_number, name).message(), start_report.error_number);
  }
  pipes.out = std::move(out.read);
  pipes.err = std::move(err.read);
  pipes.in = std::move(in.write);
  return child;
}

// Writes the standard input data and reads both outputs into `result` until
// every pipe is closed. Ctrl+C raises Interrupted, the time limit
// ProcessTimeoutError; the caller's guard stops the child on the way out.
void exchange(ChildPipes& pipes, const ProcessOptions& options, const Deadline& deadline, ProcessResult& result) {
  std::optional<SigpipeGuard> sigpipe_guard;
  if (options.stdin_data) {
    sigpipe_guard.emplace();
    ::fcntl(pipes.in.get(), F_SETFL, ::fcntl(pipes.in.get(), F_GETFL) | O_NONBLOCK);
    if (options.stdin_data->empty()) pipes.in = UniqueFd();
  }
  std::size_t stdin_offset = 0;
  char buffer[READ_CHUNK];
  while (pipes.out || pipes.err || pipes.in) {
    check_interrupted();
    const int wait_ms = deadline.wait_budget_ms(result);
    pollfd fds[3];
    int count = 0;
    int out_index = -1, err_index = -1, in_index = -1;
    if (pipes.out) { out_index = count; fds[count++] = {pipes.out.get(), POLLIN, 0}; }
    if (pipes.err) { err_index = count; fds[count++] = {pipes.err.get(), POLLIN, 0}; }
    if (pipes.in) { in_index = count; fds[count++] = {pipes.in.get(), POLLOUT, 0}; }
    const int ready = ::poll(fds, static_cast<nfds_t>(count), wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      const int error_number = errno;
      throw ProcessStartError("[Errno " + std::to_string(error_number) + "] " + std::strerror(error_number),
                              error_number);
    }
    auto drain = [&](int index, UniqueFd& fd, std::string& sink) {
      if (index < 0 || fds[index].revents == 0) return;
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n > 0) {
        sink.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        fd = UniqueFd();
      }
    };
    drain(out_index, pipes.out, result.stdout_bytes);
    drain(err_index, pipes.err, result.stderr_bytes);
    if (in_index >= 0 && fds[in_index].revents != 0) {
      const std::string& data = *options.stdin_data;
      const ssize_t n = ::write(pipes.in.get(), data.data() + stdin_offset, data.size() - stdin_offset);
      if (n > 0) {
        stdin_offset += static_cast<std::size_t>(n);
        if (stdin_offset == data.size()) pipes.in = UniqueFd();
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        // The child stopped reading (EPIPE): like Python's communicate, not an error.
        if (errno == EPIPE) sigpipe_guard->note_raised();
        pipes.in = UniqueFd();
      }
    }
  }
}

// Waits for the child to end after both pipes closed and returns its decoded
// status (-1 when it cannot be learned). The child may still be running (it
// usually is for a moment: a process closes its files before it becomes a
// zombie). A process descriptor wakes the wait the moment the child ends;
// without one (an old kernel) the runner looks again every EXIT_POLL_INTERVAL.
int wait_for_exit(ChildGuard& child, const Deadline& deadline, ProcessResult& result) {
  const UniqueFd exit_watch(static_cast<int>(::syscall(SYS_pidfd_open, child.pid(), 0)));
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(child.pid(), &status, WNOHANG);
    if (done == child.pid()) {
      child.reaped();
      return decode_status(status);
    }
    if (done < 0 && errno != EINTR) {
      child.reaped();
      return -1;
    }
    check_interrupted();
    const int wait_ms = deadline.wait_budget_ms(result);
    if (exit_watch) {
      pollfd exit_event = {exit_watch.get(), POLLIN, 0};
      ::poll(&exit_event, 1, wait_ms);  // EINTR or a time-out: look again
    } else {
      std::this_thread::sleep_for(std::min(std::chrono::milliseconds(wait_ms), EXIT_POLL_INTERVAL));
    }
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  if (argv.empty()) throw ValueError("run_process needs at least the program name");
  check_interrupted();
  ChildPipes pipes;
  std::unique_ptr<ChildGuard> child = start_child(argv, options, pipes);
  const Deadline deadline(argv, options);
  ProcessResult result;
  exchange(pipes, options, deadline, result);
  result.returncode = wait_for_exit(*child, deadline, result);
  return result;
}

std::optional<std::filesystem::path> find_program(const std::string& name,
                                                  const std::optional<std::string>& path_value) {
  auto executable = [](const std::string& candidate) {
    std::error_code ec;
    return ::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate, ec);
  };
  if (name.find('/') != std::string::npos) {
    if (executable(name)) return std::filesystem::path(name);
    return std::nullopt;
  }
  std::optional<std::string> path = path_value;
  if (!path) {
    const char* value = std::getenv("PATH");
    path = value ? std::string(value) : std::string(DEFAULT_PATH);
  }
  if (path->empty()) return std::nullopt;  // as shutil.which
  for (const std::string& dir : split_path(*path)) {
    const std::string candidate = dir.empty() ? name : dir + "/" + name;
    if (executable(candidate)) return std::filesystem::path(candidate);
  }
  return std::nullopt;
}

}  // namespace kolvex::core
