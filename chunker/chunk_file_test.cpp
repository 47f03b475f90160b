#include "chunker/chunk_file.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "chunker/windows.h"
#include "core/text.h"
#include "syntax/languages.h"
#include "syntax/parse_tree.h"
#include "syntax/parser_pool.h"
#include "syntax/testing.h"

namespace kolvex::chunker {
namespace {

constexpr std::string_view HASH = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A comment line of exactly `length` characters after `indent`, for sizing declarations.
std::string pad(std::string_view indent, std::string_view marker, std::size_t length) {
  std::string line(indent);
  line += marker;
  line += ' ';
  line.append(length - marker.size() - 1, 'p');
  return line;
}

// The chunks' (symbol, first line, last line, parent).
using Summary = std::tuple<std::optional<std::string>, std::int64_t, std::int64_t, std::optional<std::string>>;
std::vector<Summary> summarize(const std::vector<Chunk>& chunks) {
  std::vector<Summary> out;
  for (const Chunk& c : chunks) out.emplace_back(c.symbol_name, c.start_line, c.end_line, c.parent_name);
  return out;
}

std::vector<Chunk> chunk(std::string_view path, std::string_view source, std::string_view language,
                         const ChunkFileOptions& options = {}) {
  return chunk_file(path, source, HASH, language, options);
}

std::vector<Chunk> whole_file(std::string_view path, std::string_view source, std::string_view language) {
  return apply_headers(fixed_windows(path, language, HASH, source), path);
}

TEST(DefNodeTypesTest, SixLanguagesOnly) {
  for (std::string_view language : {"python", "typescript", "tsx", "java", "kotlin", "swift"}) {
    EXPECT_TRUE(has_def_node_types(language)) << language;
  }
  for (std::string_view language : {"go", "ruby", "rust", "c", "cpp", "csharp", "php", "scala", "bash", "sql", "",
                                    "javascript", "Python"}) {
    EXPECT_FALSE(has_def_node_types(language)) << language;
  }
}

// Each declaration is sized between 256 and 480 tokens, so that it is neither
// merged nor split: every chunk shows one boundary.
TEST(ChunkFileTest, DeclarationBoundariesPerLanguage) {
  struct Case {
    std::string language;
    std::string path;
    std::string source;
    std::vector<Summary> expected;
    std::string first_text;  // the first chunk's body
  };
  const std::string py_f = "def first():\n" + pad("    ", "#", 1100) + "\n    return 1";
  const std::string ts_f = "function first() {\n" + pad("  ", "//", 1100) + "\n  return 1;\n}";
  const std::string java_c = "class First {\n" + pad("  ", "//", 1100) + "\n}";
  const std::string kt_f = "fun first() {\n" + pad("  ", "//", 1100) + "\n}";
  const std::string swift_f = "func first() {\n" + pad("  ", "//", 1100) + "\n}";
  const std::vector<Case> cases = {
      {"python", "m.py",
       "import os\n\n" + py_f + "\n\nx = 1\n\nclass Second:\n" + pad("    ", "#", 1100) + "\n    y = 2\n",
       {{"first", 3, 5, std::nullopt}, {"Second", 9, 11, std::nullopt}}, py_f},
      {"typescript", "m.ts",
       "import x from \"y\";\n" + ts_f + "\nconst z = 1;\nclass Second {\n" + pad("  ", "//", 1100) + "\n}\n",
       {{"first", 2, 5, std::nullopt}, {"Second", 7, 9, std::nullopt}}, ts_f},
      {"tsx", "m.tsx",
       ts_f + "\nconst v = <div/>;\nclass Second {\n" + pad("  ", "//", 1100) + "\n}\n",
       {{"first", 1, 4, std::nullopt}, {"Second", 6, 8, std::nullopt}}, ts_f},
      {"java", "M.java",
       "package a;\n\n" + java_c + "\n\ninterface Second {\n" + pad("  ", "//", 1100) + "\n}\n\nenum E { A }\n",
       {{"First", 3, 5, std::nullopt}, {"Second", 7, 9, std::nullopt}}, java_c},
      {"kotlin", "m.kt",
       "package a\n\n" + kt_f + "\n\nobject O {}\n\nclass Second {\n" + pad("  ", "//", 1100) + "\n}\n",
       {{"first", 3, 5, std::nullopt}, {"Second", 9, 11, std::nullopt}}, kt_f},
      {"swift", "m.swift",
       "import Foundation\n\n" + swift_f + "\n\nprotocol Second {\n" + pad("  ", "//", 1100) +
           "\n}\n\nclass Third {\n" + pad("  ", "//", 1100) + "\n}\n",
       {{"first", 3, 5, std::nullopt}, {"Second", 7, 9, std::nullopt}, {"Third", 11, 13, std::nullopt}}, swift_f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    std::vector<Chunk> chunks = chunk(c.path, c.source, c.language);
    EXPECT_EQ(summarize(chunks), c.expected);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].content, "# file: " + c.path + "\n\n" + c.first_text);
    for (const Chunk& ch : chunks) {
      EXPECT_EQ(ch.file_path, c.path);
      EXPECT_EQ(ch.language, c.language);
      EXPECT_EQ(ch.file_hash, HASH);
    }
  }
}

TEST(ChunkFileTest, LanguageWithoutDeclarationTypesIsWindowedWholeAndIgnoresTreeAndPool) {
  syntax::ParserPool parsing_pool;
  syntax::ParseTree tree = parsing_pool.parse("python", "def f():\n    pass\n");
  // Short lines in many windows: merging would change the result if it happened.
  std::string source;
  for (int k = 0; k < 300; ++k) source += "func f" + std::to_string(k) + "() {}\n";
  for (std::string_view language : {"go", "", "c"}) {
    SCOPED_TRACE(language);
    syntax::ParserPool unused;
    std::vector<Chunk> chunks = chunk("x.go", source, language, {.tree = &tree, .pool = &unused});
    EXPECT_EQ(chunks, whole_file("x.go", source, language));
    EXPECT_GT(chunks.size(), 1u);
    EXPECT_EQ(unused.size(), 0u);
  }
}

TEST(ChunkFileTest, PythonWithoutDeclarationsOrEmpty) {
  std::string statements = "import os\nx = 1\nprint(x)\n";
  std::vector<Chunk> chunks = chunk("s.py", statements, "python");
  EXPECT_EQ(chunks, whole_file("s.py", statements, "python"));
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].content, "# file: s.py\n\nimport os\nx = 1\nprint(x)");
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{std::nullopt, 1, 3, std::nullopt}}));
  EXPECT_TRUE(chunk("e.py", "", "python").empty());
}

