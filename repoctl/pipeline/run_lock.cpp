#include "repoctl/pipeline/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/error.h"
#include "platform/registry_error.h"

namespace kolvex::pipeline {
namespace {

// How often a waiting run looks at the interruption flag.
constexpr auto LOCK_POLL_INTERVAL = std::chrono::milliseconds(50);

}  // namespace

std::filesystem::path run_lock_path(const std::filesystem::path& data_dir, std::string_view slug) {
  return data_dir / "locks" / (std::string(slug) + ".lock");
}

RunLock::RunLock(const std::filesystem::path& data_dir, std::string_view slug, core::Diagnostics& diagnostics) {
  std::filesystem::path path = run_lock_path(data_dir, slug);
  platform::create_lock_directory(path.parent_path());
  fd_ = core::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd_) throw platform::lock_file_failure(path, errno);
  // Non-blocking attempts, so that Ctrl+C can end the wait.
  bool announced = false;
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) throw platform::lock_file_failure(path, errno);
    if (!announced && errno == EWOULDBLOCK) {
      diagnostics.line("kolvex: waiting for another run of " + std::string(slug) + " to finish (lock " + path.string() +
                       ")");
      announced = true;
    }
    core::check_interrupted();
    std::this_thread::sleep_for(LOCK_POLL_INTERVAL);
  }
}

RunLock::~RunLock() {
  if (fd_) ::flock(fd_.get(), LOCK_UN);
}

}  // namespace kolvex::pipeline
