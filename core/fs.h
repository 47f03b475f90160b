// Files: scratch directories, crash-safe replacement, and safe opening of files
// inside a repository.
//
// Thread-safety: free functions are thread-safe; a ScratchDir has one owner.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace kolvex::core {

// A failed system call on a path: the message reads like Python's OSError
// ("[Errno 2] No such file or directory: 'path'").
class OsError : public Error {
 public:
  OsError(std::string message, int error_number) : Error(std::move(message)), errno_(error_number) {}
  int error_number() const noexcept { return errno_; }
  const char* type_name() const noexcept override;

 private:
  int errno_;
};

// Builds the OsError for errno `error_number` on `path`.
OsError os_error(int error_number, const std::filesystem::path& path);

// A file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const noexcept { return fd_; }
  int release() noexcept { int fd = fd_; fd_ = -1; return fd; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The directory scratch directories go to by default: $TMPDIR when set and not
// empty, else /tmp.
std::filesystem::path scratch_parent();

// The file inside a marked scratch directory on which its owner holds an
// exclusive flock(2) for the directory's life. The kernel drops the lock when
// the owning process dies, so a directory whose mark can be locked belongs to
// nobody any more (see core/scratch_sweep.h).
inline constexpr std::string_view SCRATCH_OWNER_MARK = ".kolvex-owner";

// The process that made a marked scratch directory, as the directory's name
// records it: the id of the creator's pid namespace (0 when it could not be
// read) and the creator's process id in that namespace.
struct ScratchCreator {
  std::uint64_t pid_namespace = 0;
  pid_t pid = 0;
  bool operator==(const ScratchCreator&) const = default;
};

// The id of this process's pid namespace (the inode number of
// /proc/self/ns/pid), or 0 when it cannot be read.
std::uint64_t pid_namespace_id();

// "<prefix><pid namespace>-<pid>-": the start of the name of a marked scratch
// directory this process makes, so that a sweep can tell whether its creator
// still lives before the directory holds its mark.
std::string creator_named_prefix(std::string_view prefix);

// The creator named by a directory "<prefix><pid namespace>-<pid>-XXXXXX";
// nullopt for a name of any other shape.
std::optional<ScratchCreator> scratch_creator(std::string_view name, std::string_view prefix);

// A temporary directory "<parent>/<prefix>XXXXXX", removed with everything in it.
// The destructor removes it best-effort and never throws; remove() reports failure.
class ScratchDir {
 public:
  static ScratchDir create(std::string_view prefix,
                           const std::optional<std::filesystem::path>& parent = std::nullopt);
  // The same named "<parent>/<creator_named_prefix(prefix)>XXXXXX", holding
  // SCRATCH_OWNER_MARK locked until the directory is removed (the descriptor is
  // close-on-exec: child processes never keep the lock).
  static ScratchDir create_marked(std::string_view prefix,
                                  const std::optional<std::filesystem::path>& parent = std::nullopt);
  ScratchDir(ScratchDir&& other) noexcept;
  ScratchDir& operator=(ScratchDir&& other) noexcept;
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();

  const std::filesystem::path& path() const noexcept { return path_; }
  void remove();  // throws OsError; idempotent once it succeeded
  bool removed() const noexcept { return path_.empty(); }

 private:
  explicit ScratchDir(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
  UniqueFd owner_mark_;  // open and locked while a marked directory exists
};

// Writes `bytes` to `target` crash-safely: a temporary file in the same
// directory, fsync, rename over the target, fsync of the directory.
void write_file_atomic(const std::filesystem::path& target, std::string_view bytes);
// Writes a new file and fsyncs it (no rename).
void write_file_synced(const std::filesystem::path& target, std::string_view bytes);
void fsync_file(const std::filesystem::path& path);
void fsync_directory(const std::filesystem::path& directory);
// Asks the kernel to start writing the file's dirty pages to storage now,
// without waiting for them, so that a later fsync_file has less left to do.
// Best effort: it never fails, and it promises nothing about durability.
void start_writeback(const std::filesystem::path& path) noexcept;

// Copies the content and permission bits of `source` into `temporary` (a new
// file, which must not exist), flushes it to stable storage and renames it onto
// `target`; the directory itself is not flushed. On any failure `temporary` is
// removed, so a failed copy never keeps the space it took, and the OsError
// carries the errno of the call that failed (ENOSPC stays "No space left on
// device") and names `target`.
void copy_file_synced(const std::filesystem::path& source, const std::filesystem::path& temporary,
                      const std::filesystem::path& target);

// Copies the content of `source` into `target` (created, or emptied when it
// exists) inside the kernel where the file system allows, without flushing it to
// stable storage: for scratch files that are published by another, synced copy.
// Throws OsError naming the file whose call failed.
void copy_file_contents(const std::filesystem::path& source, const std::filesystem::path& target);

// Opens a regular file read-only without following a final symbolic link and
// without blocking (a FIFO or device fails instead of hanging); the descriptor is
// switched back to blocking mode. Throws OsError (ELOOP for a link, EINVAL-like
// "not a regular file" for anything else that is not a regular file).
UniqueFd open_regular_file_nofollow(const std::filesystem::path& path);
// The same for a path given as text, without building a path object.
UniqueFd open_regular_file_nofollow(const char* path);

// Reads a descriptor to its end, failing with OsError when more than
// `max_bytes` would be read (none: no bound).
std::string read_all(int fd, std::optional<std::size_t> max_bytes = std::nullopt);
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view bytes);

// Removes a file; a missing file is not an error.
void remove_file_if_exists(const std::filesystem::path& path);

}  // namespace kolvex::core
