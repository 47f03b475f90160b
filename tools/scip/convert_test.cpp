// Runs the `scip` stand-in on indexes built with the testkit builder and checks
// every row it writes against the input.
#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "blobcodec/blobcodec.h"
#include "blobcodec/zstd_frame.h"
#include "core/fs.h"
#include "core/process.h"
#include "core/sqlite.h"
#include "testkit/scip_builder.h"
#include "tools/scip/convert.h"

namespace kolvex::tools {
namespace {

using blobcodec::SymbolRoles;
using testkit::RangeForm;
using testkit::scip_occurrence;
using testkit::set_enclosing_range;

const std::string GREETER = "scip-python python app 1.0 app/Greeter#";
const std::string GREET = "scip-python python app 1.0 app/Greeter#greet().";
const std::string HELPER = "scip-python python lib 2.0 lib/helper().";
const std::string CONSTANT = "scip-python python app 1.0 app/CONST.";
const std::string BASE = "scip-python python lib 2.0 lib/Base#";
const std::string UNUSED = "scip-python python lib 2.0 lib/unused().";
std::string big_symbol(int i) { return "scip-typescript npm big 1.0 `big.ts`/v" + std::to_string(i % 2) + "."; }

core::ProcessResult run_scip(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {SCIP_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return core::run_process(argv);
}

scip::Occurrence with_enclosing(scip::Occurrence occ, std::vector<std::int32_t> range, RangeForm form) {
  set_enclosing_range(occ, std::move(range), form);
  return occ;
}

std::vector<scip::Occurrence> app_occurrences() {
  return {
      with_enclosing(scip_occurrence(GREETER, {1, 6, 13}, SymbolRoles::DEFINITION, RangeForm::typed), {1, 0, 4, 10},
                     RangeForm::typed),
      with_enclosing(scip_occurrence(GREET, {2, 8, 13}, SymbolRoles::DEFINITION), {2, 4, 3, 20}, RangeForm::packed),
      with_enclosing(scip_occurrence("local 0", {3, 8, 9}, SymbolRoles::DEFINITION), {3, 0, 3, 12}, RangeForm::packed),
      scip_occurrence(HELPER, {3, 12, 18}, SymbolRoles::READ_ACCESS),
      scip_occurrence(GREETER, {6, 0, 7}, 0, RangeForm::typed),
      scip_occurrence(CONSTANT, {8, 0, 5}, SymbolRoles::DEFINITION),
  };
}

std::vector<scip::Occurrence> big_occurrences() {
  std::vector<scip::Occurrence> occs;
  for (int i = 0; i < static_cast<int>(OCCURRENCES_PER_CHUNK) + 3; ++i) {
    if (i < 2) {
      occs.push_back(with_enclosing(scip_occurrence(big_symbol(i), {i, 0, 5}, SymbolRoles::DEFINITION), {i, 0, i + 1, 0},
                                    RangeForm::packed));
    } else {
      occs.push_back(scip_occurrence(big_symbol(i), {i, 0, 5}, SymbolRoles::READ_ACCESS));
    }
  }
  return occs;
}

scip::Index sample_index() {
  std::vector<scip::SymbolInformation> app_symbols = {
      testkit::scip_symbol(GREETER, {.kind = scip::SymbolInformation::Class,
                                     .relationships = {testkit::scip_relationship(BASE, {.is_implementation = true})}}),
      testkit::scip_symbol(GREET, {.kind = scip::SymbolInformation::Method}),
      testkit::scip_symbol("local 0", {.kind = scip::SymbolInformation::Variable}),
  };
  return testkit::scip_index(
      {testkit::scip_document("src/app.py", app_occurrences(), app_symbols, "python"),
       testkit::scip_document("lib/big.ts", big_occurrences(), {}, "typescript"),
       testkit::scip_document("empty.py", {})},
      {.external_symbols = {testkit::scip_symbol(BASE, {.kind = scip::SymbolInformation::Class}),
                            testkit::scip_symbol(UNUSED, {.kind = scip::SymbolInformation::UnspecifiedKind}),
                            // a second description of a known symbol changes nothing
                            testkit::scip_symbol(GREETER, {.kind = scip::SymbolInformation::Interface})}});
}

class ConvertTest : public ::testing::Test {
 protected:
  core::ScratchDir dir_ = core::ScratchDir::create("kolvex-scip-tool-");
  std::filesystem::path index_path_ = dir_.path() / "index.scip";
  std::filesystem::path db_path_ = dir_.path() / "index.db";
};

TEST_F(ConvertTest, WritesEveryTableFromTheIndex) {
  testkit::write_scip_index(index_path_, sample_index());
  { std::ofstream(db_path_) << "an older output is replaced"; }
  core::ProcessResult result = run_scip({"expt-convert", "--output", db_path_.string(), index_path_.string()});
  ASSERT_EQ(result.returncode, 0) << result.stderr_bytes;
  EXPECT_EQ(result.stdout_bytes, "");
  EXPECT_EQ(result.stderr_bytes, "");

  core::Connection db = core::Connection::open(db_path_, {.read_only = true});

  using DocumentRow = std::tuple<std::int64_t, std::string>;
  std::vector<DocumentRow> documents;
  for (auto s = db.prepare("SELECT id, relative_path FROM documents ORDER BY id"); s.step();) {
    documents.emplace_back(s.column_int(0), s.column_text(1));
  }
  EXPECT_EQ(documents, (std::vector<DocumentRow>{{1, "src/app.py"}, {2, "lib/big.ts"}, {3, "empty.py"}}));

  // Non-local symbols in order of first appearance; local ones are left out.
  using SymbolRow = std::tuple<std::int64_t, std::string, std::optional<std::int64_t>, bool>;
  std::vector<SymbolRow> symbols;
  std::vector<blobcodec::ScipRelationship> greeter_relationships;
  for (auto s = db.prepare("SELECT id, symbol, kind, relationships FROM global_symbols ORDER BY id"); s.step();) {
    symbols.emplace_back(s.column_int(0), s.column_text(1), s.column_opt_int(2), !s.is_null(3));
    if (!s.is_null(3)) greeter_relationships = blobcodec::decode_relationships(s.column_blob(3));
  }
  EXPECT_EQ(symbols, (std::vector<SymbolRow>{{1, GREETER, 7, true},
                                             {2, GREET, 26, false},
                                             {3, HELPER, std::nullopt, false},
                                             {4, CONSTANT, std::nullopt, false},
                                             {5, big_symbol(0), std::nullopt, false},
                                             {6, big_symbol(1), std::nullopt, false},
                                             {7, BASE, 7, false},
                                             {8, UNUSED, std::nullopt, false}}));
  EXPECT_EQ(greeter_relationships, (std::vector<blobcodec::ScipRelationship>{{BASE, false, true, false, false}}));

  // Chunks hold the occurrences unchanged (typed ranges stay typed), split per document.
  auto big = big_occurrences();
  std::vector<std::pair<std::int64_t, std::vector<scip::Occurrence>>> expected_chunks = {
      {1, app_occurrences()},
      {2, {big.begin(), big.begin() + OCCURRENCES_PER_CHUNK}},
      {2, {big.begin() + OCCURRENCES_PER_CHUNK, big.end()}},
  };
  std::size_t chunk_count = 0;
  for (auto s = db.prepare("SELECT id, document_id, occurrences FROM chunks ORDER BY id"); s.step(); ++chunk_count) {
    ASSERT_LT(chunk_count, expected_chunks.size());
    const auto& [document_id, occurrences] = expected_chunks[chunk_count];
    EXPECT_EQ(s.column_int(0), static_cast<std::int64_t>(chunk_count + 1));
    EXPECT_EQ(s.column_int(1), document_id);
    scip::Document stored;
    ASSERT_TRUE(stored.ParseFromString(
        blobcodec::internal::decompress_frame(s.column_blob(2), blobcodec::MAX_DECOMPRESSED_BYTES)));
    ASSERT_EQ(stored.occurrences_size(), static_cast<int>(occurrences.size()));
    for (std::size_t i = 0; i < occurrences.size(); ++i) {
      EXPECT_EQ(stored.occurrences(static_cast<int>(i)).SerializeAsString(), occurrences[i].SerializeAsString())
          << "chunk " << chunk_count + 1 << " occurrence " << i;
    }
  }
  EXPECT_EQ(chunk_count, expected_chunks.size());

  using MentionRow = std::tuple<std::int64_t, std::int64_t, std::int64_t>;
  std::vector<MentionRow> expected_mentions = {{1, 1, 1}, {1, 2, 1}, {1, 3, 8}, {1, 1, 0}, {1, 4, 1}};
  for (int i = 0; i < static_cast<int>(big.size()); ++i) {
    expected_mentions.emplace_back(i < static_cast<int>(OCCURRENCES_PER_CHUNK) ? 2 : 3, 5 + i % 2,
                                   i < 2 ? SymbolRoles::DEFINITION : SymbolRoles::READ_ACCESS);
  }
  std::vector<MentionRow> mentions;
  for (auto s = db.prepare("SELECT chunk_id, symbol_id, role FROM mentions ORDER BY rowid"); s.step();) {
    mentions.emplace_back(s.column_int(0), s.column_int(1), s.column_int(2));
  }
  EXPECT_EQ(mentions, expected_mentions);

  // Definitions of non-local symbols with an enclosing range, typed or packed.
  using RangeRow = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t>;
  std::vector<RangeRow> ranges;
  for (auto s = db.prepare("SELECT id, document_id, symbol_id, start_line, end_line FROM defn_enclosing_ranges "
                           "ORDER BY id");
       s.step();) {
    ranges.emplace_back(s.column_int(0), s.column_int(1), s.column_int(2), s.column_int(3), s.column_int(4));
  }
  EXPECT_EQ(ranges, (std::vector<RangeRow>{{1, 1, 1, 1, 4}, {2, 1, 2, 2, 3}, {3, 2, 5, 0, 1}, {4, 2, 6, 1, 2}}));
}

TEST_F(ConvertTest, EmptyIndexGivesEmptyTables) {
  testkit::write_scip_index(index_path_, testkit::scip_index({}));
  core::ProcessResult result = run_scip({"expt-convert", "--output=" + db_path_.string(), index_path_.string()});
  ASSERT_EQ(result.returncode, 0) << result.stderr_bytes;
  core::Connection db = core::Connection::open(db_path_, {.read_only = true});
  for (const char* table : {"documents", "chunks", "mentions", "global_symbols", "defn_enclosing_ranges"}) {
    EXPECT_EQ(db.query_int(std::string("SELECT COUNT(*) FROM ") + table), 0) << table;
  }
}

TEST_F(ConvertTest, MalformedInputFailsWithAMessageAndNoDatabase) {
  struct Case {
    const char* name;
    std::optional<std::string> index_bytes;  // none: no index file
    std::string message;
  };
  auto index_bytes = [](std::vector<scip::Document> docs) { return testkit::scip_index(std::move(docs)).SerializeAsString(); };
  const std::string symbol = "s m p v x.";
  std::vector<Case> cases = {
      {"missing index", std::nullopt, "cannot read {index}: No such file or directory"},
      {"not a protobuf message", std::string("\xff\xff\xff\xff", 4),
       "{index} is not a SCIP index (protobuf decode failed)"},
      {"range of two values",
       index_bytes({testkit::scip_document("src/a.py", {scip_occurrence(symbol, {1, 2})})}),
       "src/a.py: occurrence 0 of 's m p v x.': unexpected range length 2: (1, 2)"},
      {"negative enclosing range of a definition",
       index_bytes({testkit::scip_document(
           "src/a.py", {scip_occurrence(symbol, {0, 0, 1}),
                        with_enclosing(scip_occurrence(symbol, {1, 0, 1}, SymbolRoles::DEFINITION), {-1, 0, 2},
                                       RangeForm::packed)})}),
       "src/a.py: occurrence 1 of 's m p v x.', enclosing range: negative position in range: (-1, 0, 2)"},
      {"duplicate document", index_bytes({testkit::scip_document("a.py", {}), testkit::scip_document("a.py", {})}),
       "document 'a.py' appears twice"},
      {"document without path", index_bytes({testkit::scip_document("", {})}), "document 0 has no relative_path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(index_path_);
    if (c.index_bytes) std::ofstream(index_path_, std::ios::binary) << *c.index_bytes;
    core::ProcessResult result = run_scip({"expt-convert", "--output", db_path_.string(), index_path_.string()});
    std::string message = c.message;
    if (auto at = message.find("{index}"); at != std::string::npos) message.replace(at, 7, index_path_.string());
    EXPECT_EQ(result.returncode, 1);
    EXPECT_EQ(result.stderr_bytes, "scip expt-convert: " + message + "\n");
    EXPECT_FALSE(std::filesystem::exists(db_path_));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), c.index_bytes ? 1 : 0)
        << "no partial output is left behind";
  }
}

TEST_F(ConvertTest, VersionAndUsage) {
  core::ProcessResult version = run_scip({"--version"});
  EXPECT_EQ(version.returncode, 0);
  EXPECT_EQ(version.stdout_bytes,
            "scip version v0.9.0 (kolvex stand-in: supports only --version and expt-convert)\n");

  const std::string usage = "usage: scip --version\n       scip expt-convert --output <db> <index.scip>\n";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> cases = {
      {{}, "missing command"},
      {{"snapshot"}, "unsupported command snapshot (this stand-in only converts)"},
      {{"expt-convert", "index.scip"}, "expt-convert needs --output <db>"},
      {{"expt-convert", "--output"}, "--output needs a value"},
      {{"expt-convert", "--output", "x.db"}, "expt-convert needs an index file"},
      {{"expt-convert", "--output", "x.db", "a.scip", "b.scip"}, "more than one index file given"},
      {{"expt-convert", "--force", "--output", "x.db", "a.scip"}, "unknown option --force"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    core::ProcessResult result = run_scip(c.args);
    EXPECT_EQ(result.returncode, 2);
    EXPECT_EQ(result.stderr_bytes, "scip: " + c.message + "\n" + usage);
  }
}

}  // namespace
}  // namespace kolvex::tools
