#include "declstore/capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "core/fs.h"
#include "core/hash.h"
#include "core/ordered_parallel.h"
#include "core/text.h"
#include "core/thread_annotations.h"
#include "platform/config.h"
#include "syntax/syntax.h"

namespace kolvex::declstore {

namespace fs = std::filesystem;

namespace {

// Index modes of entries that are never syntax candidates.
constexpr std::string_view GITLINK_MODE = "160000";
constexpr std::string_view SYMLINK_MODE = "120000";

// Files in flight per worker. Most files of a reindex or a revalidation cost one
// status query: a short window would have the workers wait for the consumer file
// after file. The bytes the files in flight hold are bounded on their own
// (CaptureOptions::pack_bytes_in_flight).
constexpr std::size_t FILES_IN_FLIGHT_PER_WORKER = 128;

// Hash-field markers of a revalidation for entries that could not be examined or read.
constexpr std::string_view MISSING_MARKER = "!missing";
constexpr std::string_view UNREADABLE_MARKER = "!error";

struct Classification {
  bool in_scope;
  std::optional<std::string> reason;
  std::optional<std::string> language;
};

// The stage-0 entries of the listing, in listing order; a listing git refused is
// capture's error.
std::vector<const IndexEntry*> tracked_stage0(const IndexListing& listing, const fs::path& repo_path) {
  if (!listing.ok) {
    throw SourceCaptureError(repo_path.string() + " is not a git repository (git ls-files --stage: " +
                             std::string(core::strip(core::decode_utf8_replace(listing.git_stderr))) + ")");
  }
  std::vector<const IndexEntry*> entries;
  entries.reserve(listing.entries.size());
  for (const IndexEntry& entry : listing.entries) {
    if (IndexListing::merged(entry)) entries.push_back(&entry);  // unmerged entries (stages 1-3) are left out
  }
  return entries;
}


Classification classify(std::string_view mode, std::string_view path) {
  if (mode == GITLINK_MODE) return {false, std::string(REASON_SUBMODULE), std::nullopt};
  if (mode == SYMLINK_MODE) return {false, std::string(REASON_SYMLINK), std::nullopt};
  if (platform::has_ignored_component(path)) return {false, std::string(REASON_IGNORED_DIRECTORY), std::nullopt};
  std::optional<std::string_view> language = syntax::language_for_path(path);
  return {true, std::nullopt, language ? std::optional<std::string>(*language) : std::nullopt};
}

// True when `ancestor` equals `path` or is one of its ancestors (component-wise).
bool is_within(const fs::path& path, const fs::path& ancestor) {
  auto p = path.begin();
  for (auto a = ancestor.begin(); a != ancestor.end(); ++a, ++p) {
    if (p == path.end() || *p != *a) return false;
  }
  return true;
}

// Hashes std::string keys and lets them be found by a string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>()(text); }
};

// The "tracked path escapes repository" check of one scan. Whether a parent
// directory resolves inside the repository is decided once per directory and
// remembered, and so is the directory's real path: a directory's real path is
// its parent's with its own name appended, unless that name is a link, which
// alone is resolved whole. Each component is thus looked at once per scan, not
// once per directory below it. A candidate's parent is the repository joined
// with the listed path less its last component, so the directory part of the
// listed path names it; paths are handled as text, since building path objects
// for every file cost more than the rest of the check. Safe to call from
// several threads.
class PathGuard {
 public:
  explicit PathGuard(fs::path repo_path) : repo_path_(std::move(repo_path)), repo_text_(repo_path_.native()) {}

  // The entry's path inside the working tree as text, unresolved: repo_path /
  // rel_path.
  std::string join(const std::string& rel_path) const {
    // Joining text gives the same path as joining paths unless the listed path
    // is absolute or either part is empty.
    if (repo_text_.empty() || rel_path.empty() || rel_path.front() == '/') {
      return (repo_path_ / fs::path(rel_path)).native();
    }
    std::string joined;
    joined.reserve(repo_text_.size() + 1 + rel_path.size());
    joined.append(repo_text_);
    if (joined.back() != '/') joined.push_back('/');
    joined.append(rel_path);
    return joined;
  }

