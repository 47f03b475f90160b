#include "semantic/finish.h"

#include <gtest/gtest.h>

#include <set>

#include "chunker/chunk_file.h"
#include "core/fs.h"
#include "core/hash.h"
#include "platform/config.h"
#include "semantic/fake_model.h"
#include "syntax/parser_pool.h"
#include "testkit/git_repo.h"

namespace kolvex::semantic {
namespace {

using testing::FakeModel;

class FinishTest : public ::testing::Test {
 protected:
  SemanticWork prepare() {
    return prepare_semantic(repo_.path(), "demo", {.root = data_.path(), .model = model_});
  }
  SemanticIndexReport finish(SemanticWork& work, const PreparedChunkMap& prepared = {}) {
    return finish_semantic(work, prepared, pool_);
  }
  std::vector<Row> table() {
    std::vector<Row> rows;
    SemanticStore store(platform::lancedb_dir(data_.path()));
    for (const FileRows& file : store.rows_by_path("demo")) rows.insert(rows.end(), file.rows.begin(), file.rows.end());
    return rows;
  }
  static std::string sha(std::string_view bytes) { return core::sha256_hex(bytes); }

  testkit::GitRepo repo_ = testkit::GitRepo::init();
  core::ScratchDir data_ = core::ScratchDir::create("semantic-finish-");
  std::shared_ptr<FakeModel> model_ = std::make_shared<FakeModel>(ModelSpec{"fake/model", "rev1", "q: ", "d: "},
                                                                  "no known prefixes");
  syntax::ParserPool pool_;
};

std::set<std::string> column_values(const std::vector<Row>& rows, std::string_view column) {
  std::set<std::string> values;
  for (const Row& row : rows) values.insert(text_column(row, column));
  return values;
}

TEST_F(FinishTest, WritesOneRowPerChunkWithTheWorkIdentity) {
  repo_.write("lib.go", "package lib\n\nfunc A() {}\n");
  SemanticWork work = prepare();
  SemanticIndexReport report = finish(work);

  std::vector<Row> rows = table();
  ASSERT_EQ(rows.size(), 1u);
  const Row& row = rows[0];
  std::vector<std::string> columns;
  for (const auto& [name, value] : row.columns) columns.push_back(name);
  EXPECT_EQ(columns, std::vector<std::string>(ROW_COLUMNS.begin(), ROW_COLUMNS.end()));
  EXPECT_EQ(text_column(row, "chunk_id").size(), 32u);
  EXPECT_EQ(text_column(row, "file_hash"), sha("package lib\n\nfunc A() {}\n"));
  EXPECT_EQ(text_column(row, "file_path"), "lib.go");
  EXPECT_EQ(text_column(row, "symbol_name"), "");  // a window has no symbol
  EXPECT_EQ(text_column(row, "language"), "go");
  EXPECT_EQ(text_column(row, "model_name"), "fake/model");
  EXPECT_EQ(text_column(row, "model_revision"), "rev1");
  EXPECT_EQ(text_column(row, "query_prefix"), "q: ");
  EXPECT_EQ(text_column(row, "doc_prefix"), "d: ");
  EXPECT_EQ(integer_column(row, "content_format"), 2);
  EXPECT_EQ(vector_column(row, "vector"), testing::unit_vector_of("d: " + text_column(row, "content")));

  std::int64_t estimate = chunker::tokens(text_column(row, "content"));
  EXPECT_EQ(report, (SemanticIndexReport{1, 1, {}, 0, TokenStats{estimate, estimate, estimate}, "no known prefixes"}));
  EXPECT_EQ(model_->embed_calls, (std::vector<std::vector<std::string>>{{text_column(row, "content")}}));
}

TEST_F(FinishTest, UnchangedRepositoryRewritesCarriedRowsAndStillLoadsTheModel) {
  repo_.write("a.py", "def a():\n    return 1\n");
  SemanticWork first = prepare();
  finish(first);
  std::vector<Row> before = table();

  model_->embed_calls.clear();
  SemanticWork work = prepare();
  ASSERT_TRUE(work.inputs.empty());
  SemanticIndexReport report = finish(work);
  EXPECT_EQ(model_->embed_calls, (std::vector<std::vector<std::string>>{{}}));
  EXPECT_EQ(report.rows, static_cast<std::int64_t>(before.size()));
  EXPECT_EQ(report.truncated, 0);
  EXPECT_EQ(report.token_stats, std::nullopt);
  EXPECT_EQ(table(), before);  // chunk ids included

  SCOPED_TRACE("a missing embedding runtime fails the stage even with every vector reused");
  model_->missing = true;
  SemanticWork again = prepare();
  EXPECT_THROW(finish(again), SemanticExtraMissingError);
  EXPECT_EQ(table(), before);
}

TEST_F(FinishTest, StoredVectorsOfAnotherWidthAreEncodedAgainAndTheTableRebuilt) {
  repo_.write("a.go", "package a\n");
  repo_.write("b.go", "package b\n");
  SemanticWork first = prepare();
  finish(first);
  const std::vector<Row> before = table();

  // The same identity now gives vectors of another width; one file changed.
  model_->width = 8;
  model_->embed_calls.clear();
  repo_.write("b.go", "package b\n\nfunc B() {}\n");
  SemanticWork work = prepare();
  ASSERT_EQ(work.carried.size(), 1u);
  SemanticIndexReport report = finish(work);

  std::vector<Row> rows = table();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(report.rows, 2);
  for (const Row& row : rows) {
    EXPECT_EQ(vector_column(row, "vector"), model_->document_vector(text_column(row, "content")));
  }
  EXPECT_EQ(text_column(rows[0], "chunk_id"), text_column(before[0], "chunk_id"));  // still the carried row
  EXPECT_EQ(text_column(rows[0], "file_path"), "a.go");
  // The changed file first, then every text again in one call.
  ASSERT_EQ(model_->embed_calls.size(), 2u);
  EXPECT_EQ(model_->embed_calls[1],
            (std::vector<std::string>{text_column(rows[0], "content"), text_column(rows[1], "content")}));
  EXPECT_EQ(report.truncated, 0);
}

TEST_F(FinishTest, LoadedWeightsOtherThanTheIdentityNamesLeaveTheTableAsItWas) {
  repo_.write("a.go", "package a\n");
  model_->loaded = "rev1";  // what the identity names: written as usual
  SemanticWork first = prepare();
  finish(first);
  const std::vector<Row> before = table();
  ASSERT_EQ(before.size(), 1u);

  repo_.write("a.go", "package a\n\nfunc A() {}\n");
  for (const std::string loaded : {"rev2", ""}) {
    SCOPED_TRACE(loaded);
    model_->loaded = loaded;
    SemanticWork work = prepare();
    EXPECT_THROW(finish(work), WeightsChangedError);
    EXPECT_EQ(table(), before);
  }
}

TEST_F(FinishTest, NoAdmittedFileDropsTheTable) {
  repo_.write("a.py", "x = 1\n");
  SemanticWork first = prepare();
  finish(first);
  ASSERT_TRUE(std::filesystem::exists(platform::lancedb_dir(data_.path()) / "demo.lance"));
  repo_.remove("a.py");
  SemanticWork work = prepare();
  SemanticIndexReport report = finish(work);
  EXPECT_EQ(report.rows, 0);
  EXPECT_EQ(report.files, 0);
  EXPECT_FALSE(std::filesystem::exists(platform::lancedb_dir(data_.path()) / "demo.lance"));
}

TEST_F(FinishTest, PreparedChunksAreUsedOnlyWhenEveryChunkCarriesTheInputHash) {
  repo_.write("a.go", "package a\n");
  repo_.write("b.go", "package b\n");
  repo_.write("c.go", "package c\n");
  SemanticWork work = prepare();
  const std::string hash_a = sha("package a\n");
  const std::string hash_b = sha("package b\n");
  PreparedChunkMap prepared = {
      {"a.go", {chunker::make_chunk("a.go", "go", hash_a, "prepared a", 1, 1, "A")}},
      {"b.go",
       {chunker::make_chunk("b.go", "go", hash_b, "prepared b1", 1, 1, std::nullopt),
        chunker::make_chunk("b.go", "go", "stale", "prepared b2", 1, 1, std::nullopt)}},
      {"c.go", {}},
  };
  // Usable entries are not read again: their files may even be gone.
  repo_.remove("a.go");
  repo_.remove("c.go");
  SemanticIndexReport report = finish(work, prepared);

  std::vector<Row> rows = table();
  EXPECT_EQ(report.rows, 2);
  EXPECT_EQ(column_values(rows, "file_path"), (std::set<std::string>{"a.go", "b.go"}));
  std::set<std::string> contents = column_values(rows, "content");
  EXPECT_TRUE(contents.count("prepared a"));
  EXPECT_FALSE(contents.count("prepared b1"));
  EXPECT_FALSE(contents.count("prepared b2"));
  EXPECT_EQ(text_column(rows[0], "symbol_name"), "A");
}

TEST_F(FinishTest, RereadFilesCarryTheHashOfTheBytesRead) {
  repo_.write("a.go", "package a\n");
  repo_.write("bad.go", "package bad // \xff\n");
  SemanticWork work = prepare();
  repo_.write("a.go", "package a // changed\n");
  finish(work);

  std::vector<Row> rows = table();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(text_column(rows[0], "file_hash"), sha("package a // changed\n"));
  EXPECT_NE(text_column(rows[0], "content").find("changed"), std::string::npos);
  // Bytes that are not UTF-8 are chunked as U+FFFD; the hash is that of the raw bytes.
  EXPECT_NE(text_column(rows[1], "content").find("// \xef\xbf\xbd"), std::string::npos);
  EXPECT_EQ(text_column(rows[1], "file_hash"), sha("package bad // \xff\n"));

  // The next run sees the stored hash match and carries the file over.
  SemanticWork next = prepare();
  EXPECT_TRUE(next.inputs.empty());
}

TEST_F(FinishTest, FileSwappedForALinkOutsideTheRepositoryIsNotRead) {
  core::ScratchDir outside = core::ScratchDir::create("semantic-outside-");
  core::write_file(outside.path() / "secret.go", "package secret\n");
  repo_.write("a.go", "package a\n");
  SemanticWork work = prepare();
  repo_.remove("a.go");
  repo_.symlink("a.go", (outside.path() / "secret.go").string());
  EXPECT_THROW(finish(work), core::OsError);
  EXPECT_TRUE(model_->embed_calls.empty());
  EXPECT_FALSE(std::filesystem::exists(platform::lancedb_dir(data_.path()) / "demo.lance"));
}

TEST_F(FinishTest, EqualContentIsEncodedOnceAndKnownVectorsAreReused) {
  repo_.write("a.go", "package x\n");
  repo_.write("b.go", "package y\n");
  SemanticWork work = prepare();
  const std::string hash_a = sha("package x\n");
  const std::string hash_b = sha("package y\n");
  chunker::Chunk shared_a = chunker::make_chunk("a.go", "go", hash_a, "same text", 1, 1, std::nullopt);
  chunker::Chunk shared_b = chunker::make_chunk("b.go", "go", hash_b, "same text", 1, 1, std::nullopt);
  chunker::Chunk known = chunker::make_chunk("b.go", "go", hash_b, "known text", 2, 2, std::nullopt);
  work.vector_by_hash[known.content_hash] = Vector{0.0f, 1.0f, 0.0f, 0.0f};
  SemanticIndexReport report = finish(work, {{"a.go", {shared_a}}, {"b.go", {shared_b, known}}});

  EXPECT_EQ(model_->embed_calls, (std::vector<std::vector<std::string>>{{"same text"}}));
  std::vector<Row> rows = table();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(vector_column(rows[0], "vector"), vector_column(rows[1], "vector"));
  EXPECT_NE(text_column(rows[0], "chunk_id"), text_column(rows[1], "chunk_id"));
  EXPECT_EQ(vector_column(rows[2], "vector"), (Vector{0.0f, 1.0f, 0.0f, 0.0f}));
  EXPECT_EQ(report.token_stats, (TokenStats{2, 2, 2}));
  EXPECT_TRUE(work.vector_by_hash.count(shared_a.content_hash));
}

TEST_F(FinishTest, TruncationCountFailureOnlyLeavesTheCountAbsent) {
  repo_.write("a.go", "package a\n");
  model_->count_fails = true;
  SemanticWork work = prepare();
  SemanticIndexReport report = finish(work);
  EXPECT_EQ(report.truncated, std::nullopt);
  EXPECT_EQ(report.rows, 1);
  EXPECT_EQ(table().size(), 1u);

  model_->count_fails = false;
  model_->oversized_bytes = 5;
  repo_.write("a.go", "package a2\n");
  SemanticWork again = prepare();
  EXPECT_EQ(finish(again).truncated, 1);
}

TEST_F(FinishTest, MissingVectorFailsBeforeAnythingIsWritten) {
  repo_.write("a.go", "package a\n");
  SemanticWork first = prepare();
  finish(first);
  std::vector<Row> before = table();
  repo_.write("a.go", "package b\n");
  model_->short_by = 1;
  SemanticWork work = prepare();
  EXPECT_THROW(finish(work), core::RuntimeError);
  EXPECT_EQ(table(), before);
}

TEST(TokenStatsTest, UpperMiddleAndNinetiethPercentile) {
  auto range = [](int n) {
    std::vector<std::int64_t> values;
    for (int i = n - 1; i >= 0; --i) values.push_back(i * 10);  // t_i = 10 i, given in reverse
    return values;
  };
  struct Case {
    int n;
    std::optional<TokenStats> expected;
  };
  for (const Case& c : std::vector<Case>{{0, std::nullopt},
                                         {1, TokenStats{0, 0, 0}},
                                         {2, TokenStats{10, 10, 10}},
                                         {10, TokenStats{50, 90, 90}},
                                         {20, TokenStats{100, 180, 190}}}) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(detail::token_stats(range(c.n)), c.expected);
  }
}

TEST_F(FinishTest, IndexSemanticBuildsFromTheWorkingTree) {
  repo_.write("pkg/a.py", "def a():\n    return 1\n");
  repo_.write("pkg/b.sh", "echo hi\n");
  SemanticIndexReport report = index_semantic(repo_.path(), "demo", {.root = data_.path(), .model = model_});
  EXPECT_EQ(report.files, 2);
  EXPECT_EQ(report.rows, static_cast<std::int64_t>(table().size()));
  EXPECT_EQ(column_values(table(), "file_path"), (std::set<std::string>{"pkg/a.py", "pkg/b.sh"}));
  EXPECT_EQ(column_values(table(), "symbol_name").count("a"), 1u);
}

TEST(ExtraMissing, OnlyMissingComponentsCountAsMissing) {
  EXPECT_TRUE(is_extra_missing(SemanticExtraMissingError(std::string(INSTALL_HINT))));
  EXPECT_FALSE(is_extra_missing(core::RuntimeError("disk full")));
  EXPECT_FALSE(is_extra_missing(core::ValueError("bad batch size")));
}

}  // namespace
}  // namespace kolvex::semantic