TEST(ChunkFileTest, SmallFunctionsMergeAndImportsAreLeftOut) {
  std::vector<Chunk> chunks =
      chunk("m.py", "import os\n\ndef f():\n    return 1\n\ndef g():\n    return 2\n", "python");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].content, "# file: m.py\n\ndef f():\n    return 1\n\ndef g():\n    return 2");
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{"f", 3, 7, std::nullopt}}));
}

TEST(ChunkFileTest, OversizeThresholdOfATopLevelFunction) {
  auto function_of = [](std::size_t length) {
    const std::string head = "def f():\n";
    const std::string tail = "\n    return 1";
    return head + pad("    ", "#", length - head.size() - tail.size() - 4) + tail;
  };
  std::string within = function_of(1923);
  ASSERT_EQ(within.size(), 1923u);
  std::vector<Chunk> one = chunk("f.py", within + "\n", "python");
  EXPECT_EQ(summarize(one), (std::vector<Summary>{{"f", 1, 3, std::nullopt}}));

  std::string over = function_of(1924);
  std::vector<Chunk> windows = chunk("f.py", over + "\n", "python");
  ASSERT_GT(windows.size(), 1u);
  std::vector<std::string_view> lines = core::splitlines(over);
  std::vector<Window> expected = window_lines(lines, 1);
  ASSERT_EQ(windows.size(), expected.size());
  for (std::size_t k = 0; k < windows.size(); ++k) {
    EXPECT_EQ(windows[k].content, "# file: f.py\n\n" + expected[k].text);
    EXPECT_EQ(windows[k].symbol_name, "f");
    EXPECT_EQ(windows[k].parent_name, std::nullopt);
    EXPECT_EQ(windows[k].start_line, expected[k].start_line);
    EXPECT_EQ(windows[k].end_line, expected[k].end_line);
  }
}

