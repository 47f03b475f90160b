#include "semantic/fusion.h"

#include <gtest/gtest.h>

namespace kolvex::semantic {
namespace {

using platform::ZoektHit;
using defmatch::SymbolHit;
using Sources = std::vector<std::string>;

Row chunk(std::string path, std::int64_t start, std::int64_t end, std::string symbol = "f",
          std::string content = "body") {
  Row row;
  row.set("chunk_id", std::string(32, 'a'));
  row.set("file_path", std::move(path));
  row.set("start_line", start);
  row.set("end_line", end);
  row.set("symbol_name", std::move(symbol));
  row.set("content", std::move(content));
  row.set("_distance", 0.25);
  return row;
}

SymbolHit symbol(std::string path, std::int64_t start, std::int64_t end, std::string dotted) {
  return {std::move(path), start, end, std::move(dotted), platform::DescriptorKind::METHOD};
}

struct Brief {
  std::string file_path;
  std::int64_t start_line;
  std::int64_t end_line;
  double score;
  Sources sources;
};

void expect_hits(const std::vector<FusedHit>& hits, const std::vector<Brief>& expected) {
  ASSERT_EQ(hits.size(), expected.size());
  for (std::size_t i = 0; i < hits.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(hits[i].file_path, expected[i].file_path);
    EXPECT_EQ(hits[i].start_line, expected[i].start_line);
    EXPECT_EQ(hits[i].end_line, expected[i].end_line);
    EXPECT_DOUBLE_EQ(hits[i].score, expected[i].score);
    EXPECT_EQ(hits[i].sources, expected[i].sources);
  }
}

TEST(ReciprocalRankFusion, EmptyLegsGiveNothing) {
  EXPECT_TRUE(reciprocal_rank_fusion("repo", {}, {}).empty());
  EXPECT_TRUE(reciprocal_rank_fusion("repo", {}, {}, {}, 0).empty());
}

TEST(ReciprocalRankFusion, VectorRowsOnlyKeepVectorOrderAndRowValues) {
  auto hits = reciprocal_rank_fusion("demo", {chunk("a.py", 1, 5, "alpha", "A"), chunk("b.py", 2, 3, "", ""),
                                              chunk("c.py", 7, 9, "gamma", "C")},
                                     {});
  expect_hits(hits, {{"a.py", 1, 5, 1.0 / 61, {"vector"}},
                     {"b.py", 2, 3, 1.0 / 62, {"vector"}},
                     {"c.py", 7, 9, 1.0 / 63, {"vector"}}});
  EXPECT_EQ(hits[0], (FusedHit{"demo", "a.py", 1, 5, "alpha", "A", 1.0 / 61, {"vector"}}));
  // An empty stored symbol name stays empty text, never absent; empty content stays empty.
  EXPECT_EQ(hits[1].symbol_name, std::optional<std::string>(""));
  EXPECT_EQ(hits[1].content, "");
}

TEST(ReciprocalRankFusion, ZoektLinesCreditTheFirstContainingChunk) {
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<ZoektHit> zoekt;
    std::vector<Brief> expected;
  };
  const std::vector<Case> cases = {
      {"line inside a chunk ranked second",
       {chunk("x.py", 1, 2), chunk("a.py", 10, 20)},
       {{"a.py", 12, "line"}},
       {{"a.py", 10, 20, 1.0 / 62 + 1.0 / 61, {"vector", "zoekt"}}, {"x.py", 1, 2, 1.0 / 61, {"vector"}}}},
      {"first line of the chunk", {chunk("a.py", 10, 20)}, {{"a.py", 10, "l"}},
       {{"a.py", 10, 20, 2.0 / 61, {"vector", "zoekt"}}}},
      {"last line of the chunk", {chunk("a.py", 10, 20)}, {{"a.py", 20, "l"}},
       {{"a.py", 10, 20, 2.0 / 61, {"vector", "zoekt"}}}},
      {"line after the chunk stands alone", {chunk("a.py", 10, 20)}, {{"a.py", 21, "l"}},
       {{"a.py", 10, 20, 1.0 / 61, {"vector"}}, {"a.py", 21, 21, 1.0 / 61, {"zoekt"}}}},
      {"two chunks hold the line: only the earlier is credited",
       {chunk("a.py", 1, 30), chunk("a.py", 10, 20)},
       {{"a.py", 15, "l"}},
       {{"a.py", 1, 30, 2.0 / 61, {"vector", "zoekt"}}, {"a.py", 10, 20, 1.0 / 62, {"vector"}}}},
      {"two lines in one chunk add both terms, one tag",
       {chunk("a.py", 10, 20)},
       {{"a.py", 11, "l"}, {"b.py", 1, "l"}, {"a.py", 12, "l"}},
       {{"a.py", 10, 20, 1.0 / 61 + 1.0 / 61 + 1.0 / 63, {"vector", "zoekt"}}, {"b.py", 1, 1, 1.0 / 62, {"zoekt"}}}},
      {"two hits on one line outside every chunk",
       {},
       {{"b.py", 4, "l"}, {"b.py", 4, "l"}},
       {{"b.py", 4, 4, 1.0 / 61 + 1.0 / 62, {"zoekt"}}}},
      {"another file with the same lines does not count",
       {chunk("a.py", 10, 20)},
       {{"b/a.py", 12, "l"}},
       {{"a.py", 10, 20, 1.0 / 61, {"vector"}}, {"b/a.py", 12, 12, 1.0 / 61, {"zoekt"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_hits(reciprocal_rank_fusion("r", c.rows, c.zoekt), c.expected);
  }
}

TEST(ReciprocalRankFusion, StandAloneZoektHitReportsItsLine) {
  std::string long_line = std::string(499, 'x') + "\xc3\xa9" + "tail";  // 501+ characters, one of them non-ASCII
  auto hits = reciprocal_rank_fusion("r", {}, {{"z.go", 3, "short"}, {"z.go", 9, long_line}});
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0], (FusedHit{"r", "z.go", 3, 3, std::nullopt, "short", 1.0 / 61, {"zoekt"}}));
  EXPECT_EQ(hits[1].content, std::string(499, 'x') + "\xc3\xa9");
}

TEST(ReciprocalRankFusion, VectorContentIsCutToFiveHundredCharacters) {
  std::string content = std::string(500, 'y') + "z";
  auto hits = reciprocal_rank_fusion("r", {chunk("a.py", 1, 2, "f", content)}, {});
  EXPECT_EQ(hits[0].content, std::string(500, 'y'));
  auto exact = reciprocal_rank_fusion("r", {chunk("a.py", 1, 2, "f", std::string(500, 'y'))}, {});
  EXPECT_EQ(exact[0].content, std::string(500, 'y'));
}

TEST(ReciprocalRankFusion, EqualVectorKeysMergeAndReportTheFirstRow) {
  auto hits = reciprocal_rank_fusion("r", {chunk("a.py", 1, 9, "first", "one"), chunk("a.py", 1, 9, "second", "two")},
                                     {});
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0], (FusedHit{"r", "a.py", 1, 9, "first", "one", 1.0 / 61 + 1.0 / 62, {"vector"}}));
}

TEST(ReciprocalRankFusion, SymbolHitsUseTheirStartLine) {
  auto hits = reciprocal_rank_fusion("r", {chunk("a.py", 10, 20, "chunk", "C")}, {},
                                     {symbol("a.py", 18, 40, "mod.inside"), symbol("a.py", 21, 40, "mod.after")});
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0], (FusedHit{"r", "a.py", 10, 20, "chunk", "C", 2.0 / 61, {"vector", "symbol"}}));
  EXPECT_EQ(hits[1], (FusedHit{"r", "a.py", 21, 40, "mod.after", "", 1.0 / 62, {"symbol"}}));
}

