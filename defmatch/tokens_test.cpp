#include "defmatch/tokens.h"

#include <gtest/gtest.h>

namespace kolvex::defmatch {
namespace {

using Tokens = std::vector<std::string>;

TEST(ExtractTokens, SplitsStripsFiltersAndDeduplicates) {
  struct Case {
    std::string query;
    Tokens expected;
  };
  const std::vector<Case> cases = {
      {"", {}},
      // Stop words (in any case) and words shorter than three characters never survive.
      {"how is it", {}},
      {"The Where FROM your to do", {}},
      {"how to parse the config file", {"parse", "config", "file"}},
      // Dots at either end are stripped before the length test; inner dots stay.
      {"... .. .", {}},
      {".ab.", {}},
      {"..abc..", {"abc"}},
      {"Parser.parse()", {"parser.parse"}},
      {"a.b", {"a.b"}},
      {"see os.path.Join.", {"see", "os.path.join"}},
      // Hyphens, plus and dollar signs belong to tokens; other punctuation splits.
      {"read-only file", {"read-only", "file"}},
      {"---", {"---"}},
      {"c++ x+y $el", {"c++", "x+y", "$el"}},
      {"snake_case_name,camelCase;kebab", {"snake_case_name", "camelcase", "kebab"}},
      // One token per word whatever its case, at its first position.
      {"Parser tree PARSER parser", {"parser", "tree"}},
      // Only ASCII characters form tokens.
      {"na\xC3\xAFve caf\xC3\xA9 \xC3\xBC\xC3\xBC\xC3\xBC", {"caf"}},
  };
  for (const auto& [query, expected] : cases) EXPECT_EQ(extract_tokens(query), expected) << query;
}

TEST(ExtractTokens, HandlesLongQueries) {
  const std::string run(1 << 20, 'a');
  EXPECT_EQ(extract_tokens(run + " " + run), Tokens{run});
}

}  // namespace
}  // namespace kolvex::defmatch
