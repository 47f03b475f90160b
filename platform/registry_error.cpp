#include "platform/registry_error.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include "core/fs.h"
#include "core/sqlite.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

// What went wrong, as far as the user's remedy goes.
enum class Trouble {
  DAMAGED,        // the registry's content cannot be read as a registry
  IS_DIRECTORY,   // a directory where a file belongs
  IS_LINK,        // a symbolic link where a lock file belongs
  NOT_DIRECTORY,  // a file where the directory itself belongs
  FILE_IN_THE_WAY,  // a file where a directory above it belongs
  READ_ONLY,      // no permission to write, or a read-only file system
  FULL,           // no space left
  IO,             // the disk failed
  BUSY,           // another connection holds a transaction open too long
  MOVED,          // the file was moved or deleted while open
  OTHER,
};

// Which of the data directory's entries failed: the remedies differ.
enum class Subject { REGISTRY, LOCK_DIRECTORY, LOCK_FILE };

constexpr std::string_view RUN_AGAIN = ", then run the command again";
constexpr std::string_view MOVE_REGISTRY_ASIDE =
    "move it aside (the published snapshots stay) and run kolvex index again for each repository";
constexpr std::string_view REMOVE_LOCK_FILE = "remove it (a lock file holds nothing; kolvex makes it again)";
constexpr std::string_view REPLACE_LOCK_DIRECTORY =
    "remove or rename it (the lock directory holds only empty lock files; kolvex makes it again)";

std::string strerror_text(int error) { return std::strerror(error); }

Trouble trouble_of_errno(int error) {
  switch (error) {
    case EROFS:
    case EACCES:
    case EPERM:
      return Trouble::READ_ONLY;
    case ENOSPC:
    case EDQUOT:
      return Trouble::FULL;
    case EIO:
      return Trouble::IO;
    case ENOTDIR:
    case EEXIST:
      return Trouble::NOT_DIRECTORY;
    case EISDIR:
      return Trouble::IS_DIRECTORY;
    case ELOOP:
      return Trouble::IS_LINK;
    default:
      return Trouble::OTHER;
  }
}

bool exists_no_follow(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

// The nearest of `path` and its ancestors that exists.
fs::path nearest_existing(const fs::path& path) {
  fs::path current = path;
  std::error_code ignored;
  while (!current.empty() && !fs::exists(current, ignored) && current.has_parent_path() &&
         current.parent_path() != current) {
    current = current.parent_path();
  }
  return current;
}

// The first of `path`'s ancestors (or `path` itself), from the root down, that
// exists and is not a directory; none when every existing one is a directory.
std::optional<fs::path> first_non_directory(const fs::path& path) {
  fs::path current;
  std::error_code ignored;
  for (const fs::path& part : path) {
    current /= part;
    if (!fs::exists(current, ignored)) return std::nullopt;
    if (!fs::is_directory(current, ignored)) return current;
  }
  return std::nullopt;
}

// What to do about a data directory (`data_dir`) the user cannot write to.
std::string make_writable(const fs::path& data_dir) {
  const fs::path existing = nearest_existing(data_dir);
  if (existing == data_dir) {
    return "make the data directory " + data_dir.string() + " and the files in it writable for this user";
  }
  return "make " + existing.string() + " writable for this user (kolvex makes its data directory " +
         data_dir.string() + " there)";
}

std::string remedy(Subject subject, Trouble trouble, const fs::path& data_dir) {
  switch (trouble) {
    case Trouble::DAMAGED:
      return std::string(MOVE_REGISTRY_ASIDE);
    case Trouble::IS_DIRECTORY:
      if (subject == Subject::REGISTRY) return std::string(MOVE_REGISTRY_ASIDE);
      return std::string(REMOVE_LOCK_FILE) + std::string(RUN_AGAIN);
    case Trouble::IS_LINK:
      return std::string(REMOVE_LOCK_FILE) + std::string(RUN_AGAIN);
    case Trouble::NOT_DIRECTORY:
      if (subject == Subject::LOCK_DIRECTORY) return std::string(REPLACE_LOCK_DIRECTORY) + std::string(RUN_AGAIN);
      return "move that file aside" + std::string(RUN_AGAIN);
    case Trouble::FILE_IN_THE_WAY:
      return "move that file aside" + std::string(RUN_AGAIN);
    case Trouble::READ_ONLY:
      return make_writable(data_dir) + std::string(RUN_AGAIN);
    case Trouble::FULL:
      return "free space on the file system that holds " + data_dir.string() + std::string(RUN_AGAIN);
    case Trouble::IO:
      return "check the disk that holds " + data_dir.string() + " (the system log names the failing device)" +
             std::string(RUN_AGAIN);
    case Trouble::BUSY:
      return "another program keeps a transaction open on it (another kolvex command, or a tool such as "
             "sqlite3); end that" +
             std::string(RUN_AGAIN);
    case Trouble::MOVED:
      return "run the command again";
    case Trouble::OTHER:
      break;
  }
  if (subject == Subject::REGISTRY) {
    return "check the file and the data directory " + data_dir.string() + std::string(RUN_AGAIN) +
           "; if the error stays, " + std::string(MOVE_REGISTRY_ASIDE);
  }
  return "check the data directory " + data_dir.string() + std::string(RUN_AGAIN);
}

struct Diagnosis {
  Trouble trouble;
  std::string cause;
};

// A failure to create a directory (or the directories above it): a file in the
// way is named, other errors speak for themselves.
Diagnosis directory_diagnosis(const fs::path& directory, int error) {
  Trouble trouble = trouble_of_errno(error);
  if (trouble == Trouble::NOT_DIRECTORY) {
    std::optional<fs::path> blocking = first_non_directory(directory);
    if (blocking == directory) return {trouble, "it is not a directory"};
    if (blocking) return {Trouble::FILE_IN_THE_WAY, blocking->string() + " is not a directory"};
  }
  return {trouble, strerror_text(error)};
}

// A failed SQLite call on the registry file `file`.
Diagnosis sqlite_diagnosis(const fs::path& file, const core::SqliteError& error) {
  const std::string text = error.what();
  if (error.code() == SQLITE_READONLY_DBMOVED) {
    return {Trouble::MOVED, text + " (it was moved or deleted while in use)"};
  }
  switch (error.code() & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return {Trouble::DAMAGED, text};
    case SQLITE_READONLY:
    case SQLITE_PERM:
      return {Trouble::READ_ONLY, text};
    case SQLITE_FULL:
      return {Trouble::FULL, text};
    case SQLITE_IOERR:
      return {Trouble::IO, text};
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {Trouble::BUSY, text};
    case SQLITE_CANTOPEN:
      break;
    default:
      return {Trouble::OTHER, text};
  }
  // SQLite does not say why it cannot open a file: look at the file and its
  // directory (the write-ahead log needs to create files beside it).
  std::error_code ignored;
  if (fs::is_directory(file, ignored)) return {Trouble::IS_DIRECTORY, "it is a directory"};
  const fs::path directory = file.parent_path();
  if (::access(directory.c_str(), W_OK) != 0) {
    const int cause = errno;
    return {trouble_of_errno(cause), text + " (" + directory.string() + ": " + strerror_text(cause) + ")"};
  }
  if (exists_no_follow(file) && ::access(file.c_str(), R_OK | W_OK) != 0) {
    const int cause = errno;
    return {trouble_of_errno(cause), text + " (" + strerror_text(cause) + ")"};
  }
  return {Trouble::OTHER, text};
}

std::string message(std::string_view action, std::string_view what, const fs::path& path,
                    const Diagnosis& diagnosis, Subject subject, const fs::path& data_dir) {
  return "cannot " + std::string(action) + " " + std::string(what) + " " + path.string() + ": " + diagnosis.cause +
         " — " + remedy(subject, diagnosis.trouble, data_dir);
}

}  // namespace