  // The entry's path inside the working tree (join), so the caller can examine
  // the entry itself without following a final link. Directory links inside the
  // repository are accepted; anything whose parent resolves outside it is
  // refused. Resolution failures (a link loop, say) pass unchanged.
  std::string resolve(const std::string& rel_path) {
    const std::size_t slash = rel_path.rfind('/');
    const std::string_view directory =
        slash == std::string::npos ? std::string_view() : std::string_view(rel_path).substr(0, slash);
    std::optional<bool> inside = known(directory);
    if (!inside) {
      inside = is_within(fs::path(real_directory(directory)), resolved_root());
      remember(std::string(directory), *inside);
    }
    if (!*inside) throw SourceCaptureError("tracked path escapes repository: " + core::quote(rel_path));
    return join(rel_path);
  }

 private:
  // The real path of a directory of the listing ("" for the repository itself),
  // as weakly_canonical gives it for the repository joined with the directory.
  std::string real_directory(std::string_view directory) {
    if (std::optional<std::string> found = known_real(directory)) return *found;
    const std::size_t slash = directory.rfind('/');
    const std::string_view parent = slash == std::string_view::npos ? std::string_view() : directory.substr(0, slash);
    const std::string_view name = slash == std::string_view::npos ? directory : directory.substr(slash + 1);
    std::string real;
    if (directory.empty()) {
      real = resolved_root().native();
    } else if (name.empty() || name == "." || name == ".." || (slash != std::string_view::npos && parent.empty())) {
      real = whole_real_path(directory);  // never in a git listing
    } else {
      std::string candidate = real_directory(parent);
      if (candidate.empty() || candidate.back() != '/') candidate.push_back('/');
      candidate.append(name);
      struct stat status {};
      if (::lstat(candidate.c_str(), &status) == 0) {
        real = S_ISLNK(status.st_mode) ? fs::weakly_canonical(fs::path(candidate)).native() : std::move(candidate);
      } else if (errno == ENOENT || errno == ENOTDIR) {
        real = std::move(candidate);  // a missing tail stays as it is
      } else {
        real = whole_real_path(directory);  // fails as resolving the whole path fails
      }
    }
    core::MutexLock lock(mutex_);
    return real_by_directory_.emplace(std::string(directory), std::move(real)).first->second;
  }

  // weakly_canonical of the repository joined with `directory`, every component
  // resolved.
  std::string whole_real_path(std::string_view directory) const {
    return fs::weakly_canonical(fs::absolute(repo_path_ / fs::path(directory))).native();
  }

  std::optional<std::string> known_real(std::string_view directory) {
    core::MutexLock lock(mutex_);
    auto it = real_by_directory_.find(directory);
    if (it == real_by_directory_.end()) return std::nullopt;
    return it->second;
  }

  std::optional<bool> known(std::string_view directory) {
    core::MutexLock lock(mutex_);
    auto it = inside_by_directory_.find(directory);
    if (it == inside_by_directory_.end()) return std::nullopt;
    return it->second;
  }

  void remember(std::string directory, bool inside) {
    core::MutexLock lock(mutex_);
    inside_by_directory_.emplace(std::move(directory), inside);
  }

  fs::path resolved_root() {
    {
      core::MutexLock lock(mutex_);
      if (root_) return *root_;
    }
    fs::path root = fs::weakly_canonical(fs::absolute(repo_path_));
    core::MutexLock lock(mutex_);
    if (!root_) root_ = std::move(root);
    return *root_;
  }

