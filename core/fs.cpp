#include "core/fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>

#include "core/text.h"

namespace kolvex::core {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;
// Bytes asked of one copy_file_range call, and the buffer of the read/write
// fallback used where the kernel cannot copy between the two files.
constexpr std::size_t COPY_RANGE_CHUNK = 8 * 1024 * 1024;
constexpr std::size_t COPY_BUFFER_SIZE = 1024 * 1024;
// The name a new owner mark has until it is locked (SCRATCH_OWNER_MARK + this).
constexpr const char* UNPLACED_MARK_SUFFIX = ".new";
// The end of a scratch directory's name that mkdtemp(3) replaces with letters and digits.
constexpr std::string_view MKDTEMP_SUFFIX = "XXXXXX";

std::string error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r: returns the text (which may or may not live in buffer).
  return strerror_r(error_number, buffer, sizeof buffer);
}

void write_all(int fd, std::string_view bytes, const fs::path& path) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw os_error(errno, path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Copies `in` from its current offset to its end into `out` with
// copy_file_range. False when the kernel cannot copy between these files
// before anything was copied, so the caller falls back to read and write.
// Throws the failing call's errno otherwise.
bool copy_in_kernel(int in, int out, const fs::path& source, const fs::path& target) {
  bool copied_any = false;
  for (;;) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, COPY_RANGE_CHUNK, 0);
    if (copied > 0) {
      copied_any = true;
      continue;
    }
    if (copied == 0) return true;
    const int error_number = errno;
    if (error_number == EINTR) continue;
    const bool unsupported = error_number == EXDEV || error_number == ENOSYS || error_number == EOPNOTSUPP ||
                             error_number == EINVAL;
    if (unsupported && !copied_any) return false;
    // Reads and writes fail on different files: name the one that failed.
    throw os_error(error_number, error_number == ENOSPC || error_number == EDQUOT || error_number == EFBIG
                                     ? target
                                     : source);
  }
}

void copy_with_buffer(int in, int out, const fs::path& source, const fs::path& target) {
  std::string buffer(COPY_BUFFER_SIZE, '\0');
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      throw os_error(errno, source);
    }
    if (got == 0) return;
    write_all(out, std::string_view(buffer.data(), static_cast<std::size_t>(got)), target);
  }
}

// The process's umask, read without changing it (umask(2) would race with other threads).
mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

// Lets a tree be removed even where a directory lost its write or search permission.
void make_tree_writable(const fs::path& root) {
  std::error_code ec;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code entry_ec;
    if (it->is_directory(entry_ec) && !it->is_symlink(entry_ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, entry_ec);
    }
  }
}

// Whether mkdtemp(3) may put `c` in place of an X: an ASCII letter or digit.
bool is_mkdtemp_character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Reads the decimal number at the start of `text` and the `separator` after it,
// removing both from `text`. False when `text` does not start that way.
bool take_number(std::string_view& text, char separator, std::uint64_t& number) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc() || stop == text.data() || stop == end || *stop != separator) return false;
  text.remove_prefix(static_cast<std::size_t>(stop - text.data()) + 1);
  return true;
}

}  // namespace

const char* OsError::type_name() const noexcept {
  switch (errno_) {
    case ENOENT: return "FileNotFoundError";
    case EEXIST: return "FileExistsError";
    case EACCES:
    case EPERM: return "PermissionError";
    case ENOTDIR: return "NotADirectoryError";
    case EISDIR: return "IsADirectoryError";
    case EINTR: return "InterruptedError";
    default: return "OSError";
  }
}

