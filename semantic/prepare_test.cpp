#include "semantic/prepare.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/fs.h"
#include "core/hash.h"
#include "declstore/capture.h"
#include "platform/config.h"
#include "semantic/fake_model.h"
#include "semantic/testing.h"
#include "testkit/git_repo.h"

namespace kolvex::semantic {
namespace {

using testing::FakeModel;

Row stored_row(const std::string& path, const std::string& file_hash, const std::string& content_hash,
               const TableIdentity& identity, float x = 1.0f) {
  return make_row({.chunk_id = core::sha256_hex(path + content_hash).substr(0, 32),
                   .content_hash = content_hash,
                   .file_hash = file_hash,
                   .file_path = path,
                   .start_line = 1,
                   .end_line = 2,
                   .symbol_name = "",
                   .language = "python",
                   .content = "c",
                   .vector = {x, 0.0f},
                   .model_name = identity.model_name,
                   .model_revision = identity.model_revision,
                   .query_prefix = identity.query_prefix,
                   .doc_prefix = identity.doc_prefix,
                   .content_format = identity.content_format});
}

class PrepareTest : public ::testing::Test {
 protected:
  SemanticWork prepare(PrepareOptions options = {}) {
    if (!options.model) options.model = model_;
    options.root = data_.path();
    return prepare_semantic(repo_.path(), "demo", options);
  }
  SemanticStore store() { return SemanticStore(platform::lancedb_dir(data_.path())); }
  TableIdentity configured() const { return {"fake/model", "rev1", "q: ", "d: ", 2}; }
  static std::string sha(std::string_view bytes) { return core::sha256_hex(bytes); }