TEST(ChunkFileTest, SmallDecoratedFunctionStartsAtItsDecorator) {
  std::vector<Chunk> chunks = chunk("d.py", "x = 1\n\n@cache\n@trace(level=2)\ndef f():\n    return 1\n", "python");
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{"f", 3, 6, std::nullopt}}));
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].content, "# file: d.py\n\n@cache\n@trace(level=2)\ndef f():\n    return 1");
}

std::string py_method(std::string_view name, std::size_t pad_length) {
  return "    def " + std::string(name) + "(self):\n" + pad("        ", "#", pad_length) + "\n        return 1\n";
}

TEST(ChunkFileTest, OversizedClassIsSplitPerMethod) {
  std::string source = "class Big:\n    size = 3\n\n" + py_method("one", 1150) + "\n" + py_method("two", 1150) +
                       "\n" + py_method("three", 1150);
  std::vector<Chunk> chunks = chunk("big.py", source, "python");
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{"one", 4, 6, "Big"}, {"two", 8, 10, "Big"},
                                                     {"three", 12, 14, "Big"}}));
  for (const Chunk& c : chunks) {
    EXPECT_TRUE(core::starts_with(c.content, "# file: big.py\n# in class: Big\n\ndef ")) << c.content.substr(0, 60);
    EXPECT_EQ(c.content.find("size = 3"), std::string::npos);
    EXPECT_EQ(c.content.find("class Big"), std::string::npos);
  }
}

TEST(ChunkFileTest, OversizedClassWithoutMethodsIsWindowedUnderItsName) {
  std::string source = "class Data:\n";
  for (int k = 0; k < 40; ++k) source += "    field_" + std::to_string(k) + " = '" + std::string(60, 'v') + "'\n";
  std::vector<Chunk> chunks = chunk("data.py", source, "python");
  ASSERT_GT(chunks.size(), 1u);
  EXPECT_EQ(chunks.front().start_line, 1);
  EXPECT_EQ(chunks.back().end_line, 41);
  for (const Chunk& c : chunks) {
    EXPECT_EQ(c.symbol_name, "Data");
    EXPECT_EQ(c.parent_name, "Data");
    EXPECT_TRUE(core::starts_with(c.content, "# file: data.py\n# in class: Data\n\n"));
  }
}

TEST(ChunkFileTest, DecoratedClassOverBudgetOnlyWithItsDecorators) {
  std::string decorator = "@register(\"" + std::string(485, 'd') + "\")\n";
  std::string klass = "class Plain:\n" + pad("    ", "#", 1473) + "\n    x = 1";
  ASSERT_EQ(klass.size(), 1500u);
  ASSERT_GE(decorator.size() + klass.size(), 1924u);
  std::vector<Chunk> chunks = chunk("p.py", decorator + klass + "\n", "python");
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{"Plain", 2, 4, std::nullopt}}));
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].content, "# file: p.py\n\n" + klass);
}

TEST(ChunkFileTest, DecoratedMethodGivesTwoOverlappingChunksThatStayApart) {
  std::string source = "class Big:\n    @property\n    def small(self):\n        return 1\n\n" +
                       py_method("large", 2000);
  std::vector<Chunk> chunks = chunk("big.py", source, "python");
  ASSERT_GE(chunks.size(), 3u);
  EXPECT_EQ(summarize({chunks[0]}), (std::vector<Summary>{{"small", 2, 4, "Big"}}));
  EXPECT_EQ(chunks[0].content, "# file: big.py\n# in class: Big\n\n@property\n    def small(self):\n        return 1");
  // The def-line chunk overlaps the decorated one, so the two never merge; being
  // small it takes in the first window of the next method instead.
  EXPECT_EQ(chunks[1].start_line, 3);
  EXPECT_EQ(chunks[1].symbol_name, "small");
  EXPECT_EQ(chunks[1].parent_name, "Big");
  EXPECT_TRUE(core::starts_with(chunks[1].content,
                                "# file: big.py\n# in class: Big\n\ndef small(self):\n        return 1\n\ndef large"));
  for (std::size_t k = 2; k < chunks.size(); ++k) EXPECT_EQ(chunks[k].symbol_name, "large");
}