RegistryError registry_failure(const fs::path& file, std::string_view action, const std::exception_ptr& cause) {
  const fs::path data_dir = file.parent_path();
  Diagnosis diagnosis{Trouble::OTHER, ""};
  try {
    std::rethrow_exception(cause);
  } catch (const core::SqliteError& error) {
    diagnosis = sqlite_diagnosis(file, error);
  } catch (const fs::filesystem_error& error) {
    // Creating the data directory above the file.
    diagnosis = directory_diagnosis(data_dir, error.code().value());
    if (diagnosis.trouble == Trouble::NOT_DIRECTORY) {
      diagnosis = {Trouble::FILE_IN_THE_WAY, data_dir.string() + " is not a directory"};
    }
  } catch (const core::OsError& error) {
    diagnosis = {trouble_of_errno(error.error_number()), strerror_text(error.error_number())};
  } catch (const std::exception& error) {
    diagnosis = {Trouble::OTHER, error.what()};
  }
  return RegistryError(message(action, "the registry", file, diagnosis, Subject::REGISTRY, data_dir), cause);
}

void create_lock_directory(const fs::path& directory) {
  std::error_code error;
  fs::create_directories(directory, error);
  // create_directories reports no error for an existing file of that name.
  if (!error && !fs::is_directory(directory, error) && !error) {
    error = std::make_error_code(std::errc::not_a_directory);
  }
  if (!error) return;
  const fs::path data_dir = directory.parent_path();
  const Diagnosis diagnosis = directory_diagnosis(directory, error.value());
  throw RegistryError(message("create", "the lock directory", directory, diagnosis, Subject::LOCK_DIRECTORY, data_dir),
                      std::make_exception_ptr(fs::filesystem_error("cannot create directories", directory, error)));
}

RegistryError lock_file_failure(const fs::path& file, int error) {
  const fs::path data_dir = file.parent_path().parent_path();
  Diagnosis diagnosis{trouble_of_errno(error), strerror_text(error)};
  if (diagnosis.trouble == Trouble::IS_DIRECTORY) diagnosis.cause = "it is a directory";
  if (diagnosis.trouble == Trouble::IS_LINK) diagnosis.cause = "it is a symbolic link";
  return RegistryError(message("open", "the lock file", file, diagnosis, Subject::LOCK_FILE, data_dir),
                       std::make_exception_ptr(core::os_error(error, file)));
}

}  // namespace kolvex::platform
