#include "snapmount/connection_cache.h"

#include <algorithm>
#include <exception>
#include <system_error>

namespace kolvex::snapmount {

namespace fs = std::filesystem;

IndexConnectionCache::IndexConnectionCache(fs::path filestore_root, int max_size)
    : filestore_root_(std::move(filestore_root)), max_size_(std::max(max_size, 1)) {}

SnapshotConnection IndexConnectionCache::get_connection(std::string_view project, std::string_view repo,
                                                        std::string_view branch) {
  // The pointer is read on every call and outside the lock: a switch is seen
  // at once, and a slow file system delays no other caller.
  const std::string pointer = read_pointer(filestore_root_, project, repo, branch);
  const Key key{std::string(project), std::string(repo), std::string(branch), pointer};
  {
    core::MutexLock guard(lock_);
    auto found = index_.find(key);
    if (found != index_.end()) {
      entries_.splice(entries_.end(), entries_, found->second);
      core::Connection connection = found->second->second;
      return {std::move(connection), read_metadata(filestore_root_, project, repo, branch, pointer)};
    }
  }

  const fs::path database = detail::snapshot_dir(filestore_root_, project, repo, branch) / pointer;
  std::error_code error;
  if (!fs::exists(database, error)) {
    throw IndexNotFoundError("pointer for " + detail::coordinates_text(project, repo, branch) +
                             " references missing file " + database.string());
  }
  core::Connection connection = core::Connection::open(database, {.read_only = true, .immutable = true});
  {
    core::MutexLock guard(lock_);
    insert_locked(key, connection);
  }
  return {std::move(connection), read_metadata(filestore_root_, project, repo, branch, pointer)};
}

void IndexConnectionCache::insert_locked(const Key& key, const core::Connection& connection) {
  if (auto found = index_.find(key); found != index_.end()) {
    // Another caller opened the same version meanwhile; its connection stays
    // with that caller and closes when the caller lets go of it.
    entries_.erase(found->second);
    index_.erase(found);
  }
  entries_.emplace_back(key, connection);
  index_[key] = std::prev(entries_.end());
  while (entries_.size() > static_cast<std::size_t>(max_size_)) {
    core::Connection evicted = std::move(entries_.front().second);
    index_.erase(entries_.front().first);
    entries_.pop_front();
    evicted.close();
  }
}

void IndexConnectionCache::close_all() {
  core::MutexLock guard(lock_);
  std::exception_ptr first_failure;
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    try {
      entry->second.close();
    } catch (const std::exception&) {
      if (!first_failure) first_failure = std::current_exception();
      ++entry;
      continue;
    }
    index_.erase(entry->first);
    entry = entries_.erase(entry);
  }
  if (first_failure) std::rethrow_exception(first_failure);
}

std::size_t IndexConnectionCache::size() const {
  core::MutexLock guard(lock_);
  return entries_.size();
}

}  // namespace kolvex::snapmount
