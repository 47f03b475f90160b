#include "testkit/process_probe.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace kolvex::testkit {
namespace {

// A process is told from a later one that got its id by its start time.
TEST(ProcessProbe, AnIdWithAnotherStartTimeIsAnotherProcess) {
  char sleep_path[] = "/bin/sleep";
  char seconds[] = "30";
  char* argv[] = {sleep_path, seconds, nullptr};
  pid_t child = 0;
  ASSERT_EQ(::posix_spawn(&child, sleep_path, nullptr, nullptr, argv, environ), 0);

  const std::optional<unsigned long long> started = process_start_time(child);
  ASSERT_TRUE(started);
  EXPECT_FALSE(process_gone(child));
  EXPECT_FALSE(process_gone(child, started));
  EXPECT_TRUE(process_gone(child, *started + 1));

  ::kill(child, SIGKILL);
  EXPECT_TRUE(process_gone_eventually(child, started));  // reaped here: the child of this process
  EXPECT_FALSE(process_start_time(child));
}

}  // namespace
}  // namespace kolvex::testkit
