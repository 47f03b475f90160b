// A recursive file-system watcher on Linux inotify.
//
// A Watcher is bound when it is constructed (its inotify instance is made then),
// is given one root and callback with schedule(), and delivers events on a
// thread of its own between start() and stop(). Every directory under the root
// is watched, except those the skip predicate rejects, which are never
// descended into; directories that appear later are picked up as they appear,
// and the entries already inside a new directory are reported as if created, so
// a file written into a directory that was just made is never missed. Symbolic
// links are not followed. One callback per event: the directory flag and the
// absolute path of the entry the event is about (for a move, each side arrives
// as its own event). When the kernel's event queue overflows, one event for the
// root itself (not flagged as a directory) stands for the events that were lost.
//
// Thread-safety: construct, schedule, start, stop and join from one thread; the
// callback and the skip predicate run on the watcher's thread (and, for the
// initial scan, on the thread that calls start). SIGINT is blocked on the
// watcher's thread so that Ctrl+C reaches the thread that started it. The
// destructor stops and joins.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "core/error.h"

namespace kolvex::watch {

// The watcher could not be set up or could not watch its root.
using core::RuntimeError;
KOLVEX_DECLARE_ERROR(WatcherError, RuntimeError);
// The system offers no inotify at all: the watcher cannot be bound.
KOLVEX_DECLARE_ERROR(WatcherUnavailableError, WatcherError);

struct WatchEvent {
  bool is_directory = false;
  std::string src_path;
};

struct ScheduleOptions {
  // True for a directory (absolute path) that is not to be watched or scanned.
  std::function<bool(const std::string&)> skip_directory;
};

class Watcher {
 public:
  // Binds an inotify instance. Throws WatcherUnavailableError when the system
  // has no inotify, WatcherError for any other failure.
  Watcher();
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Registers the callback for every event under `root` and its subdirectories.
  // Takes effect at start(); one root per watcher.
  void schedule(std::function<void(const WatchEvent&)> callback, std::filesystem::path root,
                ScheduleOptions options = {});
  // Watches the tree and starts delivery on the watcher's thread. Throws
  // WatcherError when the root cannot be watched (missing, not a directory,
  // the watch limit reached while adding the tree).
  void start();
  // Ends delivery; idempotent and safe before start().
  void stop();
  // Waits for the watcher's thread to end; returns at once when none runs.
  void join();

 private:
  void add_tree(const std::string& directory, bool report_entries, bool strict);
  void forget_tree(const std::string& directory);
  void deliver(bool is_directory, std::string path);
  void handle_events(const char* buffer, long length);
  void run();

  int inotify_fd_ = -1;
  int wake_fd_ = -1;
  std::function<void(const WatchEvent&)> callback_;
  std::string root_;
  ScheduleOptions options_;
  // Watch descriptor to the directory it watches; owned by the watcher's thread
  // once it runs.
  std::map<int, std::string> directories_;
  std::thread thread_;
};

// Test seam: while set, constructing a Watcher fails as if the system had no inotify.
void set_unavailable_for_testing(bool unavailable);

}  // namespace kolvex::watch
