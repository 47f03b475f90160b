#include "embeddings/thread_tuner.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace kolvex::embeddings {
namespace {

TEST(ThreadTuner, CandidatesHalveFromTheCoresDownToOne) {
  const std::vector<std::pair<unsigned, std::vector<unsigned>>> cases = {
      {8, {8, 4, 2, 1}}, {6, {6, 3, 1}}, {2, {2, 1}}, {1, {1}}, {0, {1}}};
  for (const auto& [cores, expected] : cases) {
    SCOPED_TRACE(cores);
    ThreadTuner tuner(cores);
    EXPECT_EQ(tuner.candidates(), expected);
    EXPECT_EQ(tuner.best(), expected.front());
  }
}

// Runs `decodes` decodes whose cost per token each count's entry gives; returns
// the counts used, in order.
std::vector<unsigned> run(ThreadTuner& tuner, int decodes, const std::map<unsigned, double>& cost) {
  std::vector<unsigned> used;
  for (int i = 0; i < decodes; ++i) {
    const unsigned threads = tuner.next();
    used.push_back(threads);
    tuner.record(threads, cost.at(threads));
  }
  return used;
}

TEST(ThreadTuner, MeasuresEveryCountThenKeepsTheCheapestAndProbesItsNeighbours) {
  ThreadTuner tuner(8);
  const std::map<unsigned, double> busy = {{8, 9.0}, {4, 3.0}, {2, 1.0}, {1, 2.0}};
  // The first decode only warms up: all cores are measured again.
  const auto first = run(tuner, 5, busy);
  EXPECT_EQ(first, (std::vector<unsigned>{8, 8, 4, 2, 1}));
  EXPECT_EQ(tuner.best(), 2u);
  // Decodes 6 to 32: the kept count, except every sixteenth, which alternates
  // between fewer and more threads.
  const auto later = run(tuner, 27, busy);
  std::vector<unsigned> expected(27, 2u);
  expected[16 - 6] = 1;
  expected[32 - 6] = 4;
  EXPECT_EQ(later, expected);
  EXPECT_EQ(tuner.best(), 2u);
}

TEST(ThreadTuner, FollowsTheLoadWhenTheMachineGetsIdle) {
  ThreadTuner tuner(8);
  run(tuner, 5, {{8, 9.0}, {4, 3.0}, {2, 1.0}, {1, 2.0}});
  ASSERT_EQ(tuner.best(), 2u);
  // Now more threads are always cheaper: the probes walk the kept count up.
  const std::map<unsigned, double> idle = {{8, 0.1}, {4, 0.2}, {2, 0.4}, {1, 0.8}};
  run(tuner, 16 * 12, idle);
  EXPECT_EQ(tuner.best(), 8u);
  // And down again when the machine gets busy.
  run(tuner, 16 * 12, {{8, 9.0}, {4, 0.5}, {2, 1.0}, {1, 2.0}});
  EXPECT_EQ(tuner.best(), 4u);
}

TEST(ThreadTuner, OneCoreAlwaysUsesOneThreadAndIgnoresOtherCounts) {
  ThreadTuner tuner(1);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(tuner.next(), 1u);
    tuner.record(1, 1.0);
    tuner.record(7, 0.001);
  }
  EXPECT_EQ(tuner.best(), 1u);
}

}  // namespace
}  // namespace kolvex::embeddings
