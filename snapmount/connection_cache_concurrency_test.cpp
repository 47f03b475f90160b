// Many threads share one small cache while a publisher keeps switching the
// pointer, so entries are evicted (and their connections closed) while other
// threads still hold and use them. Meant to run under ThreadSanitizer and
// AddressSanitizer as well: no crash, no race, and the only failure a reader
// may meet is the closed-connection error.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "snapmount/connection_cache.h"

namespace kolvex::snapmount {
namespace {

namespace fs = std::filesystem;

constexpr int READERS = 16;
constexpr int CALLS_PER_READER = 150;
constexpr int VERSIONS = 4;
constexpr int ROWS = 50;

TEST(IndexConnectionCacheConcurrency, ReadersWhileThePointerFlips) {
  core::ScratchDir root = core::ScratchDir::create("kolvex-cache-threads-");
  const fs::path dir = root.path() / "scip" / "local" / "api" / "default";
  fs::create_directories(dir);
  for (int version = 0; version < VERSIONS; ++version) {
    const std::string name = "index-v" + std::to_string(version);
    core::Connection db = core::Connection::open(dir / (name + ".db"));
    db.exec("CREATE TABLE t (version INTEGER, n INTEGER)");
    for (int n = 0; n < ROWS; ++n) {
      db.exec("INSERT INTO t VALUES (" + std::to_string(version) + ", " + std::to_string(n) + ")");
    }
    db.close();
    core::write_file(dir / (name + ".metadata.json"), "{\"generation\": \"" + std::to_string(version) + "\"}");
  }
  core::write_file_atomic(dir / "current", "index-v0.db");

  // A bound of 2 under four live versions keeps evictions frequent.
  IndexConnectionCache cache(root.path(), 2);
  std::atomic<bool> publishing{true};
  std::atomic<int> closed_errors{0};
  std::mutex failures_lock;
  std::vector<std::string> failures;
  auto fail = [&](std::string what) {
    std::lock_guard guard(failures_lock);
    failures.push_back(std::move(what));
  };

  std::thread publisher([&] {
    for (int flip = 1; publishing.load(); ++flip) {
      core::write_file_atomic(dir / "current", "index-v" + std::to_string(flip % VERSIONS) + ".db");
      std::this_thread::yield();
    }
  });

  std::vector<std::thread> readers;
  for (int reader = 0; reader < READERS; ++reader) {
    readers.emplace_back([&, reader] {
      for (int call = 0; call < CALLS_PER_READER; ++call) {
        try {
          auto [connection, metadata] = cache.get_connection("local", "api", "default");
          if (!metadata || !metadata->generation) {
            fail("metadata missing");
            continue;
          }
          // One statement stepped row by row, so eviction can strike between steps.
          core::Statement rows = connection.prepare("SELECT version, n FROM t ORDER BY n");
          int seen = 0;
          while (rows.step()) {
            if (std::to_string(rows.column_int(0)) != *metadata->generation) fail("rows of another version");
            ++seen;
          }
          if (seen != ROWS) fail("short result: " + std::to_string(seen));
          if (reader % 4 == 0 && call % 25 == 0) cache.close_all();
        } catch (const core::SqliteError& error) {
          if (std::string(error.what()) == "connection is closed") {
            ++closed_errors;
          } else {
            fail(std::string("sqlite: ") + error.what());
          }
        } catch (const std::exception& error) {
          fail(std::string("other: ") + error.what());
        }
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  publishing = false;
  publisher.join();

  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_LE(cache.size(), 2u);
  cache.close_all();
  EXPECT_EQ(cache.size(), 0u);
  RecordProperty("closed_errors", closed_errors.load());
}

}  // namespace
}  // namespace kolvex::snapmount
