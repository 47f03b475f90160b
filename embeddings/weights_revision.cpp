#include "embeddings/weights_revision.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "core/fs.h"
#include "core/hash.h"
#include "core/sqlite.h"
#include "embeddings/runtime.h"
#include "gguf.h"
#include "platform/config.h"

namespace kolvex::embeddings {
namespace {

// Bytes read from the model file per step while hashing it.
constexpr std::size_t HASH_CHUNK_BYTES = 1 << 20;
// Reads of a file that changed while it was read, before giving up.
constexpr int READ_ATTEMPTS = 3;
// File name of the default cache inside the data directory.
constexpr std::string_view CACHE_FILE = "model-revisions.db";

FileStamp stamp_of(const struct stat& info) {
  return FileStamp{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                   static_cast<std::int64_t>(info.st_size),
                   static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

FileStamp stamp_fd(int fd, const std::filesystem::path& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw core::os_error(errno, path);
  return stamp_of(info);
}

// SQLite integers are signed: device and inode numbers are stored by their bits.
std::int64_t as_stored(std::uint64_t value) { return std::bit_cast<std::int64_t>(value); }

// The cache database, open and with its table; none when it cannot be used.
std::optional<core::Connection> open_cache(const std::filesystem::path& cache) {
  try {
    std::error_code ignored;
    std::filesystem::create_directories(cache.parent_path(), ignored);
    core::Connection connection = core::Connection::open(cache);
    connection.exec(
        "CREATE TABLE IF NOT EXISTS revisions(device INTEGER NOT NULL, inode INTEGER NOT NULL, "
        "size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, revision TEXT NOT NULL, "
        "PRIMARY KEY(device, inode, size, mtime_ns))");
    return connection;
  } catch (const core::Error&) {
    return std::nullopt;
  }
}

std::optional<std::string> cached_revision(core::Connection& cache, const FileStamp& stamp) {
  try {
    core::Statement select = cache.prepare(
        "SELECT revision FROM revisions WHERE device = ?1 AND inode = ?2 AND size = ?3 AND mtime_ns = ?4");
    select.bind(1, as_stored(stamp.device)).bind(2, as_stored(stamp.inode)).bind(3, stamp.size);
    select.bind(4, stamp.mtime_ns);
    if (select.step()) return select.column_text(0);
  } catch (const core::Error&) {
  }
  return std::nullopt;
}

// Records the revision of one version of a file, replacing what the cache held
// for earlier versions of the same file, so the cache keeps one row per file.
void store_revision(core::Connection& cache, const FileStamp& stamp, const std::string& revision) {
  try {
    core::Transaction transaction(cache, "BEGIN IMMEDIATE");
    core::Statement forget = cache.prepare("DELETE FROM revisions WHERE device = ?1 AND inode = ?2");
    forget.bind(1, as_stored(stamp.device)).bind(2, as_stored(stamp.inode)).run();
    core::Statement insert = cache.prepare("INSERT OR REPLACE INTO revisions VALUES(?1, ?2, ?3, ?4, ?5)");
    insert.bind(1, as_stored(stamp.device)).bind(2, as_stored(stamp.inode)).bind(3, stamp.size);
    insert.bind(4, stamp.mtime_ns).bind(5, revision).run();
    transaction.commit();
  } catch (const core::Error&) {
  }
}

struct GgufFree {
  void operator()(gguf_context* context) const { gguf_free(context); }
};
struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The revision the open GGUF file records, or none (also for a file that is
// not GGUF at all: loading it fails later with the runtime's own error).
std::optional<std::string> recorded_revision(int fd) {
  int copy = ::dup(fd);
  if (copy < 0) return std::nullopt;
  std::unique_ptr<std::FILE, FileClose> file(::fdopen(copy, "rb"));
  if (!file) {
    ::close(copy);
    return std::nullopt;
  }
  std::unique_ptr<gguf_context, GgufFree> gguf(gguf_init_from_file_ptr(file.get(), gguf_init_params{true, nullptr}));
  if (!gguf) return std::nullopt;
  const std::int64_t key = gguf_find_key(gguf.get(), std::string(REVISION_KEY).c_str());
  if (key < 0 || gguf_get_kv_type(gguf.get(), key) != GGUF_TYPE_STRING) return std::nullopt;
  return std::string(gguf_get_val_str(gguf.get(), key));
}

std::string digest_of(int fd, const std::filesystem::path& path) {
  core::Sha256 hasher;
  std::vector<char> buffer(HASH_CHUNK_BYTES);
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw core::os_error(errno, path);
    }
    if (n == 0) break;
    hasher.update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    offset += n;
  }
  return hasher.hex_digest();
}

}  // namespace

FileStamp stamp_file(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw core::os_error(errno, path);
  return stamp_of(info);
}

std::filesystem::path default_revision_cache() { return platform::data_dir() / CACHE_FILE; }

WeightsRevision weights_revision(const std::filesystem::path& model_file, const std::filesystem::path& cache) {
  std::optional<core::Connection> connection = open_cache(cache);
  for (int attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
    core::UniqueFd fd(::open(model_file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw core::os_error(errno, model_file);
    const FileStamp before = stamp_fd(fd.get(), model_file);
    if (connection) {
      if (std::optional<std::string> cached = cached_revision(*connection, before)) {
        return WeightsRevision{before, std::move(*cached)};
      }
    }
    std::optional<std::string> revision = recorded_revision(fd.get());
    if (!revision) revision = std::string(DIGEST_REVISION_PREFIX) + digest_of(fd.get(), model_file);
    // The bytes read belong to `before` only when the file neither changed
    // while it was read nor was replaced under its name meanwhile.
    if (stamp_fd(fd.get(), model_file) != before || stamp_file(model_file) != before) continue;
    if (connection) store_revision(*connection, before, *revision);
    return WeightsRevision{before, std::move(*revision)};
  }
  throw ModelFileChangingError("the embedding model file " + model_file.string() +
                               " kept changing while it was read; try again once it is written");
}

}  // namespace kolvex::embeddings
