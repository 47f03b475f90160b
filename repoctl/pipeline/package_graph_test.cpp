#include "repoctl/pipeline/package_graph.h"

#include <gtest/gtest.h>

#include <utility>

#include "core/fs.h"
#include "core/sqlite.h"

namespace kolvex::pipeline {
namespace {

namespace fs = std::filesystem;
using platform::clear_graph_edges_for_repo;
using platform::GraphStore;
using platform::PackageRef;

// A converted SCIP database holding only what the graph reads: global symbols,
// each with or without a definition range.
core::Connection scip_database(const std::vector<std::pair<std::string, bool>>& symbols,
                               bool with_ranges = true) {
  auto connection = core::Connection::open_memory();
  connection.exec("CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT)");
  if (with_ranges) {
    connection.exec(
        "CREATE TABLE defn_enclosing_ranges (id INTEGER PRIMARY KEY, document_id INTEGER, symbol_id INTEGER, "
        "start_line INTEGER, end_line INTEGER)");
  }
  auto insert = connection.prepare("INSERT INTO global_symbols (symbol) VALUES (?)");
  for (const auto& [symbol, defined] : symbols) {
    insert.bind(1, symbol);
    insert.run();
    insert.reset();
    if (defined && with_ranges) {
      auto range = connection.prepare(
          "INSERT INTO defn_enclosing_ranges (document_id, symbol_id, start_line, end_line) VALUES (1, ?, 0, 1)");
      range.bind(1, connection.last_insert_rowid());
      range.run();
    }
  }
  return connection;
}

class PackageGraphTest : public ::testing::Test {
 protected:
  core::ScratchDir scratch_ = core::ScratchDir::create("kolvex-package-graph-test-");
  fs::path db_path_ = scratch_.path() / "data" / "registry.db";
};

const std::vector<std::pair<std::string, bool>> APP_SYMBOLS = {
    {"scip-typescript npm app 1.0.0 src/`main.ts`/run().", true},
    {"scip-typescript npm app 1.0.0 src/`util.ts`/helper().", false},  // own package, no range here
    {"scip-typescript npm lodash 4.17.21 lodash/map().", false},
    {"scip-typescript npm lodash 4.17.21 lodash/filter().", false},
    {"scip-typescript npm `@types/node` 20.1.0 fs/readFile().", false},
    {"scip-typescript npm . . lib/`lib.es5.d.ts`/Array#", false},  // unspecified package
    {"local 12", false},
    {"broken symbol", false},
};

TEST_F(PackageGraphTest, PopulateDerivesPackagesAndEdges) {
  GraphStore store(db_path_);
  auto scip = scip_database(APP_SYMBOLS);
  populate_graph_for_repo(store, "app", scip);
  EXPECT_EQ(store.packages_of("app"), (std::vector<PackageRef>{{"npm", "app", "1.0.0"}}));
  EXPECT_EQ(store.dependencies_of("app"),
            (std::vector<PackageRef>{{"npm", "@types/node", "20.1.0"}, {"npm", "lodash", "4.17.21"}}));
}

TEST_F(PackageGraphTest, WithoutDefinitionRangesEveryPackageIsADependency) {
  GraphStore store(db_path_);
  auto scip = scip_database({{"scip-python python api 0.1 api/main().", true},
                             {"scip-python python requests 2.31 requests/get().", false}},
                            /*with_ranges=*/false);
  populate_graph_for_repo(store, "api", scip);
  EXPECT_TRUE(store.packages_of("api").empty());
  EXPECT_EQ(store.dependencies_of("api"),
            (std::vector<PackageRef>{{"python", "api", "0.1"}, {"python", "requests", "2.31"}}));
}

TEST_F(PackageGraphTest, ReplaceClearAndForgetTouchOnlyTheirSlug) {
  GraphStore store(db_path_);
  auto api_v1 = scip_database({{"scip-python python api 1 api/a().", true},
                               {"scip-python python requests 2.0 requests/get().", false}});
  auto gateway = scip_database({{"scip-python python gw 1 gw/a().", true},
                                {"scip-python python flask 3.0 flask/Flask#", false}});
  populate_graph_for_repo(store, "api", api_v1);
  populate_graph_for_repo(store, "api-gateway", gateway);

  // A new generation replaces the slug's rows whole.
  auto api_v2 = scip_database({{"scip-python python api 2 api/a().", true},
                               {"scip-python python httpx 0.27 httpx/get().", false}});
  populate_graph_for_repo(store, "api", api_v2);
  EXPECT_EQ(store.packages_of("api"), (std::vector<PackageRef>{{"python", "api", "2"}}));
  EXPECT_EQ(store.dependencies_of("api"), (std::vector<PackageRef>{{"python", "httpx", "0.27"}}));

  const std::vector<PackageRef> gateway_packages = {{"python", "gw", "1"}};
  const std::vector<PackageRef> gateway_edges = {{"python", "flask", "3.0"}};

  clear_graph_edges_for_repo(store, "api");
  EXPECT_TRUE(store.dependencies_of("api").empty());
  EXPECT_EQ(store.packages_of("api"), (std::vector<PackageRef>{{"python", "api", "2"}}));
  EXPECT_EQ(store.packages_of("api-gateway"), gateway_packages);
  EXPECT_EQ(store.dependencies_of("api-gateway"), gateway_edges);

  store.forget_repo("api");
  EXPECT_TRUE(store.packages_of("api").empty());
  EXPECT_TRUE(store.dependencies_of("api").empty());
  EXPECT_EQ(store.packages_of("api-gateway"), gateway_packages);
  EXPECT_EQ(store.dependencies_of("api-gateway"), gateway_edges);
  store.close();

  // Rows survive closing and reopening; forgetting an unknown slug is harmless.
  GraphStore reopened(db_path_);
  reopened.forget_repo("never-indexed");
  EXPECT_EQ(reopened.dependencies_of("api-gateway"), gateway_edges);
}

TEST_F(PackageGraphTest, PopulateFailsOnADatabaseWithoutSymbols) {
  GraphStore store(db_path_);
  auto empty = core::Connection::open_memory();
  EXPECT_THROW(populate_graph_for_repo(store, "api", empty), core::SqliteError);
}

}  // namespace
}  // namespace kolvex::pipeline