TEST(ReciprocalRankFusion, OneLineDefinitionOnAStandAloneZoektLineJoinsIt) {
  auto hits = reciprocal_rank_fusion("r", {}, {{"a.py", 5, "def f(): pass"}}, {symbol("a.py", 5, 5, "m.f")});
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0], (FusedHit{"r", "a.py", 5, 5, std::nullopt, "def f(): pass", 2.0 / 61, {"zoekt", "symbol"}}));
}

TEST(ReciprocalRankFusion, AllThreeLegsOnOneChunk) {
  auto hits = reciprocal_rank_fusion("r", {chunk("a.py", 1, 50)}, {{"a.py", 3, "x"}, {"a.py", 4, "y"}},
                                     {symbol("a.py", 2, 9, "m.f")});
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_DOUBLE_EQ(hits[0].score, 1.0 / 61 + 1.0 / 61 + 1.0 / 62 + 1.0 / 61);
  EXPECT_EQ(hits[0].sources, (Sources{"vector", "zoekt", "symbol"}));
}

TEST(ReciprocalRankFusion, EqualScoresKeepEntryOrder) {
  auto hits = reciprocal_rank_fusion("r", {chunk("v.py", 1, 2)}, {{"z.py", 1, "z"}}, {symbol("s.py", 1, 2, "m.s")});
  expect_hits(hits, {{"v.py", 1, 2, 1.0 / 61, {"vector"}},
                     {"z.py", 1, 1, 1.0 / 61, {"zoekt"}},
                     {"s.py", 1, 2, 1.0 / 61, {"symbol"}}});
}

TEST(ReciprocalRankFusion, RankConstant) {
  auto hits = reciprocal_rank_fusion("r", {chunk("a.py", 1, 2), chunk("b.py", 1, 2)}, {}, {}, 0);
  EXPECT_DOUBLE_EQ(hits[0].score, 1.0);
  EXPECT_DOUBLE_EQ(hits[1].score, 0.5);
  EXPECT_THROW(reciprocal_rank_fusion("r", {}, {}, {}, -1), core::ValueError);
}

TEST(ReciprocalRankFusion, VectorRowWithoutLocationFails) {
  Row row = chunk("a.py", 1, 2);
  row.columns.erase(row.columns.begin() + 1);  // file_path
  EXPECT_THROW(reciprocal_rank_fusion("r", {row}, {}), KeyError);
}

}  // namespace
}  // namespace kolvex::semantic