OsError os_error(int error_number, const fs::path& path) {
  return OsError("[Errno " + std::to_string(error_number) + "] " + error_text(error_number) + ": " +
                     quote(path.native()),
                 error_number);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint64_t pid_namespace_id() {
  // Read on every call rather than once: a child forked after its parent
  // unshared the pid namespace lives in another namespace than the parent.
  struct stat info {};
  if (::stat("/proc/self/ns/pid", &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.st_ino);
}

std::string creator_named_prefix(std::string_view prefix) {
  return std::string(prefix) + std::to_string(pid_namespace_id()) + "-" + std::to_string(::getpid()) + "-";
}

std::optional<ScratchCreator> scratch_creator(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  std::string_view rest = name.substr(prefix.size());
  std::uint64_t pid_namespace = 0;
  std::uint64_t pid = 0;
  if (!take_number(rest, '-', pid_namespace) || !take_number(rest, '-', pid)) return std::nullopt;
  if (pid == 0 || pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) return std::nullopt;
  if (rest.size() != MKDTEMP_SUFFIX.size() || !std::all_of(rest.begin(), rest.end(), is_mkdtemp_character)) {
    return std::nullopt;
  }
  return ScratchCreator{pid_namespace, static_cast<pid_t>(pid)};
}

fs::path scratch_parent() {
  const char* tmpdir = std::getenv("TMPDIR");
  return (tmpdir && *tmpdir) ? fs::path(tmpdir) : fs::path("/tmp");
}

ScratchDir ScratchDir::create(std::string_view prefix, const std::optional<fs::path>& parent) {
  fs::path base = parent ? *parent : scratch_parent();
  std::string pattern = (base / (std::string(prefix) + std::string(MKDTEMP_SUFFIX))).native();
  if (::mkdtemp(pattern.data()) == nullptr) throw os_error(errno, base);
  std::error_code ec;
  fs::path created = fs::absolute(pattern, ec);
  return ScratchDir(ec ? fs::path(pattern) : created);
}

ScratchDir ScratchDir::create_marked(std::string_view prefix, const std::optional<fs::path>& parent) {
  // The name says who creates the directory: a process killed before its mark
  // is in place leaves a directory the next sweep can still tell is abandoned.
  ScratchDir scratch = create(creator_named_prefix(prefix), parent);
  // A sweep of the parent may look into the directory at any time. The mark is
  // locked under another name first and then renamed into place, so a mark a
  // sweep finds is always held; until the rename the directory counts as
  // unmarked, which a sweep leaves alone while its creator lives.
  const fs::path mark = scratch.path_ / SCRATCH_OWNER_MARK;
  const fs::path unplaced = scratch.path_ / (std::string(SCRATCH_OWNER_MARK) + UNPLACED_MARK_SUFFIX);
  UniqueFd fd(::open(unplaced.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw os_error(errno, unplaced);
  // Nobody else opens the unplaced mark, so this never waits.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) throw os_error(errno, unplaced);
  if (::rename(unplaced.c_str(), mark.c_str()) != 0) throw os_error(errno, mark);
  scratch.owner_mark_ = std::move(fd);
  return scratch;
}

ScratchDir::ScratchDir(ScratchDir&& other) noexcept
    : path_(std::move(other.path_)), owner_mark_(std::move(other.owner_mark_)) {
  other.path_.clear();
}

ScratchDir& ScratchDir::operator=(ScratchDir&& other) noexcept {
  if (this != &other) {
    try {
      if (!removed()) remove();
    } catch (...) {
    }
    path_ = std::move(other.path_);
    other.path_.clear();
    owner_mark_ = std::move(other.owner_mark_);
  }
  return *this;
}

ScratchDir::~ScratchDir() {
  try {
    if (!removed()) remove();
  } catch (...) {
    // Best effort: a scratch directory that cannot be removed is left behind.
  }
}

void ScratchDir::remove() {
  if (removed()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
  if (ec) {
    make_tree_writable(path_);
    ec.clear();
    fs::remove_all(path_, ec);
    if (ec) throw os_error(ec.value(), path_);
  }
  path_.clear();
  // Released only now: until the tree is gone, no sweep may take it for a leftover.
  owner_mark_ = UniqueFd();
}

void write_file_atomic(const fs::path& target, std::string_view bytes) {
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temp = (directory / ("." + target.filename().native() + ".tmpXXXXXX")).native();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw os_error(errno, directory);
  UniqueFd owned(fd);
  try {
    struct stat existing {};
    const mode_t mode =
        ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : (0666 & ~current_umask());
    if (::fchmod(fd, mode) != 0) throw os_error(errno, temp);
    write_all(fd, bytes, temp);
    if (::fsync(fd) != 0) throw os_error(errno, temp);
    if (::close(owned.release()) != 0) throw os_error(errno, temp);
    if (::rename(temp.c_str(), target.c_str()) != 0) throw os_error(errno, target);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  fsync_directory(directory);
}

void write_file_synced(const fs::path& target, std::string_view bytes) {
  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) throw os_error(errno, target);
  write_all(fd.get(), bytes, target);
  if (::fsync(fd.get()) != 0) throw os_error(errno, target);
  if (::close(fd.release()) != 0) throw os_error(errno, target);
}

void fsync_file(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw os_error(errno, path);
  if (::fsync(fd.get()) != 0) throw os_error(errno, path);
}

void start_writeback(const fs::path& path) noexcept {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd) ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void fsync_directory(const fs::path& directory) {
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw os_error(errno, directory);
  if (::fsync(fd.get()) != 0 && errno != EINVAL) throw os_error(errno, directory);
}

void copy_file_synced(const fs::path& source, const fs::path& temporary, const fs::path& target) {
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!in) throw os_error(errno, source);
  struct stat info {};
  if (::fstat(in.get(), &info) != 0) throw os_error(errno, source);
  UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) throw os_error(errno, target);
  try {
    if (!copy_in_kernel(in.get(), out.get(), source, target)) copy_with_buffer(in.get(), out.get(), source, target);
    if (::fchmod(out.get(), info.st_mode & 07777) != 0) throw os_error(errno, target);
    if (::fsync(out.get()) != 0) throw os_error(errno, target);
    if (::close(out.release()) != 0) throw os_error(errno, target);
    if (::rename(temporary.c_str(), target.c_str()) != 0) throw os_error(errno, target);
  } catch (...) {
    out = UniqueFd();
    ::unlink(temporary.c_str());
    throw;
  }
}

void copy_file_contents(const fs::path& source, const fs::path& target) {
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!in) throw os_error(errno, source);
  UniqueFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out) throw os_error(errno, target);
  if (!copy_in_kernel(in.get(), out.get(), source, target)) copy_with_buffer(in.get(), out.get(), source, target);
  if (::close(out.release()) != 0) throw os_error(errno, target);
}

UniqueFd open_regular_file_nofollow(const fs::path& path) { return open_regular_file_nofollow(path.c_str()); }

UniqueFd open_regular_file_nofollow(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) throw os_error(errno, path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw os_error(errno, path);
  if (!S_ISREG(info.st_mode)) throw OsError("not a regular file: " + quote(path), EINVAL);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) throw os_error(errno, path);
  return fd;
}

std::string read_all(int fd, std::optional<std::size_t> max_bytes) {
  std::string out;
  char buffer[READ_CHUNK];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error_number = errno;
      throw OsError("[Errno " + std::to_string(error_number) + "] " + error_text(error_number), error_number);
    }
    if (got == 0) return out;
    if (max_bytes && out.size() + static_cast<std::size_t>(got) > *max_bytes) {
      throw OsError("[Errno " + std::to_string(EFBIG) + "] " + error_text(EFBIG), EFBIG);
    }
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string read_file(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) throw os_error(errno, path);
  try {
    return read_all(fd.get());
  } catch (const OsError& error) {
    throw os_error(error.error_number(), path);
  }
}

void write_file(const fs::path& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) throw os_error(errno, path);
  write_all(fd.get(), bytes, path);
  if (::close(fd.release()) != 0) throw os_error(errno, path);
}

void remove_file_if_exists(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw os_error(errno, path);
}

}  // namespace kolvex::core
