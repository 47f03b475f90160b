#include "defmatch/lower_map.h"

#include <optional>
#include <utility>

#include "core/lru_cache.h"
#include "core/sqlite.h"
#include "core/text.h"

namespace kolvex::defmatch::detail {
namespace {

using MapPtr = std::shared_ptr<const LowerNameMap>;

// Database path to lower-cased map, the most recently used kept.
core::LruCache<MapPtr>& lower_maps() {
  static core::LruCache<MapPtr> cache(LOWER_MAP_CACHE_MAX_SIZE);
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
  if (std::optional<MapPtr> cached = lower_maps().find(path)) return *cached;
  MapPtr built = build_lower_map(connection);
  lower_maps().store(path, built);
  return built;
}

}  // namespace kolvex::defmatch::detail
