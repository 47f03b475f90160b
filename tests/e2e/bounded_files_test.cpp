// `kolvex index` on files built to make the declarations of one file explode:
// tens of thousands of nested functions, a file of them at the 1 MiB capture
// limit, and chains of long names. The run succeeds, each such file is
// "partial" with the reason, the run is partial, and the published snapshot
// stays a small multiple of the sources.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "core/process.h"
#include "core/sqlite.h"
#include "testkit/deep_input.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using e2e::SEMANTIC_SKIPPED;
using testkit::js_chain;

constexpr std::size_t CAPTURE_LIMIT = 1024 * 1024;
// Every byte of these sources may cost this many bytes of snapshot at most;
// without the bounds the 40,000-deep file alone took gigabytes.
constexpr std::uintmax_t SNAPSHOT_BYTES_PER_SOURCE_BYTE = 16;
constexpr const char* DEPTH_REASON = "declarations nested deeper than 128 levels are not stored";

class BoundedFiles : public e2e::KolvexFixture {
 protected:
  BoundedFiles() : repo_(testkit::GitRepo::init("repo")) {}
  testkit::GitRepo repo_;
};

TEST_F(BoundedFiles, HostileNestingIndexesAsPartialWithASmallSnapshot) {
  const std::string deep = js_chain(40000);
  ASSERT_EQ(deep.size(), 560000u);
  // Nested as deep as fits the capture limit, padded to exactly the limit.
  std::string at_limit = js_chain(CAPTURE_LIMIT / 14);
  at_limit.append(CAPTURE_LIMIT - at_limit.size(), '\n');
  std::string names;
  for (int chain = 0; chain < 20; ++chain) names += js_chain(100, std::string(200, 'g')) + "\n";
  const std::string plain = "function a(){ function b(){} }\n";
  repo_.write("deep.js", deep);
  repo_.write("limit.js", at_limit);
  repo_.write("names.js", names);
  repo_.write("plain.js", plain);
  repo_.commit_all("hostile");
  const std::uintmax_t source_bytes = deep.size() + at_limit.size() + names.size() + plain.size();

  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "indexed repo\n");
  EXPECT_EQ(run.stderr_text(), SEMANTIC_SKIPPED);
  auto stored = row("repo");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::PARTIAL);

  const fs::path snapshot = index_dir("repo") / pointer("repo");
  core::Connection db = core::Connection::open(snapshot, {.read_only = true});
  auto files = db.prepare(
      "SELECT f.file_path, f.state, COALESCE(f.reason, ''), "
      "(SELECT COUNT(*) FROM syntax_symbols s WHERE s.file_path = f.file_path) "
      "FROM syntax_files f ORDER BY f.file_path");
  std::vector<std::tuple<std::string, std::string, std::string, std::int64_t>> rows;
  while (files.step()) {
    rows.emplace_back(files.column_text(0), files.column_text(1), files.column_text(2), files.column_int(3));
  }
  // names.js (426,020 bytes) may hold 16 bytes of qualified names per byte:
  // six whole chains of 100 levels and the first 84 levels of the seventh fit.
  ASSERT_EQ(names.size(), 426020u);
  const std::string budget_reason = "qualified names exceed 6816320 bytes; later declarations are not stored";
  EXPECT_EQ(rows, (std::vector<std::tuple<std::string, std::string, std::string, std::int64_t>>{
                      {"deep.js", "partial", DEPTH_REASON, 128},
                      {"limit.js", "partial", DEPTH_REASON, 128},
                      {"names.js", "partial", budget_reason, 684},
                      {"plain.js", "parsed", "", 2}}));
  EXPECT_EQ(db.query_int("SELECT SUM(LENGTH(qualified_name)) FROM syntax_symbols WHERE file_path = 'names.js'"),
            6807186);
  db.close();

  EXPECT_LE(fs::file_size(snapshot), SNAPSHOT_BYTES_PER_SOURCE_BYTE * source_bytes);
  EXPECT_TRUE(scratch_dirs().empty());
}

}  // namespace
}  // namespace kolvex
