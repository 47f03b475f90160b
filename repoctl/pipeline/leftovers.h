// What killed runs leave behind, and its removal at the start of the next run.
//
// A run killed outright (SIGKILL, power loss) never unwinds: its scratch
// directory "<TMPDIR>/kolvex-index-*" and, when it died while publishing, the
// temporary pointer ".current.tmp-<pid>" or the incomplete database copy
// "index-*.incomplete.db" in its slug's snapshot directory stay, and so may a
// half-written capture record ("record.tmp-<pid>", capture_record.h).
// remove_run_leftovers removes them all. Scratch directories are shared by
// all slugs and runs, so only those whose owner is gone are touched (see
// core/scratch_sweep.h); publication temporaries belong to one slug, and the
// caller holds that slug's RunLock, so no live publication is writing one.
//
// Thread-safety: stateless; callers hold the slug's RunLock.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kolvex::pipeline {

// The prefix of a run's scratch directory in the temporary directory.
inline constexpr std::string_view RUN_SCRATCH_PREFIX = "kolvex-index-";
// How long a scratch directory without an owner mark must have been left
// unchanged before it counts as a leftover when its name does not show its
// creator gone (made by a version that did not mark or name them, or by a run
// in another pid namespace): far longer than any stage of a live run goes
// without writing to it.
inline constexpr std::chrono::hours UNMARKED_SCRATCH_AGE{24};

// Removes abandoned run scratch directories and the stale publication
// temporaries of `slug`. Best effort: whatever cannot be removed now is left for a later run,
// and the run goes on.
void remove_run_leftovers(std::string_view slug, const std::optional<std::filesystem::path>& root);

}  // namespace kolvex::pipeline
