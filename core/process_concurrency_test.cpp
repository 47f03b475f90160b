// The process runner called from several threads at once while some of the
// children run into their time limit: every call gets its own result or its own
// time-out, and every process group that was stopped is gone, wrappers'
// children included. Built into the concurrency test binary so that it also
// runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "core/process.h"
#include "testkit/process_probe.h"

namespace kolvex::core {
namespace {

namespace fs = std::filesystem;

constexpr int THREADS = 4;
constexpr int RUNS_PER_THREAD = 6;

TEST(ProcessConcurrency, TimeOutsOfSomeCallsLeaveTheOthersAlone) {
  ScratchDir scratch = ScratchDir::create("kolvex-process-");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < RUNS_PER_THREAD; ++i) {
        const std::string tag = std::to_string(t) + "-" + std::to_string(i);
        ProcessOptions options;
        options.timeout = std::chrono::milliseconds(500);
        if ((t + i) % 2 == 0) {
          // A wrapper whose child outlives it unless the whole group is stopped.
          const fs::path pid_file = scratch.path() / ("grandchild-" + tag);
          try {
            run_process({"sh", "-c", "sleep 60 & echo $! > \"$1\"; wait", "sh", pid_file.native()}, options);
            ++wrong;
          } catch (const ProcessTimeoutError&) {
          }
        } else {
          const ProcessResult result = run_process({"sh", "-c", "printf %s \"$0\"", tag}, options);
          if (result.returncode != 0 || result.stdout_bytes != tag) ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);

  // Every grandchild was stopped with its group.
  for (const auto& entry : fs::directory_iterator(scratch.path())) {
    const std::optional<pid_t> pid = testkit::wait_for_pid_file(entry.path());
    ASSERT_TRUE(pid) << entry.path();
    EXPECT_TRUE(testkit::process_gone_eventually(*pid)) << *pid;
  }
}

}  // namespace
}  // namespace kolvex::core
