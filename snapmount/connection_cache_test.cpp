#include "snapmount/connection_cache.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/fs.h"
#include "platform/config.h"
#include "snapmount/config_cache.h"
#include "testkit/fake_program.h"

namespace kolvex::snapmount {
namespace {

namespace fs = std::filesystem;

constexpr const char* CLOSED = "connection is closed";

// A published layout in a scratch root: versioned databases holding one value,
// their metadata siblings and the pointer.
class Layout {
 public:
  explicit Layout(std::string_view root_name = "root") : scratch_(core::ScratchDir::create("kolvex-cache-")) {
    root_ = scratch_.path() / std::string(root_name);
  }

  const fs::path& root() const { return root_; }
  fs::path dir(const std::string& repo) const { return root_ / "scip" / "local" / repo / "default"; }

  // Writes index-<version>.db (table t with the one value <version>) and its
  // metadata sibling, and points "current" at it.
  void publish(const std::string& repo, const std::string& version, bool with_metadata = true) const {
    fs::create_directories(dir(repo));
    const std::string name = "index-" + version + ".db";
    core::Connection db = core::Connection::open(dir(repo) / name);
    db.exec("CREATE TABLE t (value TEXT); INSERT INTO t VALUES ('" + version + "');");
    db.close();
    if (with_metadata) {
      core::write_file(dir(repo) / ("index-" + version + ".metadata.json"),
                       R"({"repo": ")" + repo + R"(", "generation": ")" + version + R"("})");
    }
    point(repo, name);
  }
  void point(const std::string& repo, const std::string& content) const {
    fs::create_directories(dir(repo));
    core::write_file_atomic(dir(repo) / "current", content);
  }

