#include "watch/debouncer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace kolvex::watch {
namespace {

// A clock the test sets by hand; counts its readings.
struct FakeClock {
  double now = 0.0;
  int reads = 0;
  std::function<double()> function() {
    return [this] {
      ++reads;
      return now;
    };
  }
};

// A debouncer over a fake clock whose action records the time of every fire.
struct Harness {
  explicit Harness(double delay) : debouncer(delay, [this] { fires.push_back(clock.now); }, {clock.function()}) {}
  void notify_at(double time) {
    clock.now = time;
    debouncer.notify();
  }
  bool poll_at(double time) {
    clock.now = time;
    return debouncer.poll();
  }
  FakeClock clock;
  std::vector<double> fires;
  Debouncer debouncer;
};

TEST(Debouncer, NewDebouncerNeitherFiresNorReadsTheClock) {
  Harness h(5.0);
  EXPECT_FALSE(h.poll_at(100.0));
  EXPECT_FALSE(h.poll_at(200.0));
  EXPECT_EQ(h.clock.reads, 0);
  EXPECT_TRUE(h.fires.empty());
}

// Each case: notification times, poll times and the expected fire times, with
// polls and notifications merged in time order (a notify and a poll at the same
// time: the notify comes first).
struct Scenario {
  const char* name;
  double delay;
  std::vector<double> notifies;
  std::vector<double> polls;
  std::vector<double> fires;
};

std::vector<double> every(double from, double to, double step) {
  std::vector<double> times;
  for (int i = 0; from + i * step <= to + 1e-9; ++i) times.push_back(from + i * step);
  return times;
}

TEST(Debouncer, BurstsFireOnceAtTheFirstPollAfterTheQuietPeriod) {
  const Scenario scenarios[] = {
      {"single notification", 5.0, {0.0}, {4.9, 5.0, 5.5, 6.0, 100.0}, {5.0}},
      {"notifications keep postponing", 5.0, {0.0, 3.0, 6.0, 9.0}, every(0.5, 20.0, 0.5), {14.0}},
      {"re-armed after a fire", 5.0, {0.0, 7.0}, every(0.5, 20.0, 0.5), {5.0, 12.0}},
      {"re-armed, irregular polls", 5.0, {0.0, 7.0}, {5.0, 11.9, 12.7, 13.0}, {5.0, 12.7}},
      {"zero delay fires at the next poll", 0.0, {1.0, 2.0}, {1.0, 1.5, 2.0, 2.5}, {1.0, 2.0}},
      {"negative delay behaves like zero", -3.0, {1.0}, {1.0, 1.5}, {1.0}},
      {"no notification, no fire", 5.0, {}, every(0.5, 20.0, 0.5), {}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    Harness h(s.delay);
    std::size_t n = 0;
    for (double poll : s.polls) {
      while (n < s.notifies.size() && s.notifies[n] <= poll) h.notify_at(s.notifies[n++]);
      std::size_t before = h.fires.size();
      bool fired = h.poll_at(poll);
      EXPECT_EQ(fired, h.fires.size() == before + 1) << "poll at " << poll;
    }
    EXPECT_EQ(h.fires, s.fires);
  }
}

TEST(Debouncer, NotANumberDelayNeverFires) {
  Harness h(std::numeric_limits<double>::quiet_NaN());
  h.notify_at(0.0);
  for (double t : {0.0, 1.0, 1e9}) EXPECT_FALSE(h.poll_at(t));
  EXPECT_TRUE(h.fires.empty());
}

TEST(Debouncer, NotificationDuringTheActionReArms) {
  // The action starts at 5 and runs until 8; a notification arrives at 6.
  FakeClock clock;
  std::vector<double> fires;
  Debouncer* self = nullptr;
  Debouncer debouncer(
      5.0,
      [&] {
        fires.push_back(clock.now);
        if (fires.size() == 1) {
          clock.now = 6.0;
          self->notify();
          clock.now = 8.0;
        }
      },
      {clock.function()});
  self = &debouncer;
  clock.now = 0.0;
  debouncer.notify();
  clock.now = 5.0;
  EXPECT_TRUE(debouncer.poll());
  for (double t : {8.5, 10.5}) {
    clock.now = t;
    EXPECT_FALSE(debouncer.poll());
  }
  clock.now = 11.0;
  EXPECT_TRUE(debouncer.poll());
  EXPECT_EQ(fires, (std::vector<double>{5.0, 11.0}));
}

TEST(Debouncer, FailingActionPropagatesAndCountsAsFired) {
  FakeClock clock;
  int calls = 0;
  Debouncer debouncer(
      1.0,
      [&] {
        if (++calls == 1) throw std::runtime_error("boom");
      },
      {clock.function()});
  debouncer.notify();
  clock.now = 1.0;
  try {
    debouncer.poll();
    FAIL() << "the action's error did not propagate";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "boom");
  }
  clock.now = 2.0;
  EXPECT_FALSE(debouncer.poll());
  EXPECT_EQ(calls, 1);

  clock.now = 3.0;
  debouncer.notify();
  clock.now = 4.0;
  EXPECT_TRUE(debouncer.poll());
  EXPECT_EQ(calls, 2);
}

TEST(Debouncer, ReadingEqualToTheFiredOneDoesNotReArm) {
  Harness h(0.0);
  h.notify_at(3.0);
  EXPECT_TRUE(h.poll_at(3.0));
  h.notify_at(3.0);  // a clock that did not advance
  EXPECT_FALSE(h.poll_at(3.0));
  EXPECT_FALSE(h.poll_at(10.0));
  EXPECT_EQ(h.fires, std::vector<double>{3.0});
}

TEST(Debouncer, FiredBurstIsNotRecheckedAgainstTheClock) {
  Harness h(5.0);
  h.notify_at(0.0);
  ASSERT_TRUE(h.poll_at(5.0));
  int reads = h.clock.reads;
  EXPECT_FALSE(h.poll_at(6.0));
  EXPECT_EQ(h.clock.reads, reads);
}

TEST(Debouncer, FailingClockPropagatesAndKeepsThePreviousReading) {
  bool fail = false;
  double now = 0.0;
  int fires = 0;
  Debouncer debouncer(
      1.0, [&] { ++fires; },
      {[&] {
        if (fail) throw std::runtime_error("clock broke");
        return now;
      }});
  debouncer.notify();
  fail = true;
  EXPECT_THROW(debouncer.notify(), std::runtime_error);
  EXPECT_THROW(debouncer.poll(), std::runtime_error);
  fail = false;
  now = 1.0;  // measured from the reading at 0, not from the failed notify
  EXPECT_TRUE(debouncer.poll());
  EXPECT_EQ(fires, 1);
}

TEST(Debouncer, NotANumberReadingNeverFires) {
  Harness h(0.0);
  h.notify_at(std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(h.poll_at(1.0));
  h.notify_at(2.0);
  EXPECT_TRUE(h.poll_at(2.0));
}

TEST(Debouncer, DefaultClockIsMonotonic) {
  int fires = 0;
  Debouncer debouncer(0.0, [&] { ++fires; });
  debouncer.notify();
  EXPECT_TRUE(debouncer.poll());
  EXPECT_FALSE(debouncer.poll());
  EXPECT_EQ(fires, 1);
}

}  // namespace
}  // namespace kolvex::watch
