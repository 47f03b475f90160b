// An exclusive per-slug lock that keeps two runs of one slug from interleaving.
//
// The lock is an advisory flock(2) on "<data_dir>/locks/<slug>.lock", held from
// construction to destruction. A second holder of the same slug, in this or any
// other process, waits until the first releases it; the kernel releases it when a
// process dies, so a crashed run never leaves a stale lock. A holder that has to
// wait says so first, with one line to the caller's diagnostics sink:
//   kolvex: waiting for another run of <slug> to finish (lock <path>)
// so that a run stuck behind another does not look like a hang. While it waits,
// a Ctrl+C ends the wait with core::Interrupted. A lock directory or lock file
// that cannot be made, opened or locked raises platform::RegistryError. Taken by
// index runs and by forget.
//
// Thread-safety: a RunLock belongs to one thread; two RunLocks of one slug in
// one process exclude each other like two processes do.
#pragma once

#include <filesystem>
#include <string_view>

#include "core/diagnostics.h"
#include "core/fs.h"

namespace kolvex::pipeline {

// The file of the lock of `slug`.
std::filesystem::path run_lock_path(const std::filesystem::path& data_dir, std::string_view slug);

class RunLock {
 public:
  RunLock(const std::filesystem::path& data_dir, std::string_view slug, core::Diagnostics& diagnostics);
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

 private:
  core::UniqueFd fd_;
};

}  // namespace kolvex::pipeline
