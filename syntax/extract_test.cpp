// extract_file: the three states, supplied trees, error order.
#include "syntax/extract.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include "core/hash.h"
#include "syntax/languages.h"

namespace kolvex::syntax {
namespace {

TEST(ExtractFile, CleanFileIsParsed) {
  const std::string source = "class A:\n    def f(self): pass\n";
  ParserPool pool;
  const ParsedSyntax parsed = extract_file("pkg/a.py", source, "python", pool);
  EXPECT_EQ(parsed.file_path, "pkg/a.py");
  EXPECT_EQ(parsed.file_hash, core::sha256_hex(source));
  EXPECT_EQ(parsed.language, "python");
  EXPECT_EQ(parsed.parser_identity, grammar_identity("python"));
  EXPECT_EQ(parsed.state, "parsed");
  EXPECT_EQ(parsed.reason, std::nullopt);
  ASSERT_EQ(parsed.symbols.size(), 2u);
  EXPECT_EQ(parsed.symbols[0].file_path, "pkg/a.py");
  EXPECT_EQ(parsed.symbols[0].symbol,
            syntax_id("pkg/a.py", parsed.file_hash, parsed.symbols[0].selection, DescriptorKind::TYPE));
  ASSERT_TRUE(parsed.tree);
  EXPECT_STREQ(ts_node_type(parsed.tree->root_node()), "module");
}

TEST(ExtractFile, DamagedFileIsPartialAndKeepsWhatWasRecognised) {
  ParserPool pool;
  const ParsedSyntax parsed =
      extract_file("a.py", "def good():\n    pass\n\ndef (:\n", "python", pool);
  EXPECT_EQ(parsed.state, "partial");
  EXPECT_EQ(parsed.reason, "grammar produced error or missing nodes");
  ASSERT_FALSE(parsed.symbols.empty());
  EXPECT_EQ(parsed.symbols[0].name, "good");
}

TEST(ExtractFile, EmptySourceIsParsed) {
  ParserPool pool;
  const ParsedSyntax parsed = extract_file("e.py", "", "python", pool);
  EXPECT_EQ(parsed.state, "parsed");
  EXPECT_TRUE(parsed.symbols.empty());
  EXPECT_TRUE(parsed.tree);
  EXPECT_EQ(parsed.file_hash, core::sha256_hex(""));
}

TEST(ExtractFile, InvalidUtf8FailsWithoutTouchingThePool) {
  const std::string source = "x = 1\n\xff\n";
  ParserPool pool;
  ParseTree supplied = pool.parse("python", "x = 1\n");
  ParserPool untouched;
  for (bool with_tree : {false, true}) {
    SCOPED_TRACE(with_tree);
    const ParsedSyntax parsed =
        extract_file("bad.py", source, "python", untouched,
                     with_tree ? std::optional<ParseTree>(supplied) : std::nullopt);
    EXPECT_EQ(parsed.state, "failed");
    EXPECT_EQ(parsed.reason,
              "'utf-8' codec can't decode byte 0xff in position 6: invalid start byte");
    EXPECT_TRUE(parsed.symbols.empty());
    EXPECT_FALSE(parsed.tree);
    EXPECT_EQ(parsed.file_hash, core::sha256_hex(source));
    EXPECT_EQ(parsed.parser_identity, grammar_identity("python"));
    EXPECT_EQ(untouched.size(), 0u);
  }
  // Encoded surrogates and overlong forms are invalid too.
  for (const char* bad : {"\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"}) {
    EXPECT_EQ(extract_file("b.py", bad, "python", untouched).state, "failed");
  }
}

TEST(ExtractFile, UnknownLanguageRaisesBeforeTheUtf8Check) {
  ParserPool pool;
  EXPECT_THROW(extract_file("a.cob", "\xff", "cobol", pool), core::ValueError);
}

TEST(ExtractFile, SuppliedTreeIsNotParsedAgain) {
  const std::string source = "def f(): pass\n";
  ParserPool parser;
  ParseTree tree = parser.parse("python", source);
  const TSTree* original = tree.get();
  ParserPool pool;
  const ParsedSyntax parsed = extract_file("a.py", source, "python", pool, std::move(tree));
  EXPECT_EQ(pool.size(), 0u);
  ASSERT_TRUE(parsed.tree);
  EXPECT_EQ(parsed.tree->get(), original);
  ASSERT_EQ(parsed.symbols.size(), 1u);
  EXPECT_EQ(parsed.symbols[0].name, "f");
}

TEST(ParserPool, SourceOfFourGibibytesRaises) {
  constexpr std::size_t FOUR_GIB = std::size_t{1} << 32;
  void* reserved = mmap(nullptr, FOUR_GIB, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(reserved, MAP_FAILED);
  ParserPool pool;
  EXPECT_THROW(pool.parse("python", std::string_view(static_cast<const char*>(reserved), FOUR_GIB)),
               core::ValueError);
  munmap(reserved, FOUR_GIB);
}

}  // namespace
}  // namespace kolvex::syntax
