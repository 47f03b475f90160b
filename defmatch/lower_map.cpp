#include "defmatch/lower_map.h"

#include <iterator>
#include <list>
#include <mutex>
#include <utility>

#include "core/sqlite.h"
#include "core/text.h"

namespace kolvex::defmatch::detail {
namespace {

using MapPtr = std::shared_ptr<const LowerNameMap>;

// Recency-ordered map from database path to lower-cased map, least recently
// used first.
class LowerMapCache {
 public:
  MapPtr find(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(path);
    if (it == index_.end()) return nullptr;
    entries_.splice(entries_.end(), entries_, it->second);
    return it->second->second;
  }

  // Stores `map` as the most recently used entry, replacing one a concurrent
  // caller stored for the same path, then evicts down to the bound.
  void insert(const std::string& path, MapPtr map) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(path);
    if (it != index_.end()) {
      it->second->second = std::move(map);
      entries_.splice(entries_.end(), entries_, it->second);
    } else {
      entries_.emplace_back(path, std::move(map));
      index_.emplace(path, std::prev(entries_.end()));
    }
    while (entries_.size() > LOWER_MAP_CACHE_MAX_SIZE) {
      index_.erase(entries_.front().first);
      entries_.pop_front();
    }
  }

 private:
  using Entries = std::list<std::pair<std::string, MapPtr>>;
  std::mutex mutex_;
  Entries entries_;
  std::unordered_map<std::string, Entries::iterator> index_;
};

LowerMapCache& lower_maps() {
  static LowerMapCache cache;
  return cache;
}

}  // namespace

LowerNameMap::LowerNameMap(const platform::NameMap& names) {
  for (const auto& [name, candidates] : names) {
    auto [slot, inserted] = index_.try_emplace(core::unicode_lower(name), entries_.size());
    if (inserted) entries_.emplace_back(slot->first, std::vector<platform::Candidate>{});
    auto& merged = entries_[slot->second].second;
    merged.insert(merged.end(), candidates.begin(), candidates.end());
  }
}

const std::vector<platform::Candidate>* LowerNameMap::find(std::string_view lower_name) const {
  auto it = index_.find(std::string(lower_name));
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

std::string db_path(core::Connection& connection) {
  auto statement = connection.prepare("PRAGMA database_list");
  if (!statement.step()) return "";
  return statement.column_opt_text(2).value_or("");
}

std::shared_ptr<const LowerNameMap> build_lower_map(core::Connection& connection) {
  return std::make_shared<const LowerNameMap>(platform::name_map(connection));
}

std::shared_ptr<const LowerNameMap> lower_map(core::Connection& connection) {
  const std::string path = db_path(connection);
  if (path.empty()) return build_lower_map(connection);
  if (MapPtr cached = lower_maps().find(path)) return cached;
  MapPtr built = build_lower_map(connection);
  lower_maps().insert(path, built);
  return built;
}

}  // namespace kolvex::defmatch::detail
