#include "defmatch/ranking.h"

#include <gtest/gtest.h>

#include "defmatch/lower_map.h"
#include "defmatch/tokens.h"

namespace kolvex::defmatch::detail {
namespace {

using platform::Candidate;
using platform::DescriptorKind;
using platform::NameMap;
using Tokens = std::vector<std::string>;

Candidate cand(std::string symbol, std::string dotted_path, DescriptorKind kind = DescriptorKind::TERM) {
  return Candidate{std::move(symbol), std::move(dotted_path), kind};
}

std::vector<std::string> symbols_of(const std::vector<Candidate>& ranked) {
  std::vector<std::string> out;
  for (const auto& candidate : ranked) out.push_back(candidate.symbol);
  return out;
}

std::vector<std::string> rank(const NameMap& names, const Tokens& tokens) {
  return symbols_of(ranked_candidates(LowerNameMap(names), tokens));
}

TEST(LowerNameMap, MergesNamesThatDifferOnlyInCaseInNameMapOrder) {
  const NameMap names = {
      {"ReadFile", {cand("a", "io.ReadFile")}},
      {"\xC3\x84rger", {cand("u", "m.\xC3\x84rger")}},  // "Ärger"
      {"readfile", {cand("b", "io.readfile"), cand("c", "fs.readfile")}},
      {"READFILE", {cand("d", "x.READFILE")}},
  };
  const LowerNameMap lower(names);
  const NameMap expected = {
      {"readfile", {cand("a", "io.ReadFile"), cand("b", "io.readfile"), cand("c", "fs.readfile"),
                    cand("d", "x.READFILE")}},
      {"\xC3\xA4rger", {cand("u", "m.\xC3\x84rger")}},  // key lower-cased, dotted path kept
  };
  EXPECT_EQ(lower.entries(), expected);
  ASSERT_NE(lower.find("readfile"), nullptr);
  EXPECT_EQ(lower.find("readfile")->size(), 4u);
  EXPECT_EQ(lower.find("ReadFile"), nullptr);
  EXPECT_EQ(lower.find("read"), nullptr);
}

TEST(RankedCandidates, ScoresSingleTokensAndAdjacentPairs) {
  struct Case {
    std::string name;
    NameMap names;
    Tokens tokens;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"pair outscores single",
       {{"read", {cand("read", "io.read", DescriptorKind::TYPE)}}, {"readFile", {cand("readFile", "io.readFile")}}},
       {"read", "file"},
       {"readFile", "read"}},
      {"pair plus single scores three",
       {{"user", {cand("user", "m.user", DescriptorKind::TYPE)}},
        {"name", {cand("name", "m.name", DescriptorKind::TYPE)}},
        {"username", {cand("username", "m.username.long.path", DescriptorKind::LOCAL)}}},
       {"user", "name", "username"},
       {"username", "name", "user"}},
      {"a candidate listed twice counts twice",
       {{"Widget", {cand("twice", "ui.Widget", DescriptorKind::LOCAL)}},
        {"widget", {cand("twice", "ui.Widget", DescriptorKind::LOCAL), cand("once", "w", DescriptorKind::TYPE)}}},
       {"widget"},
       {"twice", "once"}},
      {"missing keys match nothing", {{"parser", {cand("p", "p")}}}, {"lexer", "token"}, {}},
      {"dotted token matches a dotted-path suffix without regard to case",
       {{"parse", {cand("method", "mod.Parser.parse", DescriptorKind::METHOD), cand("other", "mod.Lexer.parse")}},
        {"parseAll", {cand("all", "mod.Parser.parseAll")}},
        {"parser.parse", {cand("by-name", "x", DescriptorKind::TYPE)}},
        {"Parser", {cand("type", "Parser", DescriptorKind::TYPE)}}},
       {"parser.parse"},
       {"method"}},
      {"a pair with a dotted token is never looked up",
       {{"parser.parsetree", {cand("joined", "j")}}, {"tree", {cand("tree", "t")}}},
       {"parser.parse", "tree"},
       {"tree"}},
  };
  for (const auto& c : cases) EXPECT_EQ(rank(c.names, c.tokens), c.expected) << c.name;
}

TEST(RankedCandidates, PairsFormAcrossDroppedStopWords) {
  const NameMap names = {{"readFile", {cand("joined", "io.readFile")}}, {"read", {cand("read", "io.read")}}};
  const Tokens tokens = extract_tokens("read the file");
  ASSERT_EQ(tokens, (Tokens{"read", "file"}));
  EXPECT_EQ(rank(names, tokens), (std::vector<std::string>{"joined", "read"}));
}

TEST(RankedCandidates, BreaksTiesByKindPathLengthPathAndFirstEntry) {
  using K = DescriptorKind;
  // All listed under one name, so every candidate scores 1.
  const NameMap names = {{"item",
                          {
                              cand("parameter", "a", K::PARAMETER),
                              cand("local", "a", K::LOCAL),
                              cand("meta", "zzzz.item", K::META),
                              cand("namespace", "zzzz.item", K::NAMESPACE),
                              cand("term", "zzzz.item", K::TERM),
                              cand("method", "zzzz.item", K::METHOD),
                              cand("type-long", "zzzz.item", K::TYPE),
                              // 8 code points in 8 bytes, after 5 code points in 8 bytes.
                              cand("type-ascii", "abcdef.x", K::TYPE),
                              cand("type-accented", "\xC3\xA9\xC3\xA9\xC3\xA9.x", K::TYPE),
                              // Equal in every key: first entry first.
                              cand("type-b2", "b.item", K::TYPE),
                              cand("type-b1", "b.item", K::TYPE),
                              cand("type-a", "a.item", K::TYPE),
                          }}};
  EXPECT_EQ(rank(names, {"item"}), (std::vector<std::string>{"type-accented", "type-a", "type-b2", "type-b1",
                                                              "type-ascii", "type-long", "method", "term",
                                                              "namespace", "meta", "parameter", "local"}));
}

TEST(RankedCandidates, FirstEntryOrderSpansTokens) {
  // "second" enters the score table through the first token, "first" through
  // the second; both score 1 with equal keys otherwise.
  const NameMap names = {{"alpha", {cand("first", "p.x")}}, {"beta", {cand("second", "p.x")}}};
  EXPECT_EQ(rank(names, {"beta", "alpha"}), (std::vector<std::string>{"second", "first"}));
}

}  // namespace
}  // namespace kolvex::defmatch::detail
