#include "core/page_memory.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"

namespace kolvex::core {
namespace {

namespace fs = std::filesystem;

// Installed before main, so before anything in this program starts SQLite.
const bool INSTALLED = use_page_memory();

class PageMemory : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the allocator stays out of the way of AddressSanitizer";
#else
    ASSERT_TRUE(INSTALLED);
#endif
  }
};

// Rows with three indexes in a database of 32 KiB pages, then half of them
// deleted and written again: the pages go through the page cache many times.
void churn(const fs::path& path, int rows) {
  Connection conn = Connection::open(path);
  conn.exec("PRAGMA page_size = 32768");
  conn.exec("PRAGMA cache_size = -8192");
  conn.exec("CREATE TABLE t(id TEXT PRIMARY KEY, name TEXT, body TEXT)");
  conn.exec("CREATE INDEX t_name ON t(name)");
  conn.exec("CREATE INDEX t_body ON t(body)");
  Transaction transaction(conn);
  Statement insert = conn.prepare("INSERT INTO t VALUES (?, ?, ?)");
  for (int i = 0; i < rows; ++i) {
    insert.reset();
    insert.bind(1, "id-" + std::to_string(i * 7919 % rows)).bind(2, "n" + std::to_string(i % 97));
    insert.bind(3, std::string(40 + i % 200, static_cast<char>('a' + i % 26)));
    insert.run();
  }
  conn.exec("DELETE FROM t WHERE rowid % 2 = 0");
  conn.exec("INSERT INTO t SELECT id || '-again', name, body FROM t");
  transaction.commit();
  EXPECT_EQ(conn.query_text("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM t"), rows);
  conn.close();
}

TEST_F(PageMemory, DatabasePagesComeFromItAndAllGoBack) {
  ScratchDir scratch = ScratchDir::create("kolvex-page-memory-");
  const std::size_t carved_before = page_memory_carved();
  churn(scratch.path() / "a.db", 20000);
  EXPECT_GT(page_memory_carved(), carved_before);
  // Every block handed out was freed with its connection.
  EXPECT_EQ(page_memory_in_use(), 0u);

  // Freed blocks serve the next database of the same page size.
  const std::size_t carved = page_memory_carved();
  churn(scratch.path() / "b.db", 20000);
  EXPECT_EQ(page_memory_carved(), carved);
  EXPECT_EQ(page_memory_in_use(), 0u);
}

// A page cache that shrinks gives back blocks of a page and its header; the
// sorter that runs next asks for blocks of a page alone. Free blocks up to an
// eighth larger serve a request; much larger ones are kept for their own size.
TEST_F(PageMemory, FreeBlocksALittleLargerServeARequest) {
  constexpr int COUNT = 64;
  auto allocate_all = [](int bytes) {
    std::vector<void*> blocks;
    for (int i = 0; i < COUNT; ++i) {
      blocks.push_back(sqlite3_malloc(bytes));
      EXPECT_NE(blocks.back(), nullptr);
      EXPECT_GE(sqlite3_msize(blocks.back()), static_cast<sqlite3_uint64>(bytes));
      std::memset(blocks.back(), 0x5a, static_cast<std::size_t>(bytes));
    }
    return blocks;
  };
  auto free_all = [](std::vector<void*>& blocks) {
    for (void* block : blocks) sqlite3_free(block);
    blocks.clear();
  };
  std::vector<void*> larger = allocate_all(9000);
  free_all(larger);
  const std::size_t carved = page_memory_carved();
  std::vector<void*> smaller = allocate_all(8500);
  EXPECT_EQ(page_memory_carved(), carved);
  std::vector<void*> much_smaller = allocate_all(6000);
  EXPECT_GT(page_memory_carved(), carved);
  free_all(smaller);
  free_all(much_smaller);
  EXPECT_EQ(page_memory_in_use(), 0u);
  // The blocks went back to their own sizes: the larger ones serve their size again.
  const std::size_t carved_after = page_memory_carved();
  larger = allocate_all(9000);
  EXPECT_EQ(page_memory_carved(), carved_after);
  free_all(larger);
  EXPECT_EQ(page_memory_in_use(), 0u);
}

TEST_F(PageMemory, ReallocationKeepsTheBytesAcrossBlockSizes) {
  // From a page block to an ordinary allocation and back, growing and shrinking.
  const struct {
    int from;
    int to;
  } cases[] = {{40000, 100}, {100, 40000}, {40000, 50000}, {50000, 40000}, {40000, 200000}, {200000, 3000},
               {3000, 3010}};
  for (const auto& [from, to] : cases) {
    SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
    auto* bytes = static_cast<unsigned char*>(sqlite3_malloc(from));
    ASSERT_NE(bytes, nullptr);
    EXPECT_GE(sqlite3_msize(bytes), static_cast<sqlite3_uint64>(from));
    for (int i = 0; i < from; ++i) bytes[i] = static_cast<unsigned char>(i * 31 + 7);
    bytes = static_cast<unsigned char*>(sqlite3_realloc(bytes, to));
    ASSERT_NE(bytes, nullptr);
    EXPECT_GE(sqlite3_msize(bytes), static_cast<sqlite3_uint64>(to));
    int differing = 0;
    for (int i = 0; i < std::min(from, to); ++i) differing += bytes[i] != static_cast<unsigned char>(i * 31 + 7);
    EXPECT_EQ(differing, 0);
    std::memset(bytes, 0xab, static_cast<std::size_t>(to));  // the whole new size is writable
    sqlite3_free(bytes);
  }
  EXPECT_EQ(page_memory_in_use(), 0u);
}

TEST_F(PageMemory, ConnectionsOnSeveralThreadsShareIt) {
  ScratchDir scratch = ScratchDir::create("kolvex-page-memory-");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&scratch, t] { churn(scratch.path() / ("t" + std::to_string(t) + ".db"), 5000); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(page_memory_in_use(), 0u);
}

TEST_F(PageMemory, InstallingAgainChangesNothing) {
  EXPECT_TRUE(use_page_memory());
}

}  // namespace
}  // namespace kolvex::core
