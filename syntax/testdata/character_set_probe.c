// The character-set test of the generated lexers (set_contains, from the
// grammar's tree_sitter/parser.h) and the faster one every grammar module is
// built with (kolvex_set_contains, cmake/grammar_character_sets.h, included
// ahead of this file as ahead of the modules' sources), for the
// character-set test. A set is passed as pairs of first and last character.
#include <stdint.h>

_Static_assert(sizeof(TSCharacterRange) == 2 * sizeof(int32_t), "a range is a pair of characters");

bool kolvex_probe_fast_set_contains(const int32_t *pairs, uint32_t len, int32_t lookahead) {
  return set_contains((const TSCharacterRange *)pairs, len, lookahead);
}

#undef set_contains

bool kolvex_probe_generated_set_contains(const int32_t *pairs, uint32_t len, int32_t lookahead) {
  return set_contains((const TSCharacterRange *)pairs, len, lookahead);
}
