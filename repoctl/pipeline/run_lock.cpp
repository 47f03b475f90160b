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

RunLock::RunLock(const std::filesystem::path& data_dir, std::string_view slug) {
  std::filesystem::path directory = data_dir / "locks";
  platform::create_lock_directory(directory);
  std::filesystem::path path = directory / (std::string(slug) + ".lock");
  fd_ = core::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd_) throw platform::lock_file_failure(path, errno);
  // Non-blocking attempts, so that Ctrl+C can end the wait.
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) throw platform::lock_file_failure(path, errno);
    core::check_interrupted();
    std::this_thread::sleep_for(LOCK_POLL_INTERVAL);
  }
}

RunLock::~RunLock() {
  if (fd_) ::flock(fd_.get(), LOCK_UN);
}

}  // namespace kolvex::pipeline