TEST(ChunkFileTest, JavaClassSplitKeepsMethodsOfNestedClassesAndDropsConstructors) {
  std::string source = "package a;\n\npublic class Outer {\n    private int field = 1;\n\n    public Outer() {\n" +
                       pad("        ", "//", 300) + "\n    }\n\n    public int first() {\n" +
                       pad("        ", "//", 1100) + "\n        return 1;\n    }\n\n    static class Inner {\n" +
                       "        int second() {\n" + pad("            ", "//", 1100) +
                       "\n            return 2;\n        }\n    }\n}\n";
  std::vector<Chunk> chunks = chunk("a/Outer.java", source, "java");
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{"first", 10, 13, "Outer"}, {"second", 16, 19, "Outer"}}));
  for (const Chunk& c : chunks) {
    EXPECT_EQ(c.content.find("private int field"), std::string::npos);
    EXPECT_EQ(c.content.find("public Outer()"), std::string::npos);
  }
}

TEST(ChunkFileTest, TypeScriptExportedDeclarationsAreNotCandidates) {
  std::string exported = "export function a() { return 1; }\nexport class B {}\n";
  EXPECT_EQ(chunk("x.ts", exported, "typescript"), whole_file("x.ts", exported, "typescript"));
  std::vector<Chunk> mixed =
      chunk("y.ts", "export function a() { return 1; }\nfunction b() { return 2; }\n", "typescript");
  EXPECT_EQ(summarize(mixed), (std::vector<Summary>{{"b", 2, 2, std::nullopt}}));
  ASSERT_EQ(mixed.size(), 1u);
  EXPECT_EQ(mixed[0].content, "# file: y.ts\n\nfunction b() { return 2; }");
}

TEST(ChunkFileTest, OversizedDefinitionWindowsCountAFormFeedAsALineBreak) {
  std::string source = "def f():\n    s = \"a\fb\"\n" + pad("    ", "#", 1000) + "\n" + pad("    ", "#", 1000) +
                       "\n    return s\n";
  std::vector<Chunk> chunks = chunk("ff.py", source, "python");
  // The file has five lines; the windows see six.
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{"f", 1, 4, std::nullopt}, {"f", 4, 4, std::nullopt},
                                                     {"f", 5, 6, std::nullopt}}));
}

TEST(ChunkFileTest, SuppliedTreeIsUsedAndPoolIsLeftAlone) {
  std::string source = "def f():\n    return 1\n\nclass C:\n    pass\n";
  syntax::ParserPool parsing_pool;
  syntax::ParseTree tree = parsing_pool.parse("python", source);
  syntax::ParserPool untouched;
  std::vector<Chunk> with_tree = chunk("t.py", source, "python", {.tree = &tree, .pool = &untouched});
  EXPECT_EQ(untouched.size(), 0u);
  EXPECT_EQ(with_tree, chunk("t.py", source, "python"));

  syntax::ParserPool shared;
  EXPECT_EQ(chunk("t.py", source, "python", {.pool = &shared}), with_tree);
  EXPECT_TRUE(shared.contains("python"));
}

TEST(ChunkFileTest, FileThatIsNotUtf8IsChunkedFromItsReplacedText) {
  std::string raw = "def f():\n    return '\xff\xfe'\n";
  std::string text = core::decode_utf8_replace(raw);
  std::vector<Chunk> chunks = chunk("bad.py", text, "python");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].content, "# file: bad.py\n\ndef f():\n    return '\xef\xbf\xbd\xef\xbf\xbd'");
  EXPECT_EQ(summarize(chunks), (std::vector<Summary>{{"f", 1, 2, std::nullopt}}));

  // Handed the raw bytes and the tree made of them, the chunker reads the
  // replaced text and parses it itself: the raw tree's offsets do not fit it.
  syntax::ParserPool pool;
  syntax::ParseTree raw_tree = pool.parse("python", raw);
  EXPECT_EQ(chunk("bad.py", raw, "python", {.tree = &raw_tree}), chunks);
  EXPECT_EQ(chunk("bad.txt", raw, "go"), whole_file("bad.txt", text, "go"));
}

