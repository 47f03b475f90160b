#include "chunker/windows.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/text.h"

namespace kolvex::chunker {
namespace {

// `count` lines of `length` characters each.
std::vector<std::string> repeated(std::size_t count, std::size_t length, char fill = 'x') {
  return std::vector<std::string>(count, std::string(length, fill));
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<Window> window(const std::vector<std::string>& lines, std::int64_t base) {
  std::vector<std::string_view> views(lines.begin(), lines.end());
  return window_lines(views, base);
}

using Range = std::pair<std::int64_t, std::int64_t>;

std::vector<Range> ranges_of(const std::vector<Window>& windows) {
  std::vector<Range> ranges;
  for (const Window& w : windows) ranges.emplace_back(w.start_line, w.end_line);
  return ranges;
}

TEST(WindowLinesTest, BoundariesTable) {
  struct Case {
    std::string name;
    std::vector<std::string> lines;
    std::int64_t base;
    std::vector<Range> ranges;
    std::vector<std::size_t> lengths;  // empty: not checked
  };
  const std::vector<Case> cases = {
      {"three short lines", {"a", "bb", "ccc"}, 1, {{1, 3}}, {8}},
      {"100 lines of 99", repeated(100, 99), 1,
       {{1, 19}, {18, 36}, {35, 53}, {52, 70}, {69, 87}, {86, 100}}, {1899, 1899, 1899, 1899, 1899, 1499}},
      {"base line 40", repeated(25, 99), 40, {{40, 58}, {57, 64}}, {1899, 799}},
      {"3000 empty lines", repeated(3000, 0), 1, {{1, 1920}, {1721, 3000}}, {1919, 1279}},
      {"short lines around a 5000-character line",
       concat({repeated(6, 10), repeated(1, 5000, 'L'), repeated(5, 30)}), 1,
       {{1, 6}, {2, 6}, {3, 6}, {4, 6}, {5, 6}, {6, 6}, {7, 7}, {7, 7}, {7, 12}},
       {65, 54, 43, 32, 21, 10, 1920, 1920, 1315}},
      {"lines of 60 then 1900 and 10", concat({repeated(30, 60), repeated(1, 1900), repeated(1, 10)}), 1,
       {{1, 30}, {27, 30}, {28, 30}, {29, 30}, {30, 30}, {31, 32}}, {}},
      {"1919 characters fill a window alone", concat({repeated(1, 5), repeated(1, 1919), repeated(1, 5)}), 1,
       {{1, 1}, {2, 2}, {3, 3}}, {5, 1919, 5}},
      {"1920 characters fill a window alone", concat({repeated(1, 5), repeated(1, 1920), repeated(1, 5)}), 1,
       {{1, 1}, {2, 2}, {3, 3}}, {5, 1920, 5}},
      {"3840 characters give two full slices", repeated(1, 3840), 1, {{1, 1}, {1, 1}}, {1920, 1920}},
      {"two-piece window restarts at its second piece", {std::string(1000, 'a'), std::string(900, 'b'),
                                                         std::string(1000, 'c')},
       1, {{1, 2}, {2, 3}}, {1901, 1901}},
      {"no lines", {}, 1, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Window> windows = window(c.lines, c.base);
    EXPECT_EQ(ranges_of(windows), c.ranges);
    if (!c.lengths.empty()) {
      ASSERT_EQ(windows.size(), c.lengths.size());
      for (std::size_t k = 0; k < windows.size(); ++k) {
        EXPECT_EQ(core::code_point_length(windows[k].text), c.lengths[k]) << "window " << k;
      }
    }
    for (const Window& w : windows) EXPECT_LE(core::code_point_length(w.text), 1920u);
  }
}

TEST(WindowLinesTest, TextsJoinPiecesAndRepeatTheOverlap) {
  std::vector<Window> windows = window(repeated(100, 99), 1);
  ASSERT_GE(windows.size(), 2u);
  std::string line(99, 'x');
  std::string nineteen = line;
  for (int k = 1; k < 19; ++k) nineteen += "\n" + line;
  EXPECT_EQ(windows[0].text, nineteen);
  EXPECT_EQ(window({"a", "bb", "ccc"}, 1)[0].text, "a\nbb\nccc");

  // Slices of a long line are cut by characters, not bytes, and lose nothing.
  std::string wide;
  for (int k = 0; k < 2000; ++k) wide += "\xc3\xa9";  // 2000 two-byte characters
  std::vector<Window> slices = window({wide}, 5);
  ASSERT_EQ(slices.size(), 2u);
  EXPECT_EQ(core::code_point_length(slices[0].text), 1920u);
  EXPECT_EQ(core::code_point_length(slices[1].text), 80u);
  EXPECT_EQ(slices[0].text + slices[1].text, wide);
  EXPECT_EQ(ranges_of(slices), (std::vector<Range>{{5, 5}, {5, 5}}));
}

TEST(FixedWindowsTest, SplitsAtEveryLineBoundary) {
  std::vector<Chunk> chunks = fixed_windows("a.txt", "go", "hash", "a\r\nb\fc\n");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].content, "a\nb\nc");
  EXPECT_EQ(chunks[0].start_line, 1);
  EXPECT_EQ(chunks[0].end_line, 3);
  EXPECT_EQ(chunks[0].symbol_name, std::nullopt);
  EXPECT_EQ(chunks[0].parent_name, std::nullopt);
  EXPECT_EQ(chunks[0].file_path, "a.txt");
  EXPECT_EQ(chunks[0].language, "go");
  EXPECT_EQ(chunks[0].file_hash, "hash");
  EXPECT_TRUE(fixed_windows("a.txt", "go", "hash", "").empty());
}

Chunk body(std::size_t length, std::int64_t first, std::int64_t last, std::optional<std::string> symbol = "f",
           std::optional<std::string> parent = std::nullopt) {
  return make_chunk("a.py", "python", "h", std::string(length, 'x'), first, last, std::move(symbol),
                    std::move(parent));
}

TEST(MergeSmallTest, AbsorbsWhileSmallAndWithinBudget) {
  std::vector<Chunk> merged =
      merge_small({body(400, 1, 10, "first"), body(400, 12, 20, "second"), body(400, 22, 30, "third"),
                   body(400, 31, 40, "fourth")});
  ASSERT_EQ(merged.size(), 2u);
  std::string x(400, 'x');
  EXPECT_EQ(merged[0].content, x + "\n\n" + x + "\n\n" + x);
  EXPECT_EQ(tokens(merged[0].content), 301);
  EXPECT_EQ(merged[0].start_line, 1);
  EXPECT_EQ(merged[0].end_line, 30);
  EXPECT_EQ(merged[0].symbol_name, "first");
  EXPECT_EQ(merged[1].start_line, 31);

  std::vector<Chunk> two = merge_small({body(400, 1, 10), body(400, 12, 20)});
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two[0].content.size(), 802u);
  EXPECT_EQ(tokens(two[0].content), 200);
}

TEST(MergeSmallTest, RulesTable) {
  struct Case {
    std::string name;
    std::vector<Chunk> input;
    std::size_t expected_size;
  };
  const std::vector<Case> cases = {
      {"sum of 480 merges", {body(1020, 1, 5), body(900, 6, 9)}, 1},
      {"sum of 481 does not", {body(1020, 1, 5), body(904, 6, 9)}, 2},
      {"256 tokens never absorb", {body(1024, 1, 5), body(4, 6, 9)}, 2},
      {"shared line", {body(40, 1, 10), body(40, 10, 12)}, 2},
      {"overlapping windows", {body(40, 1, 10), body(40, 8, 12)}, 2},
      {"different parents", {body(40, 1, 10, "m", "C"), body(40, 11, 12, "g")}, 2},
      {"two absent parents are equal", {body(40, 1, 10), body(40, 11, 12)}, 1},
      {"small after large absorbs its successor", {body(1200, 1, 5), body(40, 6, 7), body(40, 8, 9)}, 2},
      {"empty", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(merge_small(c.input).size(), c.expected_size);
  }
}

TEST(MergeSmallTest, SymbolIsTheFirstPresentOne) {
  EXPECT_EQ(merge_small({body(4, 1, 1, std::nullopt), body(4, 2, 2, "g")})[0].symbol_name, "g");
  EXPECT_EQ(merge_small({body(4, 1, 1, ""), body(4, 2, 2, "g")})[0].symbol_name, "g");
  EXPECT_EQ(merge_small({body(4, 1, 1, "f"), body(4, 2, 2, "g")})[0].symbol_name, "f");
  Chunk merged = merge_small({body(4, 1, 1, "f", "C"), body(4, 2, 2, "g", "C")})[0];
  EXPECT_EQ(merged.parent_name, "C");
}

TEST(MergeSmallTest, LastWindowOfOversizedDeclarationAbsorbsFollowingDeclaration) {
  // The windows of one declaration overlap and stay apart; its small last
  // window takes in the next declaration and keeps the first one's name.
  std::vector<Chunk> merged = merge_small(
      {body(1899, 1, 19, "big"), body(300, 18, 22, "big"), body(100, 24, 26, "small")});
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[1].start_line, 18);
  EXPECT_EQ(merged[1].end_line, 26);
  EXPECT_EQ(merged[1].symbol_name, "big");
}

}  // namespace
}  // namespace kolvex::chunker
