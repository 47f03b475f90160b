#include "blobcodec/symbol_tokens.h"

namespace kolvex::blobcodec::internal {

std::vector<std::string> split_backtick_aware_tokens(std::string_view symbol, long long max_tokens) {
  std::vector<std::string> tokens;
  const std::size_t n = symbol.size();
  std::size_t i = 0;
  while (static_cast<long long>(tokens.size()) < max_tokens && i < n) {
    while (i < n && symbol[i] == ' ') ++i;
    if (i == n) break;
    if (symbol[i] == '`') {
      std::size_t end = symbol.find('`', i + 1);
      if (end == std::string_view::npos) {
        // An unclosed group runs to the end, opening backtick included.
        tokens.emplace_back(symbol.substr(i));
        break;
      }
      tokens.emplace_back(symbol.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      std::size_t end = symbol.find(' ', i);
      if (end == std::string_view::npos) end = n;
      tokens.emplace_back(symbol.substr(i, end - i));
      i = end;
    }
  }
  return tokens;
}

}  // namespace kolvex::blobcodec::internal
