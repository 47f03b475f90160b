#include "platform/graph.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

class GraphTest : public ::testing::Test {
 protected:
  core::ScratchDir scratch_ = core::ScratchDir::create("kolvex-graph-test-");
  fs::path db_path_ = scratch_.path() / "data" / "registry.db";
};

TEST_F(GraphTest, ReplaceClearAndForgetTouchOnlyTheirSlug) {
  const std::vector<PackageRef> gateway_packages = {{"python", "gw", "1"}};
  const std::vector<PackageRef> gateway_edges = {{"python", "flask", "3.0"}};
  GraphStore store(db_path_);
  store.replace_repo("api", {{"python", "api", "1"}}, {{"python", "requests", "2.0"}});
  store.replace_repo("api-gateway", gateway_packages, gateway_edges);

  // A replacement is whole; identities and edges come back sorted.
  store.replace_repo("api", {{"python", "api", "2"}}, {{"python", "requests", "2.1"}, {"python", "httpx", "0.27"}});
  EXPECT_EQ(store.packages_of("api"), (std::vector<PackageRef>{{"python", "api", "2"}}));
  EXPECT_EQ(store.dependencies_of("api"),
            (std::vector<PackageRef>{{"python", "httpx", "0.27"}, {"python", "requests", "2.1"}}));

  store.clear_edges("api");
  EXPECT_TRUE(store.dependencies_of("api").empty());
  EXPECT_EQ(store.packages_of("api"), (std::vector<PackageRef>{{"python", "api", "2"}}));
  store.forget_repo("api");
  EXPECT_TRUE(store.packages_of("api").empty());
  EXPECT_EQ(store.packages_of("api-gateway"), gateway_packages);
  EXPECT_EQ(store.dependencies_of("api-gateway"), gateway_edges);
}

TEST_F(GraphTest, ClosedStoreRefusesUse) {
  GraphStore store(db_path_);
  store.close();
  store.close();
  EXPECT_THROW(store.forget_repo("api"), core::SqliteError);
}

}  // namespace
}  // namespace kolvex::platform
