#include "core/sqlite.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/fs.h"

namespace kolvex::core {
namespace {

namespace fs = std::filesystem;

void expect_closed(const std::function<void()>& use) {
  try {
    use();
    ADD_FAILURE() << "a closed connection was used without error";
  } catch (const SqliteError& error) {
    EXPECT_EQ(error.message(), "connection is closed");
  }
}

TEST(Sqlite, EveryConnectionHasTheBusyTimeout) {
  ScratchDir scratch = ScratchDir::create("kolvex-sqlite-");
  const fs::path path = scratch.path() / "a.db";
  Connection writer = Connection::open(path);
  writer.exec("CREATE TABLE t(x)");
  EXPECT_EQ(writer.query_int("PRAGMA busy_timeout"), 5000);
  EXPECT_EQ(Connection::open_memory().query_int("PRAGMA busy_timeout"), 5000);
  OpenOptions read_only;
  read_only.read_only = true;
  EXPECT_EQ(Connection::open(path, read_only).query_int("PRAGMA busy_timeout"), 5000);
}

TEST(Sqlite, UseAfterCloseThrowsForConnectionAndStatements) {
  Connection connection = Connection::open_memory();
  connection.exec("CREATE TABLE t(x); INSERT INTO t VALUES (1), (2)");
  Statement statement = connection.prepare("SELECT x FROM t ORDER BY x");
  ASSERT_TRUE(statement.step());
  Connection copy = connection;  // copies share the handle
  connection.close();
  connection.close();  // idempotent
  EXPECT_FALSE(connection.is_open());
  EXPECT_FALSE(copy.is_open());
  expect_closed([&] { copy.exec("SELECT 1"); });
  expect_closed([&] { connection.prepare("SELECT 1"); });
  expect_closed([&] { connection.query_int("SELECT 1"); });
  expect_closed([&] { connection.query_text("SELECT 'a'"); });
  expect_closed([&] { connection.begin(); });
  expect_closed([&] { connection.commit(); });
  expect_closed([&] { connection.rollback(); });
  expect_closed([&] { connection.last_insert_rowid(); });
  expect_closed([&] { connection.raw(); });
  expect_closed([&] { statement.step(); });
  expect_closed([&] { statement.column_int(0); });
  expect_closed([&] { statement.bind(1, 5); });
  expect_closed([&] { statement.reset(); });
  Connection never_opened;
  EXPECT_FALSE(never_opened.is_open());
  never_opened.close();
  expect_closed([&] { never_opened.exec("SELECT 1"); });
  // The statement is destroyed after the close: nothing is freed twice.
}

TEST(Sqlite, ConcurrentUseAndCloseFromOtherThreads) {
  Connection connection = Connection::open_memory();
  connection.exec("CREATE TABLE t(x INTEGER)");
  std::atomic<int> inserted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([connection, &inserted]() mutable {
      try {
        for (int i = 0; i < 200; ++i) {
          Statement insert = connection.prepare("INSERT INTO t VALUES (?)");
          insert.bind(1, i).run();
          ++inserted;
        }
      } catch (const SqliteError& error) {
        EXPECT_EQ(error.message(), "connection is closed");
      }
    });
  }
  threads.emplace_back([connection]() mutable {
    std::this_thread::yield();
    connection.close();
  });
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(connection.is_open());
}

TEST(Sqlite, BindAndReadEveryType) {
  Connection connection = Connection::open_memory();
  connection.exec("CREATE TABLE t(i, r, s, b, n)");
  Statement insert = connection.prepare("INSERT INTO t VALUES (?, ?, ?, ?, ?)");
  insert.bind(1, std::int64_t{1} << 40).bind(2, 2.5).bind(3, std::string("te\0xt", 5))
      .bind_blob(4, std::string("\0\xFF", 2)).bind(5, std::optional<std::string>());
  insert.run();
  EXPECT_EQ(connection.last_insert_rowid(), 1);
  EXPECT_EQ(connection.changes(), 1);
  Statement select = connection.prepare("SELECT i, r, s, b, n FROM t");
  ASSERT_TRUE(select.step());
  EXPECT_EQ(select.column_count(), 5);
  EXPECT_EQ(select.column_name(2), "s");
  EXPECT_EQ(select.column_int(0), std::int64_t{1} << 40);
  EXPECT_EQ(select.column_double(1), 2.5);
  EXPECT_EQ(select.column_text(2), std::string("te\0xt", 5));
  EXPECT_EQ(select.column_blob(3), std::string("\0\xFF", 2));
  EXPECT_TRUE(select.is_null(4));
  EXPECT_EQ(select.column_opt_int(4), std::nullopt);
  EXPECT_EQ(select.column_opt_text(2), std::string("te\0xt", 5));
  EXPECT_TRUE(std::holds_alternative<Null>(select.column_value(4)));
  EXPECT_EQ(std::get<std::vector<std::uint8_t>>(select.column_value(3)), (std::vector<std::uint8_t>{0, 0xFF}));
  EXPECT_FALSE(select.step());
  select.reset();
  EXPECT_TRUE(select.step());

  Statement by_value = connection.prepare("SELECT ?, ?, ?");
  by_value.bind(1, SqlValue{std::int64_t{7}}).bind(2, SqlValue{std::string("x")}).bind(3, SqlValue{Null{}});
  ASSERT_TRUE(by_value.step());
  EXPECT_EQ(std::get<std::int64_t>(by_value.column_value(0)), 7);
  EXPECT_EQ(std::get<std::string>(by_value.column_value(1)), "x");
  EXPECT_EQ(connection.query_text("SELECT NULL"), std::nullopt);
  EXPECT_EQ(connection.query_int("SELECT 1 WHERE 0"), std::nullopt);
}

TEST(Sqlite, RunWithBindsARowInPlaceAndLeavesNothingBound) {
  ScratchDir scratch = ScratchDir::create("kolvex-sqlite-");
  Connection connection = Connection::open(scratch.path() / "rows.db", {.one_thread = true});
  connection.exec("CREATE TABLE t(i, s UNIQUE, n)");
  Statement insert = connection.prepare("INSERT INTO t VALUES (?, ?, ?)");
  for (std::int64_t i = 1; i <= 3; ++i) {
    // The text is gone once the call returns: what was stored must not refer to it.
    std::string text = std::string("row\0", 4) + std::to_string(i);
    const SqlParam row[] = {i, std::string_view(text), Null{}};
    insert.run_with(row);
    text.assign(text.size(), 'x');
  }
  // Fewer parameters than markers: the rest are NULL, not the previous row's values.
  const SqlParam short_row[] = {std::int64_t{4}};
  insert.run_with(short_row);

  const SqlParam duplicate[] = {std::int64_t{5}, std::string_view("row\0" "1", 5), Null{}};
  try {
    insert.run_with(duplicate);
    FAIL();
  } catch (const SqliteError& error) {
    EXPECT_EQ(error.message(), "UNIQUE constraint failed: t.s");
    EXPECT_EQ(error.code(), SQLITE_CONSTRAINT_UNIQUE);
  }
  // A failed row leaves the statement ready for the next one.
  const SqlParam next[] = {std::int64_t{6}, std::string_view("six"), std::int64_t{0}};
  insert.run_with(next);

  Statement select = connection.prepare("SELECT i, s, n FROM t ORDER BY rowid");
  std::vector<std::string> rows;
  while (select.step()) {
    rows.push_back(std::to_string(select.column_int(0)) + "|" + select.column_opt_text(1).value_or("NULL") + "|" +
                   select.column_opt_text(2).value_or("NULL"));
  }
  EXPECT_EQ(rows, (std::vector<std::string>{std::string("1|row\0" "1|NULL", 12), std::string("2|row\0" "2|NULL", 12),
                                            std::string("3|row\0" "3|NULL", 12), "4|NULL|NULL", "6|six|0"}));
}

TEST(Sqlite, ErrorsCarrySqliteText) {
  Connection connection = Connection::open_memory();
  try {
    connection.exec("SELEC 1");
    FAIL();
  } catch (const SqliteError& error) {
    EXPECT_EQ(error.message(), "near \"SELEC\": syntax error");
    EXPECT_EQ(error.code(), SQLITE_ERROR);
  }
  connection.exec("CREATE TABLE u(x UNIQUE); INSERT INTO u VALUES (1)");
  Statement duplicate = connection.prepare("INSERT INTO u VALUES (1)");
  try {
    duplicate.run();
    FAIL();
  } catch (const SqliteError& error) {
    EXPECT_EQ(error.message(), "UNIQUE constraint failed: u.x");
    EXPECT_EQ(error.code(), SQLITE_CONSTRAINT_UNIQUE);
  }
  EXPECT_THROW(Connection::open("/nonexistent-dir/kolvex/x.db"), SqliteError);
}

TEST(Sqlite, ExplicitTransactions) {
  Connection connection = Connection::open_memory();
  connection.exec("CREATE TABLE t(x)");
  EXPECT_FALSE(connection.in_transaction());
  connection.rollback();  // no transaction: nothing happens
  {
    Transaction transaction(connection, "IMMEDIATE");
    connection.exec("INSERT INTO t VALUES (1)");
    EXPECT_TRUE(connection.in_transaction());
  }
  EXPECT_EQ(connection.query_int("SELECT count(*) FROM t"), 0);
  {
    Transaction transaction(connection);
    connection.exec("INSERT INTO t VALUES (1)");
    transaction.commit();
  }
  EXPECT_EQ(connection.query_int("SELECT count(*) FROM t"), 1);
  connection.begin("BEGIN EXCLUSIVE");
  connection.exec("INSERT INTO t VALUES (2)");
  connection.commit();
  EXPECT_EQ(connection.query_int("SELECT count(*) FROM t"), 2);
  {
    Transaction transaction(connection);
    connection.close();  // the guard's rollback must not throw or touch freed memory
  }
}

TEST(Sqlite, ReadOnlyUriEncodesSpecialCharacters) {
  EXPECT_EQ(sqlite_uri("/data/a%b?c#d.db", true, false), "file:/data/a%25b%3Fc%23d.db?mode=ro");
  EXPECT_EQ(sqlite_uri("/data/x.db", true, true), "file:/data/x.db?mode=ro&immutable=1");
  EXPECT_EQ(sqlite_uri("/data/x.db", false, false), "file:/data/x.db");

  ScratchDir scratch = ScratchDir::create("kolvex-sqlite-");
  const fs::path dir = scratch.path() / "odd %41 ?x=1 #frag";
  fs::create_directories(dir);
  const fs::path path = dir / "snap?.db";
  {
    Connection writer = Connection::open(path);
    writer.exec("CREATE TABLE t(x); INSERT INTO t VALUES ('here')");
  }
  for (bool immutable : {false, true}) {
    OpenOptions options;
    options.read_only = true;
    options.immutable = immutable;
    Connection reader = Connection::open(path, options);
    EXPECT_EQ(reader.query_text("SELECT x FROM t"), "here");
    EXPECT_THROW(reader.exec("INSERT INTO t VALUES ('no')"), SqliteError);
  }
  OpenOptions missing;
  missing.read_only = true;
  EXPECT_THROW(Connection::open(dir / "missing.db", missing), SqliteError);
  EXPECT_FALSE(fs::exists(dir / "missing.db"));
}

}  // namespace
}  // namespace kolvex::core
