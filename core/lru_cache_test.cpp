// The least-recently-used cache: bound, promotion on a hit, replacement.
#include "core/lru_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace kolvex::core {
namespace {

TEST(LruCache, KeepsTheMostRecentlyUsedWithinItsBound) {
  LruCache<int> cache(3);
  for (int i = 1; i <= 3; ++i) cache.store("k" + std::to_string(i), i);
  EXPECT_EQ(cache.find("k1"), 1);  // a hit promotes k1: k2 is now the oldest
  cache.store("k4", 4);
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_FALSE(cache.find("k2"));
  EXPECT_EQ(cache.find("k1"), 1);
  EXPECT_EQ(cache.find("k3"), 3);
  EXPECT_EQ(cache.find("k4"), 4);
}

TEST(LruCache, StoringAgainReplacesAndPromotes) {
  LruCache<std::string> cache(2);
  cache.store("a", "first");
  cache.store("b", "b");
  cache.store("a", "second");
  cache.store("c", "c");  // evicts b, the oldest after a was stored again
  EXPECT_EQ(cache.find("a"), "second");
  EXPECT_FALSE(cache.find("b"));
  EXPECT_EQ(cache.size(), 2u);
}

TEST(LruCache, ABoundBelowOneKeepsOneEntry) {
  LruCache<int> cache(0);
  cache.store("a", 1);
  cache.store("b", 2);
  EXPECT_FALSE(cache.find("a"));
  EXPECT_EQ(cache.find("b"), 2);
}

}  // namespace
}  // namespace kolvex::core
