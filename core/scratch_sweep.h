// Reclaiming the scratch directories of processes that are gone.
//
// A process killed with SIGKILL never runs its ScratchDir destructor, so its
// scratch directory stays. remove_abandoned_scratch_dirs finds such directories
// by name prefix and removes those nobody owns any more:
//   - a directory holding SCRATCH_OWNER_MARK is removed only when the sweep can
//     take the mark's flock itself (a live owner holds it; the kernel dropped it
//     when the owner died), and the lock is kept while the tree is removed;
//   - a directory without a mark (made before marks existed, or in the instant
//     between its creation and its mark) is removed at once when its name
//     (see ScratchCreator in core/fs.h) names a creator in this process's pid
//     namespace that no longer exists, and otherwise only when neither it nor
//     any entry directly inside it changed for `unmarked_age` (a creator that
//     still lives, or one the name does not identify, may yet place the mark).
// Only real directories owned by this user are considered, and removal never
// follows a symbolic link: a link inside a leftover is unlinked, never entered.
//
// Thread-safety: thread-safe; several processes may sweep one directory at once.
#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>
#include <vector>

namespace kolvex::core {

// Removes the abandoned directories "<parent>/<prefix>*" and returns their
// paths, sorted. A directory that cannot be examined or removed is left alone
// (the next sweep tries again); the sweep itself never throws for one entry.
std::vector<std::filesystem::path> remove_abandoned_scratch_dirs(const std::filesystem::path& parent,
                                                                 std::string_view prefix,
                                                                 std::chrono::seconds unmarked_age);

}  // namespace kolvex::core