  testkit::GitRepo repo_ = testkit::GitRepo::init();
  core::ScratchDir data_ = core::ScratchDir::create("semantic-prepare-");
  std::shared_ptr<FakeModel> model_ = std::make_shared<FakeModel>();
};

TEST_F(PrepareTest, WithoutPreviousTableEveryAdmittedFileIsAnInput) {
  repo_.write("src/app.py", "def main():\n    pass\n");
  repo_.write("src/util.go", "package util\n");
  repo_.write("README.md", "not a source\n");
  repo_.write("node_modules/lib/x.py", "x = 1\n");
  SemanticWork work = prepare();

  EXPECT_EQ(work.slug, "demo");
  EXPECT_EQ(work.identity, configured());
  EXPECT_EQ(work.admitted, 2);
  EXPECT_TRUE(work.skipped.empty());
  EXPECT_TRUE(work.carried.empty());
  EXPECT_TRUE(work.vector_by_hash.empty());
  EXPECT_EQ(work.inputs, (std::vector<SemanticInput>{
                             {"src/app.py", repo_ / "src/app.py", sha("def main():\n    pass\n"), "python"},
                             {"src/util.go", repo_ / "src/util.go", sha("package util\n"), "go"},
                         }));
  EXPECT_EQ(semantic_parse_paths(work), (std::set<std::string>{"src/app.py"}));
  // The store created the vector directory, but no table.
  EXPECT_TRUE(std::filesystem::is_directory(platform::lancedb_dir(data_.path())));
  EXPECT_FALSE(std::filesystem::exists(platform::lancedb_dir(data_.path()) / "demo.lance"));
  EXPECT_TRUE(model_->embed_calls.empty());
}

TEST_F(PrepareTest, PreviousTableOfAnotherIdentityIsIgnored) {
  repo_.write("a.py", "a = 1\n");
  struct Case {
    const char* name;
    TableIdentity identity;
  };
  const std::vector<Case> cases = {
      {"another document prefix", {"fake/model", "rev1", "q: ", "passage: ", 2}},
      {"another revision", {"fake/model", "rev2", "q: ", "d: ", 2}},
      {"another content format", {"fake/model", "rev1", "q: ", "d: ", 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store().overwrite("demo", {stored_row("a.py", sha("a = 1\n"), "h1", c.identity)});
    SemanticWork work = prepare();
    EXPECT_TRUE(work.carried.empty());
    EXPECT_TRUE(work.vector_by_hash.empty());
    EXPECT_EQ(work.inputs.size(), 1u);
  }

  SCOPED_TRACE("a table written before the prefix and format columns");
  Row old = stored_row("a.py", sha("a = 1\n"), "h1", {"fake/model", "rev1", "", "", 0});
  old.columns.resize(12);  // up to model_revision
  store().overwrite("demo", {old});
  SemanticWork work = prepare({.model = std::make_shared<FakeModel>(ModelSpec{"fake/model", "rev1", "", ""})});
  EXPECT_TRUE(work.carried.empty());
  EXPECT_TRUE(work.vector_by_hash.empty());
}

TEST_F(PrepareTest, EqualIdentityCarriesUnchangedFilesAndKeepsEveryStoredVector) {
  repo_.write("same.py", "same = 1\n");
  repo_.write("changed.py", "changed = 2\n");
  const TableIdentity id = configured();
  std::vector<Row> previous = {
      stored_row("same.py", sha("same = 1\n"), "s1", id, 1.0f),
      stored_row("changed.py", sha("changed = 1\n"), "c1", id, 2.0f),
      stored_row("same.py", sha("same = 1\n"), "s2", id, 3.0f),
      stored_row("gone.py", sha("gone\n"), "g1", id, 4.0f),
      stored_row("gone.py", sha("gone\n"), "s1", id, 5.0f),  // a later row of one content hash wins
  };
  store().overwrite("demo", previous);
  SemanticWork work = prepare();

  EXPECT_EQ(work.admitted, 2);
  EXPECT_EQ(work.carried, (std::vector<Row>{previous[0], previous[2]}));
  EXPECT_EQ(work.inputs, (std::vector<SemanticInput>{
                             {"changed.py", repo_ / "changed.py", sha("changed = 2\n"), "python"}}));
  EXPECT_EQ(semantic_parse_paths(work), (std::set<std::string>{"changed.py"}));
  ASSERT_EQ(work.vector_by_hash.size(), 4u);
  EXPECT_EQ(work.vector_by_hash.at("s1"), (Vector{5.0f, 0.0f}));
  EXPECT_EQ(work.vector_by_hash.at("c1"), (Vector{2.0f, 0.0f}));
  EXPECT_EQ(work.vector_by_hash.at("g1"), (Vector{4.0f, 0.0f}));
}

TEST_F(PrepareTest, AdmissionChecksAndForceIncludes) {
  std::string lines;
  for (int i = 0; i < 131072; ++i) lines += "# line.\n";  // 1,048,576 bytes
  repo_.write("big/exact.py", lines);
  repo_.write("big/over.py", lines + "\n");
  repo_.write("gen/banner.py", "# Code generated by protoc. DO NOT EDIT.\nx = 1\n");
  repo_.write("gen/long.py", "x = '" + std::string(5000, 'y') + "'\n");
  repo_.write("forced/big.py", std::string(1048577, 'x'));
  repo_.write("forced/banner.py", "# @generated\n");
  repo_.write("bad.py", "x = '\xff\xfe'\n");
  SemanticWork work = prepare({.include_prefixes = {"forced/"}});

  EXPECT_EQ(work.skipped, (std::vector<SkippedFile>{
                              {"big/over.py", "too-large:1048577"},
                              {"gen/banner.py", "banner:code generated by"},
                              {"gen/long.py", "long-line:5006"},
                          }));
  std::vector<std::string> inputs;
  for (const SemanticInput& input : work.inputs) inputs.push_back(input.file_path);
  EXPECT_EQ(inputs, (std::vector<std::string>{"bad.py", "big/exact.py", "forced/banner.py", "forced/big.py"}));
  EXPECT_EQ(work.admitted, 4);
  EXPECT_EQ(work.inputs[0].file_hash, sha("x = '\xff\xfe'\n"));  // the raw bytes
}

TEST_F(PrepareTest, ManifestCopiesAreReadInsteadOfTheWorkingTree) {
  repo_.write("copied.py", "working = 1\n");
  repo_.write("listed.py", "listed = 1\n");
  repo_.write("untracked.py", "untracked = 1\n");
  repo_.write("hashless.py", "hashless = 1\n");
  core::ScratchDir scratch = core::ScratchDir::create("semantic-capture-");
  core::write_file(scratch.path() / "copied.py", "captured = 1\n");
  core::write_file(scratch.path() / "hashless.py", "captured hashless\n");
  declstore::SourceManifest manifest{
      .files = {{"copied.py", "python", sha("captured = 1\n"), scratch.path() / "copied.py", true, std::nullopt},
                {"listed.py", "python", std::nullopt, std::nullopt, false, "excluded"},
                {"hashless.py", "python", "", scratch.path() / "hashless.py", true, std::nullopt}},
      .source_hash = std::string(64, '0')};
  SemanticWork work = prepare({.manifest = &manifest});

  EXPECT_EQ(work.inputs, (std::vector<SemanticInput>{
                             {"copied.py", scratch.path() / "copied.py", sha("captured = 1\n"), "python"},
                             {"hashless.py", scratch.path() / "hashless.py", sha("captured hashless\n"), "python"},
                             {"listed.py", repo_ / "listed.py", sha("listed = 1\n"), "python"},
                             {"untracked.py", repo_ / "untracked.py", sha("untracked = 1\n"), "python"},
                         }));
}

TEST_F(PrepareTest, LinksOutsideTheRepositoryAreNotRead) {
  core::ScratchDir outside = core::ScratchDir::create("semantic-outside-");
  core::write_file(outside.path() / "secret.py", "token = 'x'\n");
  repo_.write("inside.py", "x = 1\n");
  repo_.symlink("escape.py", (outside.path() / "secret.py").string());
  repo_.symlink("alias.py", "inside.py");
  SemanticWork work = prepare();
  std::vector<std::string> inputs;
  for (const SemanticInput& input : work.inputs) inputs.push_back(input.file_path);
  EXPECT_EQ(inputs, (std::vector<std::string>{"alias.py", "inside.py"}));

  // The reader itself refuses a path that resolves outside the repository.
  EXPECT_EQ(detail::read_repository_file(repo_.path(), repo_ / "escape.py"), std::nullopt);
  EXPECT_EQ(detail::read_repository_file(repo_.path(), repo_ / "alias.py"), std::optional<std::string>("x = 1\n"));
}

TEST_F(PrepareTest, EmptyRepositoryStillReadsThePreviousIdentity) {
  SemanticWork work = prepare();
  EXPECT_EQ(work.admitted, 0);
  EXPECT_TRUE(work.inputs.empty() && work.carried.empty() && work.skipped.empty());
  EXPECT_TRUE(semantic_parse_paths(work).empty());

  semantic::testing::VectorStoreMissing missing;
  core::ScratchDir fresh = core::ScratchDir::create("semantic-fresh-");
  try {
    prepare_semantic(repo_.path(), "demo", {.root = fresh.path() / "data", .model = model_});
    FAIL() << "expected SemanticExtraMissingError";
  } catch (const SemanticExtraMissingError& error) {
    EXPECT_EQ(error.message(), INSTALL_HINT);
    EXPECT_TRUE(error.cause());
  }
  EXPECT_FALSE(std::filesystem::exists(fresh.path() / "data"));
}

TEST_F(PrepareTest, ParsePathsOnlyForLanguagesWithDeclarationTypes) {
  repo_.write("a.go", "package a\n");
  repo_.write("b.rs", "fn main() {}\n");
  repo_.write("c.ts", "export const c = 1;\n");
  repo_.write("d.kt", "fun d() {}\n");
  EXPECT_EQ(semantic_parse_paths(prepare()), (std::set<std::string>{"c.ts", "d.kt"}));
}

TEST_F(PrepareTest, UnsafeSlugsAreRejected) {
  for (const char* slug : {"", "..", "a/b", "Upper", "a_b"}) {
    SCOPED_TRACE(slug);
    EXPECT_THROW(prepare_semantic(repo_.path(), slug, {.root = data_.path(), .model = model_}), core::ValueError);
  }
}

}  // namespace
}  // namespace kolvex::semantic