TEST(ChunkFileTest, MissingGrammarRaisesAndNeverFallsBackToWindows) {
  syntax::ParserPool pool;
  syntax::ParseTree tree = pool.parse("kotlin", "fun f() {}\n");
  syntax::testing::Overrides overrides;
  syntax::testing::set_not_installed("tree-sitter-kotlin");
  EXPECT_THROW(chunk("k.kt", "fun f() {}\n", "kotlin"), syntax::SyntaxDependencyError);
  // With a tree nothing is parsed, so nothing can fail.
  EXPECT_EQ(summarize(chunk("k.kt", "fun f() {}\n", "kotlin", {.tree = &tree})),
            (std::vector<Summary>{{"f", 1, 1, std::nullopt}}));
}

TEST(NodeHelpersTest, EndLineAndFirstLine) {
  syntax::ParserPool pool;
  std::string nine_lines;
  for (int k = 0; k < 9; ++k) nine_lines += "x = 1\n";
  syntax::ParseTree closed = pool.parse("python", nine_lines);  // module ends at row 9, column 0
  EXPECT_EQ(ts_node_end_point(closed.root_node()).row, 9u);
  EXPECT_EQ(ts_node_end_point(closed.root_node()).column, 0u);
  EXPECT_EQ(end_line(closed.root_node()), 9);
  syntax::ParseTree open = pool.parse("python", nine_lines + "pass");  // ends at row 9, column 4
  EXPECT_EQ(end_line(open.root_node()), 10);
  EXPECT_EQ(chunk("a.py", "def f(): pass\n", "python")[0].start_line, 1);
}

TEST(NodeHelpersTest, NodeNameFieldFallbackAndReplacement) {
  syntax::ParserPool pool;
  std::string source = "def fg():\n    pass\n\n@deco\nclass K:\n    pass\n\nx = 1\n";
  syntax::ParseTree tree = pool.parse("python", source);
  TSNode root = tree.root_node();
  ASSERT_EQ(ts_node_child_count(root), 3u);
  EXPECT_EQ(node_name(ts_node_child(root, 0), source), "fg");
  EXPECT_EQ(node_name(ts_node_child(root, 1), source), "K");  // decorated: named by its class
  EXPECT_EQ(node_name(ts_node_child(root, 2), source), std::nullopt);
  // Name bytes that are not UTF-8 come back with U+FFFD in their place.
  std::string broken = source;
  broken[5] = '\xff';
  EXPECT_EQ(node_name(ts_node_child(root, 0), broken), "f\xef\xbf\xbd");
}

TEST(NodeHelpersTest, WalkIsPreOrderAndSurvivesDeepNesting) {
  syntax::ParserPool pool;
  std::string source = "class A:\n    def f(self):\n        def g():\n            pass\n    def h(self):\n        pass\n";
  syntax::ParseTree tree = pool.parse("python", source);
  std::vector<std::string> defs;
  for (TSNode node : walk(ts_node_child(tree.root_node(), 0))) {
    if (std::string_view(ts_node_type(node)) == "function_definition") defs.push_back(*node_name(node, source));
  }
  EXPECT_EQ(defs, (std::vector<std::string>{"f", "g", "h"}));
  EXPECT_TRUE(walk(ts_node_child(ts_node_child(tree.root_node(), 0), 0)).empty());  // the "class" keyword

  std::string deep = "x = " + std::string(20000, '[') + std::string(20000, ']') + "\n";
  syntax::ParseTree deep_tree = pool.parse("python", deep);
  EXPECT_GT(walk(deep_tree.root_node()).size(), 20000u);
}

}  // namespace
}  // namespace kolvex::chunker
