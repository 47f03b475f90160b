// Trouble with the files of the data directory that every command needs: the
// registry ("registry.db") and the lock directory ("locks") with its lock files.
//
// Such trouble is the user's to mend (a damaged file, a directory in the wrong
// place, a read-only or full disk), so it is raised as one type, RegistryError,
// whose text names the file, the cause and what the user can do:
//   cannot open the registry <file>: file is not a database — move it aside ...
// Commands print it as one "error: " line and exit 1. The error keeps the
// failure it translates (a core::SqliteError, a filesystem error or a
// core::OsError) as its cause.
//
// Stateless functions; any thread may call them.
#pragma once

#include <exception>
#include <filesystem>
#include <string_view>

#include "core/error.h"

namespace kolvex::platform {

using core::RuntimeError;
KOLVEX_DECLARE_ERROR(RegistryError, RuntimeError);

// What the registry was asked to do when it failed: the verb of the message.
inline constexpr std::string_view REGISTRY_OPEN = "open";
inline constexpr std::string_view REGISTRY_READ = "read";
inline constexpr std::string_view REGISTRY_WRITE = "write to";

// The RegistryError of a failed `action` on the registry file `file`; `cause`
// is the failure caught (core::SqliteError, std::filesystem::filesystem_error,
// core::OsError or any other std::exception).
RegistryError registry_failure(const std::filesystem::path& file, std::string_view action,
                               const std::exception_ptr& cause);

// Creates the lock directory `directory` (and the data directory above it)
// unless it exists; raises RegistryError when that is impossible.
void create_lock_directory(const std::filesystem::path& directory);

// The RegistryError of a lock file that cannot be opened or locked; `error` is
// the errno of the failed call.
RegistryError lock_file_failure(const std::filesystem::path& file, int error);

}  // namespace kolvex::platform
