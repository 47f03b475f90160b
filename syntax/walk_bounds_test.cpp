// The per-file bounds of the declaration walk, through the whole extraction:
// nesting deeper than MAX_DECLARATION_DEPTH and qualified names past the file's
// budget leave declarations out and make the file "partial" with the reason,
// while a file inside both bounds keeps every declaration and its state.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "syntax/rule_test_support.h"
#include "syntax/walk.h"
#include "testkit/deep_input.h"

namespace kolvex::syntax {
namespace {

using testkit::js_chain;

constexpr std::size_t MAX = MAX_DECLARATION_DEPTH;
constexpr const char* DEPTH_REASON = "declarations nested deeper than 128 levels are not stored";

// `name` repeated `count` times, joined by dots.
std::string dotted(const std::string& name, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += (i == 0 ? "" : ".") + name;
  return out;
}

std::size_t name_bytes(const ParsedSyntax& parsed) {
  std::size_t total = 0;
  for (const SyntaxSymbol& symbol : parsed.symbols) total += symbol.qualified_name.size();
  return total;
}

TEST(WalkBounds, ReasonTexts) {
  EXPECT_EQ(depth_bound_reason(), DEPTH_REASON);
  EXPECT_EQ(name_budget_reason(65536), "qualified names exceed 65536 bytes; later declarations are not stored");
  EXPECT_EQ(qualified_name_budget(0), 65536u);
  EXPECT_EQ(qualified_name_budget(4096), 65536u);
  EXPECT_EQ(qualified_name_budget(1 << 20), 16u << 20);
}

struct DepthCase {
  const char* title;
  const char* language;
  std::string source;
  std::size_t stored;                   // declarations expected
  std::string deepest;                  // qualified name of the last one
  std::optional<std::string> reason;    // absent: "parsed"
};

// Every construct that deepens the qualification counts a level: nested
// declarations, qualifying contexts (Rust impl blocks) and headers that qualify
// later headers (PHP namespaces without a body). Exactly the limit is stored in
// full; one level more leaves out the deepest, and what follows the deep part
// at a shallow level is still stored.
TEST(WalkBounds, NestingDeeperThanTheLimitIsLeftOut) {
  std::string rust;
  for (std::size_t i = 0; i < MAX; ++i) rust += "impl T { fn m() { ";
  for (std::size_t i = 0; i < MAX; ++i) rust += "} } ";
  std::string php = "<?php\n";
  for (std::size_t i = 0; i < MAX + 5; ++i) php += "namespace n;\n";
  php += "function g() {}\n";
  std::string rust_deepest;
  for (std::size_t i = 0; i < MAX / 2; ++i) rust_deepest += (i == 0 ? "T.m" : ".T.m");

  const std::vector<DepthCase> cases = {
      {"at the limit", "javascript", js_chain(MAX), MAX, dotted("f", MAX), std::nullopt},
      {"one level past", "javascript", js_chain(MAX + 1), MAX, dotted("f", MAX), DEPTH_REASON},
      {"far past, then a shallow sibling", "javascript", js_chain(40000) + "\nfunction after(){}\n",
       MAX + 1, "after", DEPTH_REASON},
      {"a damaged tree gives both reasons", "javascript", js_chain(MAX + 1) + ")", MAX, dotted("f", MAX),
       "grammar produced error or missing nodes; " + std::string(DEPTH_REASON)},
      {"contexts count", "rust", rust, MAX / 2, rust_deepest, DEPTH_REASON},
      {"headers count", "php", php, MAX, dotted("n", MAX), DEPTH_REASON},
  };
  for (const DepthCase& c : cases) {
    SCOPED_TRACE(c.title);
    const ParsedSyntax parsed = test::extract_snippet(c.language, c.source);
    ASSERT_EQ(parsed.symbols.size(), c.stored);
    EXPECT_EQ(parsed.symbols.back().qualified_name, c.deepest);
    EXPECT_EQ(parsed.state, c.reason ? "partial" : "parsed");
    EXPECT_EQ(parsed.reason, c.reason);
  }
}

// Chains of long names well inside the depth limit: every declaration whose
// qualified name still fits the budget is stored, in walk order, and none after
// the first that does not fit.
TEST(WalkBounds, QualifiedNamesPastTheBudgetEndTheFile) {
  const std::string name(200, 'g');
  struct BudgetCase {
    std::size_t chains;
    std::size_t depth;
    bool over;  // the names reach the budget
  };
  for (const BudgetCase& c : {BudgetCase{1, 20, false}, BudgetCase{1, 100, true}, BudgetCase{40, 100, true}}) {
    SCOPED_TRACE(std::to_string(c.chains) + " chains of " + std::to_string(c.depth));
    std::string source;
    for (std::size_t i = 0; i < c.chains; ++i) source += js_chain(c.depth, name) + "\n";
    const std::size_t budget = qualified_name_budget(source.size());

    // The declarations in walk order, as long as their names fit.
    std::size_t stored = 0;
    std::size_t spent = 0;
    bool over = false;
    for (std::size_t i = 0; i < c.chains && !over; ++i) {
      for (std::size_t d = 1; d <= c.depth; ++d) {
        const std::size_t size = d * (name.size() + 1) - 1;
        if (spent + size > budget) {
          over = true;
          break;
        }
        spent += size;
        ++stored;
      }
    }
    ASSERT_EQ(over, c.over);

    const ParsedSyntax parsed = test::extract_snippet("javascript", source);
    EXPECT_EQ(parsed.symbols.size(), stored);
    EXPECT_EQ(name_bytes(parsed), spent);
    EXPECT_EQ(parsed.state, c.over ? "partial" : "parsed");
    EXPECT_EQ(parsed.reason, c.over ? std::optional<std::string>(name_budget_reason(budget)) : std::nullopt);
  }
}

// Both bounds in one file: the reasons in a fixed order.
TEST(WalkBounds, BothBoundsGiveBothReasons) {
  const std::string name(200, 'g');
  std::string source = js_chain(MAX + 1, "f") + "\n";
  for (int c = 0; c < 5; ++c) source += js_chain(100, name) + "\n";
  const ParsedSyntax parsed = test::extract_snippet("javascript", source);
  EXPECT_EQ(parsed.state, "partial");
  EXPECT_EQ(parsed.reason, std::string(DEPTH_REASON) + "; " +
                               name_budget_reason(qualified_name_budget(source.size())));
}

constexpr std::size_t HOSTILE_DEPTH = 40000;
constexpr std::size_t SMALL_STACK_BYTES = 512 * 1024;


// A 560 KB file of 40,000 nested functions is extracted on a small stack, and
// what it stores stays a small fraction of its size.
TEST(WalkBounds, DeepFileOnASmallStackStoresLittle) {
  const std::string source = js_chain(HOSTILE_DEPTH);
  ASSERT_EQ(source.size(), 560000u);
  std::optional<ParsedSyntax> parsed;
  testkit::run_on_small_stack(SMALL_STACK_BYTES, [&] {
    ParserPool pool;
    ParsedSyntax extracted = extract_file("deep.js", source, "javascript", pool);
    extracted.tree.reset();  // the tree is released on this thread too
    parsed = std::move(extracted);
  });
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->state, "partial");
  EXPECT_EQ(parsed->reason, DEPTH_REASON);
  EXPECT_EQ(parsed->symbols.size(), MAX);
  EXPECT_EQ(name_bytes(*parsed), MAX * MAX);  // sum of 2d - 1 for d = 1..MAX
}

}  // namespace
}  // namespace kolvex::syntax
