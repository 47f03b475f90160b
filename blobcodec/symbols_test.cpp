#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "blobcodec/blobcodec.h"
#include "blobcodec/symbol_tokens.h"

namespace kolvex::blobcodec {
namespace {

using Tokens = std::vector<std::string>;

TEST(SplitBacktickAwareTokens, SplitsOnSpacesAndBacktickGroups) {
  struct Case {
    std::string symbol;
    long long max_tokens;
    Tokens tokens;
  };
  std::vector<Case> cases = {
      {"a b c d e f", 4, {"a", "b", "c", "d"}},
      {"a  b   c d", 4, {"a", "b", "c", "d"}},          // several spaces are one separator
      {"   a b", 4, {"a", "b"}},                         // leading spaces ignored, fewer than asked
      {"a b c", 0, {}},
      {"a b c", -1, {}},
      {"", 4, {}},
      {"    ", 4, {}},
      {"a\tb c", 4, {"a\tb", "c"}},                      // only U+0020 separates
      {"`x y` z", 4, {"x y", "z"}},
      {"`x y`z w", 4, {"x y", "z", "w"}},               // closing backtick ends the group at once
      {"`a``b` c", 4, {"a", "b", "c"}},                  // a doubled backtick ends the group
      {"a `` b", 4, {"a", "", "b"}},                     // empty group
      {"a `b c d", 4, {"a", "`b c d"}},                  // unclosed group runs to the end
      {"a`b c", 4, {"a`b", "c"}},                        // a backtick inside a run is ordinary
      {"s m n v `un closed", 4, {"s", "m", "n", "v"}},   // never reads past the last component
      {"é ü", 4, {"é", "ü"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbol);
    EXPECT_EQ(internal::split_backtick_aware_tokens(c.symbol, c.max_tokens), c.tokens);
  }
}

TEST(ParseSymbolPackage, ReadsTheLeadingFourComponents) {
  struct Case {
    std::string symbol;
    std::optional<SymbolPackage> package;
  };
  std::vector<Case> cases = {
      {"scip-typescript npm left-pad 1.3.0 src/`index.ts`/leftPad().", SymbolPackage{"npm", "left-pad", "1.3.0"}},
      {"scheme mgr name ver", SymbolPackage{"mgr", "name", "ver"}},
      {"scheme  mgr  name  ver desc#", SymbolPackage{"mgr", "name", "ver"}},
      {"local 42", std::nullopt},
      {"local a b c d", std::nullopt},
      {"Local a b c", SymbolPackage{"a", "b", "c"}},        // case-sensitive test
      {"local\ta b c d", SymbolPackage{"b", "c", "d"}},     // local followed by a tab is no local
      {"localx a b c", SymbolPackage{"a", "b", "c"}},
      {" local a b c", SymbolPackage{"a", "b", "c"}},       // a space before local
      {"", std::nullopt},
      {"    ", std::nullopt},
      {"scheme mgr name", std::nullopt},
      {"s m . v desc.", std::nullopt},
      {"s m `.` v desc.", std::nullopt},
      {"s . name . desc.", SymbolPackage{".", "name", "."}},
      {"s m `my pkg` 1.0 desc.", SymbolPackage{"m", "my pkg", "1.0"}},
      {"s m `` v", SymbolPackage{"m", "", "v"}},
      {"s m n `v desc. x", SymbolPackage{"m", "n", "`v desc. x"}},
      {"s `a``b` c", SymbolPackage{"a", "b", "c"}},
      {"s m`x y` n v", SymbolPackage{"m`x", "y`", "n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbol);
    EXPECT_EQ(parse_symbol_package(c.symbol), c.package);
  }
}

TEST(ParseSymbolPackage, RecordsOfOnePackageAreEqualKeys) {
  auto a = parse_symbol_package("scip-python python pkg 2.0 mod/A#");
  auto b = parse_symbol_package("scip-python python pkg 2.0 other/B#method().");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(std::set<SymbolPackage>({*a, *b}).size(), 1u);
  EXPECT_EQ(std::unordered_set<SymbolPackage>({*a, *b}).size(), 1u);
  EXPECT_EQ(std::unordered_set<SymbolPackage>({*a, SymbolPackage{"python", "pkg", "2.1"}}).size(), 2u);
}

TEST(KindName, NamesOnlyNumbersTheSchemaDefines) {
  struct Case {
    std::optional<std::int64_t> kind;
    std::optional<std::string> name;
  };
  std::vector<Case> cases = {
      {std::nullopt, std::nullopt},
      {-1, std::nullopt},
      {83, std::nullopt},
      {1LL << 40, std::nullopt},
      {-(1LL << 40), std::nullopt},
      {0, "UnspecifiedKind"},
      {7, "Class"},
      {63, "Error"},
      {82, "StaticVariable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind ? std::to_string(*c.kind) : "absent");
    EXPECT_EQ(kind_name(c.kind), c.name);
  }
}

}  // namespace
}  // namespace kolvex::blobcodec
