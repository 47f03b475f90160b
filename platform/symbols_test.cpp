#include "platform/symbols.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "core/sqlite.h"

namespace kolvex::platform {
namespace {

using K = DescriptorKind;

core::Connection scip_database(const std::vector<std::string>& symbols) {
  auto connection = core::Connection::open_memory();
  connection.exec("CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT)");
  auto insert = connection.prepare("INSERT INTO global_symbols (symbol) VALUES (?)");
  for (const auto& symbol : symbols) {
    insert.bind(1, symbol);
    insert.run();
    insert.reset();
  }
  return connection;
}

TEST(Candidate, EqualityAndHashingCoverAllFields) {
  const Candidate base{"s", "a.b", K::TYPE};
  std::unordered_set<Candidate, CandidateHash> set{base, Candidate{"s", "a.b", K::TYPE}};
  EXPECT_EQ(set.size(), 1u);
  for (const Candidate& other :
       {Candidate{"t", "a.b", K::TYPE}, Candidate{"s", "a.c", K::TYPE}, Candidate{"s", "a.b", K::METHOD}}) {
    EXPECT_NE(other, base);
    set.insert(other);
  }
  EXPECT_EQ(set.size(), 4u);
}

TEST(NameMap, ListsNonLocalSymbolsByLastDescriptor) {
  const std::string pkg = "scip-typescript npm app 1.0.0 ";
  auto connection = scip_database({
      pkg + "src/`main.ts`/Server#",
      pkg + "src/`main.ts`/Server#start().",
      pkg + "src/`other.ts`/start().",
      "local 7",
      pkg + "src/`main.ts`/Server#start().(port)",
      pkg + "src/`main.ts`/Box#[T]",
      "scip-python python api 0.1 `api.models`/User#name.",
      "scip-python python api 0.1 `api.models`/__init__:",
      "rust-analyzer cargo core 1.0 macros/println!",
      "scip-java maven com.x 1.0 com/x/Overload#run(+1).",
      "scip-typescript npm `my  pkg` 1.0.0 `we``ird`/",
      "scip-typescript  npm  spaced",  // header without descriptors
      pkg + "src/`unclosed/Thing#",      // malformed
      pkg + "Bad#name(",                 // malformed
  });
  NameMap map = name_map(connection);
  const NameMap expected = {
      {"Server", {{pkg + "src/`main.ts`/Server#", "src.main.ts.Server", K::TYPE}}},
      {"start",
       {{pkg + "src/`main.ts`/Server#start().", "src.main.ts.Server.start", K::METHOD},
        {pkg + "src/`other.ts`/start().", "src.other.ts.start", K::METHOD}}},
      {"port", {{pkg + "src/`main.ts`/Server#start().(port)", "src.main.ts.Server.start.port", K::PARAMETER}}},
      {"T", {{pkg + "src/`main.ts`/Box#[T]", "src.main.ts.Box.T", K::TYPE_PARAMETER}}},
      {"name", {{"scip-python python api 0.1 `api.models`/User#name.", "api.models.User.name", K::TERM}}},
      {"__init__", {{"scip-python python api 0.1 `api.models`/__init__:", "api.models.__init__", K::META}}},
      {"println", {{"rust-analyzer cargo core 1.0 macros/println!", "macros.println", K::MACRO}}},
      {"run", {{"scip-java maven com.x 1.0 com/x/Overload#run(+1).", "com.x.Overload.run", K::METHOD}}},
      {"we`ird", {{"scip-typescript npm `my  pkg` 1.0.0 `we``ird`/", "we`ird", K::NAMESPACE}}},
  };
  EXPECT_EQ(map, expected);
  ASSERT_NE(find_name(map, "start"), nullptr);
  EXPECT_EQ(find_name(map, "start")->size(), 2u);
  EXPECT_EQ(find_name(map, "Start"), nullptr);
}

TEST(DottedSuffixMatches, MatchesWholeSegmentsInMapOrder) {
  const NameMap map = {
      {"baz", {{"s1", "foo.Bar.baz", K::METHOD}, {"s2", "other.baz", K::TERM}}},
      {"Bar", {{"s3", "foo.Bar", K::TYPE}}},
      {"rbaz", {{"s4", "foo.rbaz", K::TERM}}},
      {"Baz", {{"s5", "Qux.Baz", K::TYPE}}},
  };
  struct Case {
    std::string query;
    bool case_sensitive;
    std::vector<std::string> symbols;
  };
  const Case cases[] = {
      {"baz", true, {"s1", "s2"}},
      {"baz", false, {"s1", "s2", "s5"}},
      {"Bar.baz", true, {"s1"}},
      {"bar.BAZ", true, {}},
      {"bar.BAZ", false, {"s1"}},
      {"foo.Bar.baz", true, {"s1"}},       // the whole path
      {"r.baz", true, {}},                 // only at a "." boundary
      {"o.Bar.baz", true, {}},
      {"x.foo.Bar.baz", true, {}},         // longer than the path
      {"Bar", true, {"s3"}},
      {"", true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query + (c.case_sensitive ? " (case-sensitive)" : ""));
    std::vector<std::string> symbols;
    for (const auto& candidate : dotted_suffix_matches(map, c.query, c.case_sensitive)) {
      symbols.push_back(candidate.symbol);
    }
    EXPECT_EQ(symbols, c.symbols);
  }
  EXPECT_EQ(dotted_suffix_matches(map, "baz").size(), 3u) << "ignores case by default";
}

}  // namespace
}  // namespace kolvex::platform
