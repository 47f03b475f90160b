// The grammar modules test lexer characters against their character sets with
// a faster function than the generated one (cmake/grammar_character_sets.h).
// Its answer must be the generated one's for every character and every set:
// checked here over every code point, on sets shaped like those the lexers
// use, through a probe built the way the modules are.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern "C" {
bool kolvex_probe_fast_set_contains(const std::int32_t* pairs, std::uint32_t len, std::int32_t lookahead);
bool kolvex_probe_generated_set_contains(const std::int32_t* pairs, std::uint32_t len, std::int32_t lookahead);
}

namespace kolvex::syntax {
namespace {

constexpr std::int32_t LAST_CODE_POINT = 0x10FFFF;

// A character set: sorted, disjoint ranges of first and last character.
using CharacterSet = std::vector<std::pair<std::int32_t, std::int32_t>>;

// `count` ranges from `first` on, each `width` characters wide with a gap of
// `gap` after it.
CharacterSet spaced_ranges(std::int32_t first, int count, std::int32_t width, std::int32_t gap) {
  CharacterSet set;
  for (int i = 0; i < count; ++i, first += width + gap) set.emplace_back(first, first + width - 1);
  return set;
}

// An identifier's set as the generators write it: a few ASCII ranges, then
// hundreds of ranges of letters beyond ASCII.
CharacterSet identifier_set() {
  CharacterSet set = {{'$', '$'}, {'A', 'Z'}, {'\\', '\\'}, {'_', '_'}, {'a', 'z'}, {0xaa, 0xaa}, {0xb5, 0xb5}};
  for (const auto& range : spaced_ranges(0xc0, 700, 3, 2)) set.push_back(range);
  set.emplace_back(0x10000, LAST_CODE_POINT);
  return set;
}

bool member(const CharacterSet& set, std::int32_t lookahead) {
  for (const auto& [first, last] : set) {
    if (lookahead >= first && lookahead <= last) return true;
  }
  return false;
}

TEST(CharacterSets, TheFasterTestAnswersAsTheGeneratedOneForEveryCharacter) {
  struct Case {
    std::string name;
    CharacterSet set;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"one ASCII range", {{'a', 'z'}}},
      {"one character", {{'\n', '\n'}}},
      // As many ranges as are looked through in order, and one more.
      {"eight ranges", spaced_ranges('0', 8, 2, 3)},
      {"nine ranges", spaced_ranges('0', 9, 2, 3)},
      {"digits and suffixes", {{'0', '9'}, {'B', 'B'}, {'D', 'D'}, {'F', 'F'}, {'L', 'L'}, {'U', 'U'},
                               {'W', 'W'}, {'b', 'b'}, {'d', 'd'}, {'f', 'f'}, {'l', 'l'}, {'u', 'u'}}},
      {"identifier", identifier_set()},
      {"nothing ASCII", spaced_ranges(0x100, 40, 5, 7)},
      {"from the first to the last character", {{0, 8}, {11, 0x7f}, {0x80, 0xd7ff}, {0xe000, LAST_CODE_POINT}}},
      {"adjacent ranges", spaced_ranges(' ', 100, 1, 0)},
  };
  for (const Case& c : cases) {
    std::vector<std::int32_t> pairs;
    for (const auto& [first, last] : c.set) {
      pairs.push_back(first);
      pairs.push_back(last);
    }
    const auto len = static_cast<std::uint32_t>(c.set.size());
    int mismatches = 0;
    // The lexer's lookahead is a code point, 0 at the end of the input, or -1.
    for (std::int32_t lookahead = -1; lookahead <= LAST_CODE_POINT + 1 && mismatches < 5; ++lookahead) {
      const bool expected = member(c.set, lookahead);
      if (kolvex_probe_fast_set_contains(pairs.data(), len, lookahead) != expected) {
        ADD_FAILURE() << c.name << ": the faster test says " << !expected << " for " << lookahead;
        ++mismatches;
      }
      // The generated test reads a first range even of an empty set.
      if (len != 0 && kolvex_probe_generated_set_contains(pairs.data(), len, lookahead) != expected) {
        ADD_FAILURE() << c.name << ": the generated test says " << !expected << " for " << lookahead;
        ++mismatches;
      }
    }
  }
}

}  // namespace
}  // namespace kolvex::syntax
