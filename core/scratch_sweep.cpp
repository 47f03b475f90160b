#include "core/scratch_sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "core/fs.h"

namespace kolvex::core {
namespace fs = std::filesystem;

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The names inside an open directory, "." and ".." left out. The descriptor
// stays open for the caller.
std::vector<std::string> entry_names(int directory_fd) {
  std::vector<std::string> names;
  int copy = ::dup(directory_fd);
  if (copy < 0) return names;
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    ::close(copy);
    return names;
  }
  ::rewinddir(stream);
  while (const dirent* entry = ::readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(stream);
  return names;
}

// Opens the directory `name` inside `parent_fd` without following a link,
// granting this user the access that removing its entries needs when a run left
// it without read, write or search permission.
UniqueFd open_subdirectory(int parent_fd, const std::string& name) {
  UniqueFd fd(::openat(parent_fd, name.c_str(), DIRECTORY_FLAGS));
  if (!fd && errno == EACCES) {
    struct stat info {};
    if (::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode) &&
        ::fchmodat(parent_fd, name.c_str(), info.st_mode | S_IRWXU, 0) == 0) {
      fd = UniqueFd(::openat(parent_fd, name.c_str(), DIRECTORY_FLAGS));
    }
  }
  if (fd) {
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU) {
      ::fchmod(fd.get(), info.st_mode | S_IRWXU);
    }
  }
  return fd;
}

// Removes `name` inside `parent_fd` with everything below it. A link or any
// other non-directory is unlinked, never followed. True when it is gone.
bool remove_tree_at(int parent_fd, const std::string& name) {
  if (::unlinkat(parent_fd, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  UniqueFd directory = open_subdirectory(parent_fd, name);
  if (!directory) return errno == ENOENT;
  for (const std::string& child : entry_names(directory.get())) remove_tree_at(directory.get(), child);
  return ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// The latest modification time of the directory and of the entries directly in it.
std::time_t last_change(int directory_fd, const struct stat& directory_info) {
  std::time_t newest = directory_info.st_mtime;
  for (const std::string& name : entry_names(directory_fd)) {
    struct stat info {};
    if (::fstatat(directory_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      newest = std::max(newest, info.st_mtime);
    }
  }
  return newest;
}

// Whether the process named as the creator of the unmarked directory `name` is
// certainly gone: the name carries this process's own pid namespace and no
// process has that id in it. A live process that reused the id, another
// namespace or a name of another shape leaves the answer to the age rule.
bool creator_gone(std::string_view name, std::string_view prefix, std::uint64_t own_pid_namespace) {
  const std::optional<ScratchCreator> creator = scratch_creator(name, prefix);
  if (!creator || own_pid_namespace == 0 || creator->pid_namespace != own_pid_namespace) return false;
  return ::kill(creator->pid, 0) != 0 && errno == ESRCH;
}

// Whether the directory `name` is abandoned; when it is marked, `mark`
// receives the locked mark, to be held until the tree is gone.
bool abandoned(int directory_fd, const struct stat& directory_info, std::string_view name, std::string_view prefix,
               std::uint64_t own_pid_namespace, std::chrono::seconds unmarked_age, UniqueFd& mark) {
  UniqueFd fd(::openat(directory_fd, std::string(SCRATCH_OWNER_MARK).c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;  // its owner is alive
    mark = std::move(fd);
    return true;
  }
  if (errno != ENOENT) return false;
  // Unmarked: its creator may still be on the way to placing the mark.
  if (creator_gone(name, prefix, own_pid_namespace)) return true;
  return std::time(nullptr) - last_change(directory_fd, directory_info) >= unmarked_age.count();
}

}  // namespace

std::vector<fs::path> remove_abandoned_scratch_dirs(const fs::path& parent, std::string_view prefix,
                                                    std::chrono::seconds unmarked_age) {
  std::vector<fs::path> removed;
  UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent_fd) return removed;
  const uid_t me = ::geteuid();
  const std::uint64_t own_pid_namespace = pid_namespace_id();
  for (const std::string& name : entry_names(parent_fd.get())) {
    if (!name.starts_with(prefix) || name.size() == prefix.size()) continue;
    UniqueFd directory(::openat(parent_fd.get(), name.c_str(), DIRECTORY_FLAGS));
    if (!directory) continue;  // gone, a link, or not a directory
    struct stat info {};
    if (::fstat(directory.get(), &info) != 0 || info.st_uid != me) continue;
    UniqueFd mark;
    if (!abandoned(directory.get(), info, name, prefix, own_pid_namespace, unmarked_age, mark)) continue;
    directory = UniqueFd();
    if (remove_tree_at(parent_fd.get(), name)) removed.push_back(parent / name);
  }
  std::sort(removed.begin(), removed.end());
  return removed;
}

}  // namespace kolvex::core
