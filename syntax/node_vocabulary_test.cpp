// The node vocabulary: a node has the i-th type exactly when its type text is
// the i-th name (named nodes and anonymous tokens alike, in every language), a
// field is reached by id as by name, and grammars resolved from several threads
// at once give each thread the same resolution.
#include "syntax/node_vocabulary.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "syntax/rule_test_support.h"
#include "syntax/rules.h"

namespace kolvex::syntax {
namespace {

// Names that occur as named nodes, as anonymous tokens ("class", "(", "="), or
// in no grammar at all.
constexpr std::string_view TYPES[] = {"class", "identifier", "(", "=", "function_definition",
                                      "no_such_type"};
constexpr std::string_view FIELDS[] = {"name", "body", "no_such_field"};

const NodeVocabulary VOCABULARY(TYPES, FIELDS);

struct Sample {
  const char* language;
  const char* source;
};

const Sample SAMPLES[] = {
    {"python", "class A:\n    def f(self, x=(1)): return x\n"},
    {"ruby", "class A\n  def f(x = (1)) = x\nend\n"},
    {"javascript", "class A { f(x = (1)) { return x; } }\n"},
    {"cpp", "class A { int f(int x) { return (x); } };\n"},
    {"python", "def (:\n"},  // an ERROR node
};

// Every node of the tree, anonymous ones included, in pre-order.
std::vector<TSNode> all_nodes(TSNode root) {
  std::vector<TSNode> nodes;
  std::vector<TSNode> pending{root};
  while (!pending.empty()) {
    const TSNode node = pending.back();
    pending.pop_back();
    nodes.push_back(node);
    for (uint32_t i = ts_node_child_count(node); i > 0; --i) pending.push_back(ts_node_child(node, i - 1));
  }
  return nodes;
}

TEST(NodeVocabulary, TypeIndexAgreesWithTheTypeText) {
  ParserPool pool;
  for (const Sample& sample : SAMPLES) {
    SCOPED_TRACE(std::string(sample.language) + ": " + sample.source);
    ParseTree tree = pool.parse(sample.language, sample.source);
    const ResolvedVocabulary& v = VOCABULARY.of(tree.root_node());
    std::size_t matched = 0;
    for (const TSNode node : all_nodes(tree.root_node())) {
      const std::string_view type = ts_node_type(node);
      TypeIndex expected = NO_TYPE;
      for (std::size_t i = 0; i < std::size(TYPES); ++i) {
        if (TYPES[i] == type) expected = static_cast<TypeIndex>(i);
      }
      EXPECT_EQ(v.type(node), expected) << type;
      if (expected != NO_TYPE) {
        ++matched;
        EXPECT_TRUE(v.in(node, TypeMask{1} << expected));
        EXPECT_FALSE(v.in(node, ~(TypeMask{1} << expected) & mask_of({0, 1, 2, 3, 4, 5})));
      }
    }
    EXPECT_GT(matched, 0u);
    EXPECT_EQ(v.type(TSNode{}), NO_TYPE);
    EXPECT_FALSE(v.in(TSNode{}, ~TypeMask{0}));
  }
}

TEST(NodeVocabulary, FieldsByIdAsByName) {
  ParserPool pool;
  for (const Sample& sample : SAMPLES) {
    SCOPED_TRACE(std::string(sample.language) + ": " + sample.source);
    ParseTree tree = pool.parse(sample.language, sample.source);
    const ResolvedVocabulary& v = VOCABULARY.of(tree.root_node());
    EXPECT_EQ(v.field_id(2), 0);
    for (const TSNode node : all_nodes(tree.root_node())) {
      for (std::size_t field = 0; field < std::size(FIELDS); ++field) {
        EXPECT_TRUE(ts_node_eq(v.child(node, field), child_by_field(node, FIELDS[field])));
        const std::vector<TSNode> by_id = v.field_children(node, field);
        const std::vector<TSNode> by_name = field_children(node, FIELDS[field]);
        ASSERT_EQ(by_id.size(), by_name.size());
        for (std::size_t i = 0; i < by_id.size(); ++i) EXPECT_TRUE(ts_node_eq(by_id[i], by_name[i]));
      }
      EXPECT_TRUE(ts_node_eq(v.child_in(node, mask_of({1})), child_of_type(node, {"identifier"})));
    }
    EXPECT_TRUE(ts_node_is_null(v.child(TSNode{}, 0)));
    EXPECT_TRUE(v.field_children(TSNode{}, 0).empty());
  }
}

constexpr int THREADS = 8;

TEST(NodeVocabularyConcurrency, FirstUseFromSeveralThreadsGivesOneResolution) {
  // Each language's grammar, loaded before the threads start.
  const std::vector<const char*> languages = {"python", "ruby", "javascript", "cpp", "go",
                                              "rust",   "java", "kotlin",     "swift", "php"};
  std::vector<const TSLanguage*> grammars;
  for (const char* language : languages) grammars.push_back(test::compiled_grammar(language));
  const NodeVocabulary fresh(TYPES, FIELDS);

  std::vector<std::vector<const ResolvedVocabulary*>> seen(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < grammars.size(); ++i) {
        // Threads start from different grammars so that first uses overlap.
        seen[t].push_back(&fresh.of(grammars[(i + t) % grammars.size()]));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < THREADS; ++t) {
    for (std::size_t i = 0; i < grammars.size(); ++i) {
      EXPECT_EQ(seen[t][i], &fresh.of(grammars[(i + t) % grammars.size()]));
    }
  }
}

}  // namespace
}  // namespace kolvex::syntax