  const fs::path repo_path_;
  const std::string repo_text_;
  core::Mutex mutex_;
  std::optional<fs::path> root_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, bool, TextHash, std::equal_to<>> inside_by_directory_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> real_by_directory_ GUARDED_BY(mutex_);
};

// The bytes of one file as read: storage that is neither zero-filled nor given
// back to the system between files.
class ReadBuffer {
 public:
  ReadBuffer() = default;
  // A buffer moved from is empty, with no storage: its sizes go with the storage.
  ReadBuffer(ReadBuffer&& other) noexcept
      : data_(std::move(other.data_)),
        capacity_(std::exchange(other.capacity_, 0)),
        size_(std::exchange(other.size_, 0)) {}
  ReadBuffer& operator=(ReadBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  std::string_view bytes() const noexcept { return {data_.get(), size_}; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Reads at most `limit` + 1 bytes of the file: enough to tell that it grew
  // over the limit without reading all of it. `expected` (the size examined)
  // sizes the storage.
  void read_bounded(const std::string& path, std::size_t expected, std::size_t limit) {
    core::UniqueFd fd = core::open_regular_file_nofollow(path.c_str());
    size_ = 0;
    reserve(std::min(expected, limit) + 1);
    while (size_ <= limit) {
      if (size_ == capacity_) reserve(std::min(2 * capacity_, limit + 1));
      ssize_t got = ::read(fd.get(), data_.get() + size_, capacity_ - size_);
      if (got < 0) {
        if (errno == EINTR) continue;
        throw core::os_error(errno, path);
      }
      if (got == 0) break;
      size_ += static_cast<std::size_t>(got);
    }
  }

 private:
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char[]> grown(new char[capacity]);
    std::copy_n(data_.get(), size_, grown.get());
    data_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// Read buffers, reused from file to file: a captured file's bytes travel from a
// worker to the consumer in one, and it comes back once they are written.
// Allocating and freeing a large buffer per file would cost every thread page
// faults and the process TLB shootdowns. A buffer keeps the size of the largest
// file it held, so the pool keeps free buffers of POOL_BYTES at most and lets
// any other go. Kept whatever their size, the buffers of a capture grew with the
// repository, up to a thousand files in flight each as large as the largest file
// it ever held: 58 MiB on 8,900 files, 81 MiB on twice as many; now the bytes in
// flight and the pool bound them (36 and 42 MiB). Safe to use from several threads.
class BufferPool {
 public:
  static constexpr std::size_t POOL_BYTES = 8 * 1024 * 1024;

  ReadBuffer take() {
    core::MutexLock lock(mutex_);
    if (free_.empty()) return {};
    ReadBuffer buffer = std::move(free_.back());
    free_.pop_back();
    kept_ -= buffer.capacity();
    return buffer;
  }

  void give(ReadBuffer&& buffer) {
    ReadBuffer dropped;  // freed after the lock is let go
    core::MutexLock lock(mutex_);
    if (kept_ + buffer.capacity() > POOL_BYTES) {
      dropped = std::move(buffer);
      return;
    }
    kept_ += buffer.capacity();
    free_.push_back(std::move(buffer));
  }

 private:
  core::Mutex mutex_;
  std::vector<ReadBuffer> free_ GUARDED_BY(mutex_);
  std::size_t kept_ GUARDED_BY(mutex_) = 0;  // the capacity of free_
};

std::string fact(std::string_view path, std::string_view mode, bool in_scope, std::string_view file_hash) {
  std::string line;
  line.reserve(path.size() + mode.size() + file_hash.size() + 5);
  line.append(path).append("\t").append(mode).append("\t").append(in_scope ? "1" : "0").append("\t");
  line.append(file_hash);
  return line;
}

// The copies of one capture, appended back to back to one file. The file is
// created (or emptied) when the first copy is written, so a scan that fails
// before any copy leaves the scratch directory as it was. Consumer thread only.
class CopyPack {
 public:
  explicit CopyPack(fs::path path) : path_(std::move(path)) {}

  const fs::path& path() const noexcept { return path_; }

  // Appends `bytes` and returns the offset at which they start.
  std::uint64_t append(std::string_view bytes) {
    if (!fd_) {
      fd_ = core::UniqueFd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      if (!fd_) throw core::os_error(errno, path_);
    }
    const std::uint64_t offset = size_;
    while (!bytes.empty()) {
      ssize_t wrote = ::write(fd_.get(), bytes.data(), bytes.size());
      if (wrote < 0) {
        if (errno == EINTR) continue;
        throw core::os_error(errno, path_);
      }
      bytes.remove_prefix(static_cast<std::size_t>(wrote));
      size_ += static_cast<std::uint64_t>(wrote);
    }
    return offset;
  }

 private:
  fs::path path_;
  core::UniqueFd fd_;
  std::uint64_t size_ = 0;
};

// What examining one entry found. Made on a worker thread, consumed in order.
struct Examined {
  enum class Outcome { excluded, sparse, unsupported, missing, symlink, oversized, unreadable, captured };
  Outcome outcome;
  Classification kind;
  ReadBuffer bytes;  // the captured bytes (a pool buffer), kept only when copies are written
  std::string file_hash;
  FileIdentity identity;  // of a captured file, as examined before it was read
  // A captured file whose hash came from a record, not read.
  bool unread = false;
  // A file left for the consumer to read (its working-tree path): the bytes in
  // flight were at their bound.
  std::optional<std::string> read_by_consumer;
  // Bytes of `bytes` counted against the bound, given back once written.
  std::uint64_t counted = 0;
  // When copies are written, where a captured file's bytes lie: the working-tree
  // file of an unread one, the pack otherwise. Made here, on the worker: a path
  // is parsed into its components when it is made.
  std::optional<fs::path> source_path;
};

FileIdentity identity_of(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
          static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec};
}

// Now on the coarse real-time clock, the one that stamps written files: a file
// written from now on gets times no earlier than this.
std::int64_t coarse_now_ns() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The capture's hash of a file that cannot have changed since it was read: its
// record matches what the file system says now, and both times are older than
// the capture's beginning.
const std::string* unchanged_hash(const CaptureRecords* records, const std::string& path,
                                  const FileIdentity& identity) {
  if (records == nullptr) return nullptr;
  auto found = records->files.find(path);
  if (found == records->files.end() || found->second.identity != identity) return nullptr;
  if (identity.mtime_ns >= records->began_ns || identity.ctime_ns >= records->began_ns) return nullptr;
  return &found->second.file_hash;
}

// The bytes read for the pack and not yet written, against a bound. Safe to use
// from several threads.
class PackBytesInFlight {
 public:
  explicit PackBytesInFlight(std::uint64_t bound) : bound_(bound) {}

  // Counts `bytes` of a file about to be read, unless that would go over the
  // bound while other bytes are in flight.
  bool try_count(std::uint64_t bytes) {
    std::uint64_t held = held_.load(std::memory_order_relaxed);
    do {
      if (held != 0 && held + bytes > bound_) return false;
    } while (!held_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
    return true;
  }
  void give_back(std::uint64_t bytes) { held_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  const std::uint64_t bound_;
  std::atomic<std::uint64_t> held_{0};
};

// True when nothing is at `candidate`: a skip-worktree entry with no file is
// one the sparse checkout left out. Only whether the entry exists is asked
// here; one that exists is examined as any other.
bool absent_from_worktree(const std::string& candidate) {
  struct stat status {};
  return ::lstat(candidate.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// Steps 8 and 9 of an examined entry: reads and hashes the file at `candidate`,
// whose status said it was of `result.identity.size` bytes; the bytes are kept
// when copies are written to `pack_path`.
void read_examined(Examined& result, const std::string& path, const std::string& candidate, BufferPool& buffers,
                   bool strict, const fs::path* pack_path) {
  using Outcome = Examined::Outcome;
  ReadBuffer bytes = buffers.take();
  try {
    bytes.read_bounded(candidate, static_cast<std::size_t>(result.identity.size), MAX_SOURCE_BYTES);
  } catch (const core::OsError&) {
    buffers.give(std::move(bytes));
    if (strict) throw SourceCaptureError("failed to read tracked file: " + path, std::current_exception());
    result.outcome = Outcome::unreadable;
    return;
  }
  if (bytes.bytes().size() > MAX_SOURCE_BYTES) {  // grew after it was examined
    buffers.give(std::move(bytes));
    result.outcome = Outcome::oversized;
    return;
  }
  result.outcome = Outcome::captured;
  result.file_hash = core::sha256_hex(bytes.bytes());
  if (pack_path != nullptr) {
    result.bytes = std::move(bytes);
    result.source_path.emplace(*pack_path);
  } else {
    buffers.give(std::move(bytes));
  }
}

// Steps 1 to 9 of one entry, except what touches the manifest: classification,
// path safety, the link status, the size checks, reading and hashing. Strict
// handling throws where lenient handling reports a marker outcome. A file whose
// bytes would go over the bound of bytes in flight is left unread
// (read_by_consumer).
Examined examine(const IndexEntry& entry, PathGuard& guard, BufferPool& buffers, PackBytesInFlight& in_flight,
                 bool strict, const fs::path* pack_path, const CaptureRecords* known) {
  using Outcome = Examined::Outcome;
  const std::string& path = entry.path;
  Examined result{Outcome::excluded, classify(entry.mode, path), {}, {}};
  if (!result.kind.in_scope) return result;
  if (entry.skip_worktree && absent_from_worktree(guard.join(path))) {
    result.outcome = Outcome::sparse;
    return result;
  }
  if (!result.kind.language) {
    result.outcome = Outcome::unsupported;
    return result;
  }
  const std::string candidate = guard.resolve(path);

  struct stat status {};
  if (::lstat(candidate.c_str(), &status) != 0) {
    int error = errno;
    if (strict) {
      throw SourceCaptureError("tracked file disappeared: " + path,
                               std::make_exception_ptr(core::os_error(error, candidate)));
    }
    result.outcome = Outcome::missing;
    return result;
  }
  if (S_ISLNK(status.st_mode)) {
    result.outcome = Outcome::symlink;
    return result;
  }
  if (static_cast<std::uintmax_t>(status.st_size) > MAX_SOURCE_BYTES) {
    result.outcome = Outcome::oversized;
    return result;
  }
  result.identity = identity_of(status);
  if (const std::string* hash = unchanged_hash(known, path, result.identity)) {
    result.outcome = Outcome::captured;
    result.file_hash = *hash;
    result.unread = true;
    if (pack_path != nullptr) result.source_path.emplace(candidate);
    return result;
  }

  if (pack_path != nullptr) {
    if (!in_flight.try_count(static_cast<std::uint64_t>(status.st_size))) {
      result.read_by_consumer = candidate;
      return result;
    }
    result.counted = static_cast<std::uint64_t>(status.st_size);
  }
  read_examined(result, path, candidate, buffers, strict, pack_path);
  return result;
}

// With `record_into` the scan records what it saw of each captured file; with
// `known` it takes the hash of a file that cannot have changed from there.
SourceManifest scan(const fs::path& repo_path, const IndexListing& listing, const std::optional<fs::path>& pack_path,
                    bool strict, unsigned workers, CaptureRecords* record_into = nullptr,
                    const CaptureRecords* known = nullptr,
                    std::uint64_t pack_bytes_in_flight = PACK_BYTES_IN_FLIGHT) {
  using Outcome = Examined::Outcome;
  const std::vector<const IndexEntry*> entries = tracked_stage0(listing, repo_path);
  PathGuard guard(repo_path);
  BufferPool buffers;
  std::optional<CopyPack> pack;
  if (pack_path) pack.emplace(*pack_path);
  if (record_into) {
    *record_into = CaptureRecords{.began_ns = coarse_now_ns(), .files = {}};
    record_into->files.reserve(entries.size());
  }

  std::vector<CapturedFile> records;
  records.reserve(entries.size());
  core::Sha256 digest;
  bool first_fact = true;
  auto add_fact = [&](const std::string& line) {
    if (!first_fact) digest.update("\n");
    first_fact = false;
    digest.update(line);
  };

  const unsigned threads = workers == 0 ? core::default_worker_count() : workers;
  PackBytesInFlight in_flight(pack_bytes_in_flight);
  const fs::path* const copies_to = pack_path ? &*pack_path : nullptr;
  core::ordered_parallel<Examined>(
      entries.size(), {.workers = threads, .window = threads * FILES_IN_FLIGHT_PER_WORKER},
      [&](std::size_t i, unsigned) {
        return examine(*entries[i], guard, buffers, in_flight, strict, copies_to, known);
      },
      [&](std::size_t i, Examined&& found) {
        const IndexEntry& entry = *entries[i];
        const std::string& path = entry.path;
        if (found.read_by_consumer) read_examined(found, path, *found.read_by_consumer, buffers, strict, copies_to);
        switch (found.outcome) {
          case Outcome::excluded:
            records.push_back({path, std::nullopt, std::nullopt, std::nullopt, false, found.kind.reason});
            add_fact(fact(path, entry.mode, false, ""));
            break;
          case Outcome::sparse:
            records.push_back({path, std::nullopt, std::nullopt, std::nullopt, false, std::string(REASON_SPARSE)});
            add_fact(fact(path, entry.mode, false, ""));
            break;
          case Outcome::unsupported:
            records.push_back({path, std::nullopt, std::nullopt, std::nullopt, true,
                               std::string(REASON_UNSUPPORTED_EXTENSION)});
            add_fact(fact(path, entry.mode, true, ""));
            break;
          case Outcome::missing:
            add_fact(fact(path, entry.mode, true, MISSING_MARKER));
            break;
          case Outcome::symlink:
            records.push_back({path, std::nullopt, std::nullopt, std::nullopt, false, std::string(REASON_SYMLINK)});
            add_fact(fact(path, entry.mode, false, ""));
            break;
          case Outcome::oversized:
            records.push_back({path, found.kind.language, std::nullopt, std::nullopt, true,
                               std::string(REASON_TOO_LARGE)});
            add_fact(fact(path, entry.mode, true, ""));
            break;
          case Outcome::unreadable:
            add_fact(fact(path, entry.mode, true, UNREADABLE_MARKER));
            break;
          case Outcome::captured: {
            add_fact(fact(path, entry.mode, true, found.file_hash));
            if (record_into) {
              record_into->files.insert_or_assign(path, CaptureRecords::Seen{found.identity, found.file_hash});
            }
            CapturedFile record{path, found.kind.language, std::move(found.file_hash), std::nullopt, true,
                                std::nullopt};
            if (pack && found.unread) {
              record.source_path = std::move(found.source_path);
              record.copy_size = static_cast<std::uint64_t>(found.identity.size);
              record.unread = true;
            } else if (pack) {
              record.source_path = std::move(found.source_path);
              record.copy_offset = pack->append(found.bytes.bytes());
              record.copy_size = found.bytes.bytes().size();
              buffers.give(std::move(found.bytes));
            }
            records.push_back(std::move(record));
            break;
          }
        }
        in_flight.give_back(found.counted);  // written to the pack, or never kept
      });
  return SourceManifest{std::move(records), digest.hex_digest()};
}

// The repository of an unread entry: its working-tree path less the listed path.
std::string repository_of(const CapturedFile& file) {
  const std::string& joined = file.source_path->native();
  const std::string suffix = "/" + file.file_path;
  if (joined.size() > suffix.size() && joined.ends_with(suffix)) return joined.substr(0, joined.size() - suffix.size());
  return joined;
}

// The working-tree bytes of an unread entry, which must be those the capture
// recorded: anything else means the file changed since the capture began.
std::string read_unread_file(const CapturedFile& file) {
  const std::size_t size = static_cast<std::size_t>(file.copy_size.value_or(0));
  ReadBuffer buffer;
  try {
    buffer.read_bounded(file.source_path->native(), size, size);
  } catch (const core::OsError&) {
    throw SourceChangedError("tracked sources changed since capture in " + repository_of(file),
                             std::current_exception());
  }
  if (buffer.bytes().size() != size || !file.file_hash || core::sha256_hex(buffer.bytes()) != *file.file_hash) {
    throw SourceChangedError("tracked sources changed since capture in " + repository_of(file));
  }
  return std::string(buffer.bytes());
}

}  // namespace

SourceManifest capture_sources(const fs::path& repo_path, const fs::path& scratch_dir, const CaptureOptions& options) {
  fs::create_directories(scratch_dir);
  std::optional<IndexListing> own_listing;
  const IndexListing& listing = options.listing ? *options.listing : own_listing.emplace(list_index(repo_path));
  return scan(repo_path, listing, scratch_dir / COPY_PACK_NAME, /*strict=*/true, options.workers, options.records,
              options.known, options.pack_bytes_in_flight);
}

std::string read_captured_bytes(const CapturedFile& file) {
  if (!file.source_path) throw core::ValueError("no captured copy of " + core::quote(file.file_path));
  if (file.unread) return read_unread_file(file);
  return read_captured_slice(*file.source_path, file.copy_offset, file.copy_size);
}

std::string read_captured_slice(const fs::path& copy, std::uint64_t offset, std::optional<std::uint64_t> size) {
  core::UniqueFd fd = core::open_regular_file_nofollow(copy);
  if (!size) return core::read_all(fd.get());
  std::string bytes(static_cast<std::size_t>(*size), '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t got = ::pread(fd.get(), bytes.data() + filled, bytes.size() - filled,
                          static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw core::os_error(errno, copy);
    }
    if (got == 0) throw core::OsError("captured copy is shorter than recorded: " + core::quote(copy.native()), EIO);
    filled += static_cast<std::size_t>(got);
  }
  return bytes;
}

void validate_sources(const fs::path& repo_path, const SourceManifest& manifest, unsigned workers,
                      const CaptureRecords* records) {
  SourceManifest current =
      scan(repo_path, list_index(repo_path), std::nullopt, /*strict=*/false, workers, nullptr, records);
  if (current.source_hash != manifest.source_hash) {
    throw SourceChangedError("tracked sources changed since capture in " + repo_path.string());
  }
}

}  // namespace kolvex::declstore
