// The lower-cased name map of a converted SCIP database and its process-wide
// cache; internal steps of symbol-definition search, exposed for its tests.
//
// A LowerNameMap lists every candidate of platform::name_map under the
// lower-cased form (core::unicode_lower, Python's str.lower) of its name:
// names that differ only in case share one list, in name-map order; the
// candidates themselves keep their case. A built map is never modified and may
// be shared by any number of holders.
//
// lower_map caches maps by the main database's file path, keeping the
// LOWER_MAP_CACHE_MAX_SIZE most recently used; a hit promotes its entry. An
// in-memory or temporary database (empty path) is rebuilt on every call and
// never cached. Entries are never refreshed: published databases never change
// under their file name. Thread-safety: any number of threads may call
// lower_map at once. A mutex guards each look-up (with its promotion) and each
// insertion (with its evictions), never a build: concurrent misses on one path
// each build and insert their own map, the later insertion holding the entry.
// A map handed out stays valid after its entry is evicted.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/symbols.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::defmatch::detail {

inline constexpr std::size_t LOWER_MAP_CACHE_MAX_SIZE = 64;

class LowerNameMap {
 public:
  explicit LowerNameMap(const platform::NameMap& names);

  // The lower-cased names with their merged candidate lists, in order of first
  // occurrence; usable wherever a platform::NameMap is read.
  const platform::NameMap& entries() const noexcept { return entries_; }
  // The candidates listed under exactly `lower_name`, or null.
  const std::vector<platform::Candidate>* find(std::string_view lower_name) const;

 private:
  platform::NameMap entries_;
  std::unordered_map<std::string, std::size_t> index_;  // lower-cased name -> position in entries_
};

// The file path of the connection's main database ("PRAGMA database_list"),
// "" for an in-memory or temporary database.
std::string db_path(core::Connection& connection);

// A new lower-cased map from one platform::name_map call.
std::shared_ptr<const LowerNameMap> build_lower_map(core::Connection& connection);

// The lower-cased map of the connection's database, through the cache.
std::shared_ptr<const LowerNameMap> lower_map(core::Connection& connection);

}  // namespace kolvex::defmatch::detail
