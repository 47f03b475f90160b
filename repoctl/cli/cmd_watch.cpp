// The watch handler: reindex a repository after each burst of changes.
//
// The watcher's thread only filters events and notifies the debouncer; the main
// thread sleeps, polls and runs each reindex synchronously, so two runs never
// overlap. Ctrl+C, whether it comes while idle, during a poll or during a
// reindex, stops and joins the watcher and ends the command with status 0; an
// interrupted run records no outcome (its registry row stays "indexing").
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <thread>

#include "core/closing.h"
#include "core/error.h"
#include "core/text.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "platform/registry_error.h"
#include "repoctl/cli/commands.h"
#include "repoctl/pipeline/index_run.h"
#include "repoctl/pipeline/run_lock.h"
#include "watch/debouncer.h"
#include "watch/ignore.h"
#include "watch/watcher.h"

namespace kolvex::cli {
namespace {

namespace fs = std::filesystem;

constexpr double POLL_INTERVAL_SECONDS = 0.5;
// Ctrl+C is looked at this often while the loop sleeps.
constexpr auto INTERRUPT_CHECK_INTERVAL = std::chrono::milliseconds(50);

constexpr const char* WATCHER_MISSING =
    "error: `watchdog` is required for `kolvex watch` — install with `uv sync --extra watch`";

// Sleeps for `seconds`, throwing core::Interrupted as soon as Ctrl+C arrives.
void sleep_interruptibly(double seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (true) {
    core::check_interrupted();
    Clock::time_point now = Clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, INTERRUPT_CHECK_INTERVAL));
  }
}

// The PATH argument made absolute with links and ".." resolved; a path that does
// not exist is resolved as far as it goes.
fs::path resolve_repo_path(const std::string& text) {
  fs::path path = text.empty() ? fs::path(".") : fs::path(text);
  fs::path resolved = fs::weakly_canonical(fs::absolute(path));
  std::string value = resolved.string();
  while (value.size() > 1 && value.ends_with('/')) value.pop_back();
  return fs::path(value);
}

// Reads the slug's registry row and makes the lock directory, as a reindex
// will; raises platform::RegistryError when either is impossible.
void check_data_files(const std::string& slug) {
  const fs::path data_dir = platform::data_dir();
  platform::Registry registry(data_dir / "registry.db");
  core::with_closing(registry, [&] { registry.get(slug); });
  platform::create_lock_directory(pipeline::run_lock_path(data_dir, slug).parent_path());
}

// Stops and joins the watcher on every way out of the loop.
class WatcherStopper {
 public:
  explicit WatcherStopper(watch::Watcher& watcher) : watcher_(watcher) {}
  ~WatcherStopper() {
    watcher_.stop();
    watcher_.join();
  }
  WatcherStopper(const WatcherStopper&) = delete;
  WatcherStopper& operator=(const WatcherStopper&) = delete;

 private:
  watch::Watcher& watcher_;
};

}  // namespace

int cmd_watch(const Namespace& args) {
  // 1. Bind the watcher before looking at anything else.
  std::optional<watch::Watcher> watcher;
  try {
    watcher.emplace();
  } catch (const watch::WatcherUnavailableError&) {
    std::cerr << WATCHER_MISSING << std::endl;
    return 1;
  }

  // 2, 3. The repository path and its slug.
  const fs::path repo_path = resolve_repo_path(args.path.value_or(""));
  std::string slug;
  try {
    slug = platform::repo_slug(args.slug && !args.slug->empty() ? *args.slug : repo_path.filename().string());
  } catch (const core::ValueError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  }
  const double debounce = args.debounce.value_or(DEFAULT_DEBOUNCE);

  // Trouble with the registry or the lock directory would fail every reindex:
  // it ends the command before watching starts. Later trouble is reported by the
  // reindex that meets it, and watching goes on.
  try {
    check_data_files(slug);
  } catch (const platform::RegistryError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  }

  // 4. The debouncer and its action, which runs on this thread inside poll().
  auto reindex = [&] {
    std::cout << "[watch] change detected, reindexing " << slug << " ..." << std::endl;
    pipeline::IndexOptions options;
    options.slug = slug;
    options.scheme = args.scheme;
    options.language = args.language;
    options.scip = args.scip;
    options.watch = true;
    try {
      pipeline::index_repo(repo_path, options, detail::standard_error());
    } catch (const std::exception& error) {
      // core::Interrupted is not a std::exception: Ctrl+C passes through.
      std::cerr << "[watch] reindex failed: " << error.what() << std::endl;
      return;
    }
    std::cout << "[watch] " << slug << " reindexed" << std::endl;
  };
  watch::Debouncer debouncer(debounce, reindex);

  // 5. Watch the tree. Events below ignored directories of the repository never
  // count; the directories above its root do not matter.
  const std::string root = repo_path.string();
  auto ignored = [root](const std::string& path) { return watch::should_ignore_repo_path(root, path); };
  watcher->schedule(
      [&](const watch::WatchEvent& event) {
        if (event.is_directory || ignored(event.src_path)) return;
        debouncer.notify();
      },
      repo_path, {.skip_directory = ignored});
  watcher->start();
  WatcherStopper stopper(*watcher);

  // 6. The start line.
  std::cout << "[watch] watching " << root << " (slug=" << slug << ", debounce=" << core::format_float(debounce)
            << "s) — Ctrl+C to stop" << std::endl;

  // 7, 8. Sleep and poll until Ctrl+C; the stopper ends the watcher on every way out.
  try {
    while (true) {
      sleep_interruptibly(POLL_INTERVAL_SECONDS);
      try {
        debouncer.poll();
      } catch (const std::exception& error) {
        std::cerr << "[watch] unexpected error, still watching: " << error.what() << std::endl;
      }
    }
  } catch (const core::Interrupted&) {
    // Consumed here: the command ends normally.
    core::set_interrupted(false);
    return 0;
  }
}

}  // namespace kolvex::cli