 private:
  core::ScratchDir scratch_;
  fs::path root_;
};

std::string value_of(core::Connection& connection) { return *connection.query_text("SELECT value FROM t"); }

// The text of the core::SqliteError that `body` throws, or "" when it throws none.
template <typename Body>
std::string sqlite_error(Body&& body) {
  try {
    body();
  } catch (const core::SqliteError& error) {
    return error.what();
  }
  return "";
}

TEST(IndexConnectionCache, SameConnectionWhileThePointerIsUnchangedNewOneAfterAPublication) {
  Layout layout;
  layout.publish("api", "v1");
  IndexConnectionCache cache(layout.root());

  auto [first, first_metadata] = cache.get_connection("local", "api", "default");
  EXPECT_EQ(value_of(first), "v1");
  ASSERT_TRUE(first_metadata);
  EXPECT_EQ(first_metadata->generation, "v1");

  // A hit re-reads the metadata sibling: a change there shows at once.
  core::write_file(layout.dir("api") / "index-v1.metadata.json", R"({"generation": "edited"})");
  auto [second, second_metadata] = cache.get_connection("local", "api", "default");
  EXPECT_EQ(second.raw(), first.raw());
  EXPECT_EQ(second_metadata->generation, "edited");
  EXPECT_EQ(second_metadata->repo, "api");  // missing member: the coordinate
  EXPECT_EQ(cache.size(), 1u);

  layout.publish("api", "v2");
  auto [third, third_metadata] = cache.get_connection("local", "api", "default");
  EXPECT_NE(third.raw(), first.raw());
  EXPECT_EQ(value_of(third), "v2");
  EXPECT_EQ(third_metadata->generation, "v2");
  // The old version's entry stays cached, its connection open, until evicted.
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(value_of(first), "v1");
}

TEST(IndexConnectionCache, BoundOfTwoEvictsAndClosesTheLeastRecentlyUsed) {
  Layout layout;
  for (const char* repo : {"a", "b", "c", "d"}) layout.publish(repo, repo);
  IndexConnectionCache cache(layout.root(), 2);

  core::Connection a = cache.get_connection("local", "a", "default").connection;
  core::Connection b = cache.get_connection("local", "b", "default").connection;
  // The hit moves "a" to the most recently used end, so "b" goes first.
  EXPECT_EQ(cache.get_connection("local", "a", "default").connection.raw(), a.raw());
  core::Connection c = cache.get_connection("local", "c", "default").connection;
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_FALSE(b.is_open());
  EXPECT_EQ(sqlite_error([&] { value_of(b); }), CLOSED);
  EXPECT_EQ(value_of(a), "a");
  EXPECT_EQ(value_of(c), "c");

  // One insertion beyond the bound evicts exactly one entry: now "a".
  core::Connection d = cache.get_connection("local", "d", "default").connection;
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_FALSE(a.is_open());
  EXPECT_TRUE(c.is_open());
  EXPECT_TRUE(d.is_open());

  // Coming back to an evicted key opens a fresh connection.
  core::Connection b_again = cache.get_connection("local", "b", "default").connection;
  EXPECT_EQ(value_of(b_again), "b");
  EXPECT_FALSE(c.is_open());
}

TEST(IndexConnectionCache, BoundBelowOneBehavesAsOne) {
  Layout layout;
  layout.publish("a", "a");
  layout.publish("b", "b");
  for (int bound : {0, -3}) {
    SCOPED_TRACE(bound);
    IndexConnectionCache cache(layout.root(), bound);
    EXPECT_EQ(cache.max_size(), 1);
    core::Connection a = cache.get_connection("local", "a", "default").connection;
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.get_connection("local", "a", "default").connection.raw(), a.raw());
    core::Connection b = cache.get_connection("local", "b", "default").connection;
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_FALSE(a.is_open());
    EXPECT_EQ(value_of(b), "b");
    cache.close_all();
    EXPECT_EQ(cache.size(), 0u);
  }
}

TEST(IndexConnectionCache, NothingToOpenLeavesTheCacheUnchanged) {
  Layout layout;
  layout.publish("api", "v1");
  IndexConnectionCache cache(layout.root());
  core::Connection live = cache.get_connection("local", "api", "default").connection;

  auto message_of = [&](const std::string& repo) {
    try {
      cache.get_connection("local", repo, "default");
    } catch (const IndexNotFoundError& error) {
      return std::string(error.what());
    }
    return std::string("no IndexNotFoundError");
  };
  EXPECT_EQ(message_of("never"), "no published index for local/never@default");
  layout.point("empty", " \n");
  EXPECT_EQ(message_of("empty"), "empty pointer file for local/empty@default");
  layout.point("dangling", "index-gone.db");
  EXPECT_EQ(message_of("dangling"), "pointer for local/dangling@default references missing file " +
                                        (layout.dir("dangling") / "index-gone.db").string());
  layout.point("escaping", "../../api/default/index-v1.db");
  EXPECT_EQ(message_of("escaping"),
            "pointer file for local/escaping@default does not name a file of its directory: "
            "'../../api/default/index-v1.db'");
  EXPECT_THROW(cache.get_connection("local", "../api", "default"), core::ValueError);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_TRUE(live.is_open());
}

TEST(IndexConnectionCache, PointerNamingADirectoryPassesTheExistenceTest) {
  Layout layout;
  fs::create_directories(layout.dir("api") / "index-dir.db");
  layout.point("api", "index-dir.db");
  IndexConnectionCache cache(layout.root());
  // What follows is SQLite's own answer about the directory, never "missing file".
  std::string error = sqlite_error([&] {
    auto [connection, metadata] = cache.get_connection("local", "api", "default");
    connection.query_int("SELECT COUNT(*) FROM sqlite_master");
  });
  EXPECT_NE(error, "");
}

TEST(IndexConnectionCache, MissingOrMalformedMetadataGivesAConnectionWithoutMetadata) {
  Layout layout;
  layout.publish("api", "v1", /*with_metadata=*/false);
  IndexConnectionCache cache(layout.root());
  auto [connection, metadata] = cache.get_connection("local", "api", "default");
  EXPECT_EQ(value_of(connection), "v1");
  EXPECT_FALSE(metadata);
  core::write_file(layout.dir("api") / "index-v1.metadata.json", "[\"not an object\"]");
  EXPECT_FALSE(cache.get_connection("local", "api", "default").metadata);
}

TEST(IndexConnectionCache, CloseAllClosesEverythingAndTheCacheStaysUsable) {
  Layout layout;
  layout.publish("a", "a");
  layout.publish("b", "b");
  IndexConnectionCache cache(layout.root());
  core::Connection a = cache.get_connection("local", "a", "default").connection;
  core::Statement running = a.prepare("SELECT value FROM t");
  core::Connection b = cache.get_connection("local", "b", "default").connection;

  cache.close_all();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_FALSE(a.is_open());
  EXPECT_FALSE(b.is_open());
  // Every holder's next call fails cleanly, statements prepared before included.
  EXPECT_EQ(sqlite_error([&] { value_of(a); }), CLOSED);
  EXPECT_EQ(sqlite_error([&] { running.step(); }), CLOSED);

  core::Connection again = cache.get_connection("local", "a", "default").connection;
  EXPECT_NE(again.raw(), nullptr);
  EXPECT_EQ(value_of(again), "a");
  EXPECT_EQ(cache.size(), 1u);
  cache.close_all();
  cache.close_all();  // nothing left: a no-op
  EXPECT_EQ(cache.size(), 0u);
}

TEST(IndexConnectionCache, OpensReadOnlyImmutableThroughAnEncodedUri) {
  // Characters that would end the path part of a URI: they must be encoded.
  Layout layout("snap?shots#50%");
  layout.publish("api", "v1");
  const fs::path database = layout.dir("api") / "index-v1.db";
  std::string encoded = database.string();
  for (auto [raw, escaped] : {std::pair{"%", "%25"}, std::pair{"?", "%3F"}, std::pair{"#", "%23"}}) {
    for (std::size_t at = encoded.find(raw); at != std::string::npos; at = encoded.find(raw, at + 3)) {
      encoded.replace(at, 1, escaped);
    }
  }
  EXPECT_EQ(core::sqlite_uri(database, /*read_only=*/true, /*immutable=*/true),
            "file:" + encoded + "?mode=ro&immutable=1");

  IndexConnectionCache cache(layout.root());
  core::Connection connection = cache.get_connection("local", "api", "default").connection;
  EXPECT_EQ(value_of(connection), "v1");
  EXPECT_EQ(sqlite_error([&] { connection.exec("INSERT INTO t VALUES ('x')"); }),
            "attempt to write a readonly database");

  // Immutable: no locking, so a writer's exclusive lock does not stop the reader
  // (a locking reader would fail at once with "database is locked").
  core::Connection writer = core::Connection::open(database);
  writer.exec("PRAGMA busy_timeout = 0; BEGIN EXCLUSIVE; INSERT INTO t VALUES ('pending');");
  connection.exec("PRAGMA busy_timeout = 0");
  EXPECT_EQ(connection.query_int("SELECT COUNT(*) FROM t"), 1);
  writer.rollback();
}

TEST(ConfigurationCache, FindsWhatThePipelinePublishesUnderTheDataDirectory) {
  core::ScratchDir home = core::ScratchDir::create("kolvex-xdg-");
  testkit::ScopedEnv env({{"XDG_DATA_HOME", home.path().string()}});
  const fs::path data = home.path() / "kolvex";
  const fs::path dir = platform::index_dir("api-gateway", data);
  fs::create_directories(dir);
  core::Connection db = core::Connection::open(dir / "index-c-g.db");
  db.exec("CREATE TABLE t (value TEXT); INSERT INTO t VALUES ('live');");
  db.close();
  core::write_file(dir / "current", "index-c-g.db");

  IndexConnectionCache cache = new_connection_cache();
  EXPECT_EQ(cache.filestore_root(), platform::data_dir());
  auto [connection, metadata] = get_connection(cache, "api-gateway");
  EXPECT_EQ(value_of(connection), "live");
  EXPECT_FALSE(metadata);
  EXPECT_THROW(get_connection(cache, "api"), IndexNotFoundError);
  EXPECT_THROW(get_connection(cache, "../api-gateway"), core::ValueError);
  EXPECT_THROW(get_connection(cache, "Api-Gateway"), core::ValueError);
  cache.close_all();
  EXPECT_FALSE(connection.is_open());
}

}  // namespace
}  // namespace kolvex::snapmount
