/* Included ahead of every grammar module's sources (-include): a faster test of
 * a lexer character against one of the grammar's character sets.
 *
 * The generated lexers test characters against sets of sorted, disjoint ranges
 * with set_contains from the grammar's own tree_sitter/parser.h, a binary
 * search. An identifier's set lists every Unicode letter, some 450 to 800
 * ranges, so each character of each identifier took ten probes. Source text is
 * mostly ASCII and a set's ASCII ranges come first: the few first ranges are
 * looked through in order, and only a character past them is searched for in
 * the rest as before. The answer is the same for every character.
 *
 * The grammar's parser.h is included here first, so its include guard keeps the
 * sources' own include of it from defining anything twice; the sources' calls
 * of set_contains then name kolvex_set_contains. */
#ifndef KOLVEX_GRAMMAR_CHARACTER_SETS_H_
#define KOLVEX_GRAMMAR_CHARACTER_SETS_H_

#include <tree_sitter/parser.h>

/* Ranges looked through in order before the binary search. */
#define KOLVEX_SET_SCAN 8u

static inline bool kolvex_set_contains(const TSCharacterRange *ranges, uint32_t len, int32_t lookahead) {
  uint32_t index = 0;
  for (; index < len && index < KOLVEX_SET_SCAN; index++) {
    if (lookahead < ranges[index].start) return false;
    if (lookahead <= ranges[index].end) return true;
  }
  if (index >= len) return false;
  uint32_t size = len - index;
  while (size > 1) {
    uint32_t half_size = size / 2;
    uint32_t mid_index = index + half_size;
    const TSCharacterRange *range = &ranges[mid_index];
    if (lookahead >= range->start && lookahead <= range->end) {
      return true;
    } else if (lookahead > range->end) {
      index = mid_index;
    }
    size -= half_size;
  }
  const TSCharacterRange *range = &ranges[index];
  return lookahead >= range->start && lookahead <= range->end;
}

#define set_contains kolvex_set_contains

#endif /* KOLVEX_GRAMMAR_CHARACTER_SETS_H_ */
