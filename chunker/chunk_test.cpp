#include "chunker/chunk.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "core/hash.h"

namespace kolvex::chunker {
namespace {

TEST(TokensTest, CountsCodePointsDividedByFour) {
  struct Case {
    std::string text;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 0},
      {"abcd", 1},
      {std::string(1023, 'x'), 255},
      {std::string(1024, 'x'), 256},
      {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 1},  // four two-byte characters: 1 token, not 2
      {"\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80", 0},  // three four-byte characters
  };
  for (const Case& c : cases) EXPECT_EQ(tokens(c.text), c.expected) << c.text.size() << " bytes";
}

TEST(MakeChunkTest, StoresFieldsAndHashesTheUtf8Content) {
  std::string body = "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9";
  Chunk chunk = make_chunk("src/a.py", "python", "f00d", body, 3, 7, "run", "Runner");
  EXPECT_EQ(chunk.file_path, "src/a.py");
  EXPECT_EQ(chunk.start_line, 3);
  EXPECT_EQ(chunk.end_line, 7);
  EXPECT_EQ(chunk.content, body);
  EXPECT_EQ(chunk.symbol_name, "run");
  EXPECT_EQ(chunk.content_hash, core::sha256_hex(body));
  EXPECT_EQ(chunk.content_hash.size(), 64u);
  EXPECT_EQ(chunk.file_hash, "f00d");
  EXPECT_EQ(chunk.language, "python");
  EXPECT_EQ(chunk.parent_name, "Runner");
  EXPECT_EQ(make_chunk("a", "python", "h", "x", 1, 1, std::nullopt).parent_name, std::nullopt);
}

TEST(ChunkHeaderTest, HeaderLinesAndFinishedContent) {
  struct Case {
    std::optional<std::string> parent;
    std::string header;
  };
  const Case cases[] = {
      {std::nullopt, "# file: src/a.py"},
      {"", "# file: src/a.py"},
      {"Runner", "# file: src/a.py\n# in class: Runner"},
  };
  for (const Case& c : cases) {
    Chunk body = make_chunk("other/path.py", "python", "h", "def f():\n    pass", 2, 3, "f", c.parent);
    // The header names the path given, not the chunk's own.
    EXPECT_EQ(chunk_header("src/a.py", body), c.header);
    std::vector<Chunk> finished = apply_headers({body}, "src/a.py");
    ASSERT_EQ(finished.size(), 1u);
    const Chunk& done = finished[0];
    EXPECT_EQ(done.content, c.header + "\n\ndef f():\n    pass");
    EXPECT_EQ(done.content_hash, core::sha256_hex(done.content));
    EXPECT_EQ(done.file_path, "src/a.py");
    EXPECT_EQ(done.start_line, 2);
    EXPECT_EQ(done.end_line, 3);
    EXPECT_EQ(done.symbol_name, "f");
    EXPECT_EQ(done.parent_name, c.parent);
    EXPECT_EQ(done.language, "python");
    EXPECT_EQ(done.file_hash, "h");
  }
}

TEST(ApplyHeadersTest, EmptyListAndOrder) {
  EXPECT_TRUE(apply_headers({}, "a.py").empty());
  std::vector<Chunk> finished = apply_headers(
      {make_chunk("a.py", "python", "h", "one", 1, 1, "a"), make_chunk("a.py", "python", "h", "two", 2, 2, "b")},
      "a.py");
  ASSERT_EQ(finished.size(), 2u);
  EXPECT_EQ(finished[0].content, "# file: a.py\n\none");
  EXPECT_EQ(finished[1].content, "# file: a.py\n\ntwo");
}

TEST(ApplyHeadersTest, HashFollowsBodyPathAndParentNotLines) {
  auto finish = [](std::string path, std::int64_t first, std::optional<std::string> parent) {
    return apply_headers({make_chunk(path, "python", "h", "body", first, first + 4, "f", parent)}, path)[0];
  };
  Chunk here = finish("a.py", 1, "C");
  EXPECT_EQ(here.content_hash, finish("a.py", 40, "C").content_hash);  // moved lines: same hash
  EXPECT_NE(here.content_hash, finish("b.py", 1, "C").content_hash);   // other file
  EXPECT_NE(here.content_hash, finish("a.py", 1, "D").content_hash);   // other class
}

TEST(ApplyHeadersTest, LongPathIsNeverShortened) {
  std::string path = std::string(200, 'd') + "/x.py";
  std::string body(1920, 'b');
  Chunk done = apply_headers({make_chunk(path, "python", "h", body, 1, 1, std::nullopt)}, path)[0];
  EXPECT_EQ(done.content, "# file: " + path + "\n\n" + body);
  EXPECT_GT(tokens(done.content), MAX_TOKENS);
}

TEST(ChunkTest, EqualityAndHashKeyCoverEveryField) {
  Chunk base = make_chunk("a.py", "python", "h", "x", 1, 2, "f", "C");
  std::unordered_set<Chunk, ChunkHash> set{base};
  EXPECT_TRUE(set.contains(make_chunk("a.py", "python", "h", "x", 1, 2, "f", "C")));
  Chunk other = base;
  other.parent_name.reset();
  EXPECT_NE(base, other);
  EXPECT_FALSE(set.contains(other));
}

TEST(ConstantsTest, DerivedBudget) {
  EXPECT_EQ(EFFECTIVE_MAX_TOKENS, 480);
  EXPECT_EQ(CONTENT_FORMAT, 2);
}

}  // namespace
}  // namespace kolvex::chunker
