#include "watch/watcher.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <vector>

namespace kolvex::watch {
namespace {

std::atomic<bool> force_unavailable{false};

constexpr std::uint32_t WATCH_MASK = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_DONT_FOLLOW | IN_ONLYDIR | IN_EXCL_UNLINK;
// Event kinds delivered to the callback; the rest only keep the watch table current.
constexpr std::uint32_t REPORTED =
    IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::size_t EVENT_BUFFER_BYTES = 64 * 1024;

std::string errno_text(int error) { return std::generic_category().message(error); }

std::string join_path(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (!path.ends_with('/')) path.push_back('/');
  path.append(name);
  return path;
}

bool under(const std::string& path, const std::string& directory) {
  return path == directory || (path.size() > directory.size() && path.starts_with(directory) &&
                               path[directory.size()] == '/');
}

}  // namespace

void set_unavailable_for_testing(bool unavailable) { force_unavailable.store(unavailable); }

Watcher::Watcher() {
  if (force_unavailable.load()) throw WatcherUnavailableError("inotify is not available");
  inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_fd_ < 0) {
    int error = errno;
    if (error == ENOSYS) throw WatcherUnavailableError("inotify is not available: " + errno_text(error));
    throw WatcherError("cannot create an inotify instance: " + errno_text(error));
  }
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    int error = errno;
    ::close(inotify_fd_);
    throw WatcherError("cannot create the watcher's wake-up descriptor: " + errno_text(error));
  }
}

Watcher::~Watcher() {
  stop();
  join();
  ::close(wake_fd_);
  ::close(inotify_fd_);
}

void Watcher::schedule(std::function<void(const WatchEvent&)> callback, std::filesystem::path root,
                       ScheduleOptions options) {
  callback_ = std::move(callback);
  root_ = root.string();
  options_ = std::move(options);
}

void Watcher::start() {
  if (thread_.joinable()) throw WatcherError("the watcher is already running");
  add_tree(root_, false, true);

  // The thread inherits the signal mask: block SIGINT for it, then restore ours.
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Watcher::stop() {
  std::uint64_t one = 1;
  // A full counter already wakes the thread, so a failed write changes nothing.
  [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
}

void Watcher::join() {
  if (thread_.joinable()) thread_.join();
}

// Watches `directory` and every directory below it that is not skipped. With
// `report_entries`, every entry found is delivered as an event (a directory
// that appeared may already hold files). With `strict`, failures throw; else a
// directory that cannot be watched (gone again, unreadable) is passed over.
void Watcher::add_tree(const std::string& directory, bool report_entries, bool strict) {
  int wd = ::inotify_add_watch(inotify_fd_, directory.c_str(), WATCH_MASK);
  if (wd < 0) {
    int error = errno;
    if (!strict) return;
    if (error == ENOSPC) {
      throw WatcherError("cannot watch " + directory +
                         ": the inotify watch limit is reached (fs.inotify.max_user_watches)");
    }
    throw WatcherError("cannot watch " + directory + ": " + errno_text(error));
  }
  directories_[wd] = directory;

  std::error_code error;
  std::filesystem::directory_iterator entries(directory, error);
  if (error) {
    if (strict && directory == root_) throw WatcherError("cannot list " + directory + ": " + error.message());
    return;
  }
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) break;
    std::string path = entries->path().string();
    std::error_code type_error;
    bool is_directory = entries->is_directory(type_error) && !entries->is_symlink(type_error);
    if (is_directory) {
      if (options_.skip_directory && options_.skip_directory(path)) continue;
      if (report_entries) deliver(true, path);
      add_tree(path, report_entries, strict);
    } else if (report_entries) {
      deliver(false, path);
    }
  }
}

// Drops the watches of `directory` and everything below it (moved away).
void Watcher::forget_tree(const std::string& directory) {
  for (auto it = directories_.begin(); it != directories_.end();) {
    if (under(it->second, directory)) {
      ::inotify_rm_watch(inotify_fd_, it->first);
      it = directories_.erase(it);
    } else {
      ++it;
    }
  }
}

void Watcher::deliver(bool is_directory, std::string path) {
  if (!callback_) return;
  try {
    callback_(WatchEvent{is_directory, std::move(path)});
  } catch (...) {
    // The callback's contract is not to throw; an escaping error must not end
    // the process from this thread.
  }
}

void Watcher::handle_events(const char* buffer, long length) {
  for (long offset = 0; offset < length;) {
    inotify_event event;
    std::memcpy(&event, buffer + offset, sizeof event);
    std::string_view name(buffer + offset + sizeof event, event.len);
    name = name.substr(0, name.find('\0'));
    offset += static_cast<long>(sizeof event + event.len);

    if (event.mask & IN_Q_OVERFLOW) {
      // Events were lost: pick up directories that may have appeared meanwhile
      // and report one change for the whole tree.
      add_tree(root_, false, false);
      deliver(false, root_);
      continue;
    }
    if (event.mask & IN_IGNORED) {
      directories_.erase(event.wd);
      continue;
    }
    auto found = directories_.find(event.wd);
    if (found == directories_.end() || name.empty() || !(event.mask & REPORTED)) continue;
    std::string path = join_path(found->second, name);
    bool is_directory = (event.mask & IN_ISDIR) != 0;
    deliver(is_directory, path);

    if (!is_directory) continue;
    if (event.mask & (IN_MOVED_FROM | IN_DELETE)) forget_tree(path);
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
      if (!(options_.skip_directory && options_.skip_directory(path))) add_tree(path, true, false);
    }
  }
}

void Watcher::run() {
  std::vector<char> buffer(EVENT_BUFFER_BYTES);
  while (true) {
    pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    while (true) {
      ssize_t length = ::read(inotify_fd_, buffer.data(), buffer.size());
      if (length < 0 && errno == EINTR) continue;
      if (length <= 0) break;
      handle_events(buffer.data(), length);
    }
  }
}

}  // namespace kolvex::watch
