// Probes of processes that a test started indirectly (a fake tool started by
// kolvex, a wrapper's child): the id a fake tool recorded, and whether a
// process with that id is still alive. Waits poll up to PROBE_LIMIT, a bound a
// working program never reaches; they assert nothing about speed.
//
// Thread-safety: free functions, safe from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>

namespace kolvex::testkit {

inline constexpr std::chrono::seconds PROBE_LIMIT{60};

// When the process with this id started, in clock ticks after boot (field 22 of
// /proc/<pid>/stat); none when there is no such process. Ids are reused once the
// system has gone round them, which many tests at once do within seconds: the
// id and its start time together name one process.
std::optional<unsigned long long> process_start_time(pid_t pid);

// True when no live process has this id: none at all, or a zombie (a zombie
// child of the calling process is reaped here; an orphan waits for init). With
// `started`, also when the process that has the id now started at another time:
// the one asked about is gone and a later one got its id.
bool process_gone(pid_t pid, std::optional<unsigned long long> started = std::nullopt);

// process_gone, polled until it holds or PROBE_LIMIT passed.
bool process_gone_eventually(pid_t pid, std::optional<unsigned long long> started = std::nullopt);

// The process id written to `path` as one line ("echo $$ > file"), once the
// line is complete; none when it did not appear within PROBE_LIMIT.
std::optional<pid_t> wait_for_pid_file(const std::filesystem::path& path);

}  // namespace kolvex::testkit
