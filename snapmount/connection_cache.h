// A bounded, thread-safe cache of read-only connections to the live snapshot
// databases of published indexes.
//
// get_connection reads the pointer file on every call (never cached), so a new
// publication is served from the first call after the pointer changed. Entries
// are keyed by (project, repo, branch, pointer content): published databases
// never change under their versioned name, so a key's connection stays valid
// for as long as the file exists, and an entry whose pointer content is no
// longer current is simply never looked up again and leaves by LRU eviction.
// Connections are opened with "?mode=ro&immutable=1" (no locking, no change
// detection) through core::Connection, which percent-encodes "%", "?" and "#"
// in the path.
//
// Thread-safety: any number of threads may call get_connection and close_all
// at once. One mutex guards the map only; the pointer read, the existence test
// and the opening of a database run outside it. A connection is shared between
// the cache and every caller that received it. The cache closes a connection
// when it evicts it and in close_all; a holder's next call on a closed
// connection fails with core::SqliteError "connection is closed" (never a use
// of a freed handle). A connection that leaves the map any other way (replaced
// by a concurrent insertion for the same key, still held when the cache is
// destroyed) is closed when its last holder releases it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/sqlite.h"
#include "core/thread_annotations.h"
#include "snapmount/pointer.h"

namespace kolvex::snapmount {

// Connections kept unless the constructor is given another bound.
inline constexpr int DEFAULT_MAX_CONNECTIONS = 64;

// What get_connection returns: the connection and the metadata of that version
// (none when the metadata sibling is missing or malformed).
struct SnapshotConnection {
  core::Connection connection;
  std::optional<IndexMetadata> metadata;
};

class IndexConnectionCache {
 public:
  // Opens and reads nothing. A bound below 1 behaves as 1.
  explicit IndexConnectionCache(std::filesystem::path filestore_root, int max_size = DEFAULT_MAX_CONNECTIONS);
  IndexConnectionCache(const IndexConnectionCache&) = delete;
  IndexConnectionCache& operator=(const IndexConnectionCache&) = delete;

  // The connection to the live database of the coordinates and its metadata.
  // Throws IndexNotFoundError when nothing is published, the pointer is empty
  // or names no file of its directory, or nothing exists where it points
  // ("pointer for P/R@B references missing file <path>"); core::ValueError for
  // a coordinate that is not a single path component; other pointer read
  // failures and core::SqliteError from opening pass through, with the cache
  // unchanged. When closing an evicted connection fails, that error passes
  // through after the new connection was cached.
  SnapshotConnection get_connection(std::string_view project, std::string_view repo, std::string_view branch);

  // Closes every cached connection, least recently used first, and removes each
  // entry it closed; an entry whose close fails stays, and the first such
  // failure is thrown once every other entry was closed. The cache stays usable.
  void close_all();

  // The number of cached connections.
  std::size_t size() const;

  const std::filesystem::path& filestore_root() const noexcept { return filestore_root_; }
  int max_size() const noexcept { return max_size_; }

 private:
  using Key = std::tuple<std::string, std::string, std::string, std::string>;
  using Entry = std::pair<Key, core::Connection>;
  using Entries = std::list<Entry>;  // least recently used first

  // Under the lock: stores `connection` as the most recently used entry of
  // `key` (a concurrent insertion's entry is replaced, not closed), then evicts
  // and closes least recently used entries beyond the bound.
  void insert_locked(const Key& key, const core::Connection& connection) REQUIRES(lock_);

  std::filesystem::path filestore_root_;
  int max_size_;
  mutable core::Mutex lock_;
  Entries entries_ GUARDED_BY(lock_);
  std::map<Key, Entries::iterator> index_ GUARDED_BY(lock_);
};

}  // namespace kolvex::snapmount
