// The runtime's parse-table lookup as parsing calls it, and the same answer
// searched for in the language's tables directly, for the lookup test.
#include "./language.h"

uint16_t kolvex_probe_lookup(const TSLanguage *language, uint16_t state, uint16_t symbol) {
  return ts_language_lookup(language, state, symbol);
}

uint16_t kolvex_probe_search(const TSLanguage *language, uint16_t state, uint16_t symbol) {
  if (state >= language->large_state_count) return ts_language_lookup_small(language, state, symbol);
  return language->parse_table[state * language->symbol_count + symbol];
}

uint32_t kolvex_probe_state_count(const TSLanguage *language) { return language->state_count; }
uint32_t kolvex_probe_large_state_count(const TSLanguage *language) { return language->large_state_count; }
uint32_t kolvex_probe_symbol_count(const TSLanguage *language) { return language->symbol_count; }
