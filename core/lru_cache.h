// A small least-recently-used map for process-wide caches.
//
// LruCache<V> maps text keys to values and keeps at most `capacity` entries,
// evicting the least recently used one. find() promotes the entry it returns;
// store() inserts or replaces an entry as the most recently used. Every call is
// one short critical section of map work: callers compute a value outside the
// cache (never holding its lock) and store it afterwards, so two callers that
// miss at once both compute and the later store wins.
//
// Thread-safety: every member function may be called from any thread.
#pragma once

#include <cstddef>
#include <iterator>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/thread_annotations.h"

namespace kolvex::core {

template <typename V>
class LruCache {
 public:
  explicit LruCache(std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {}
  LruCache(const LruCache&) = delete;
  LruCache& operator=(const LruCache&) = delete;

  std::optional<V> find(const std::string& key) {
    MutexLock lock(mutex_);
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    entries_.splice(entries_.end(), entries_, found->second);
    return found->second->second;
  }

  void store(const std::string& key, V value) {
    MutexLock lock(mutex_);
    auto found = index_.find(key);
    if (found != index_.end()) {
      found->second->second = std::move(value);
      entries_.splice(entries_.end(), entries_, found->second);
    } else {
      entries_.emplace_back(key, std::move(value));
      index_.emplace(key, std::prev(entries_.end()));
    }
    while (entries_.size() > capacity_) {
      index_.erase(entries_.front().first);
      entries_.pop_front();
    }
  }

  std::size_t size() {
    MutexLock lock(mutex_);
    return entries_.size();
  }

 private:
  using Entries = std::list<std::pair<std::string, V>>;
  const std::size_t capacity_;
  Mutex mutex_;
  Entries entries_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, typename Entries::iterator> index_ GUARDED_BY(mutex_);
};

}  // namespace kolvex::core
