// Query tokens of symbol-definition search.
//
// extract_tokens turns a natural-language query into the lower-case words that
// can name a symbol: maximal runs of ASCII letters, digits and "_", ".", "$",
// "+", "-", with dots at either end removed, at least MIN_TOKEN_LEN characters
// long, not a stop word, each kept once in order of first occurrence. Dots
// inside a token remain, so "Parser.parse" stays one dotted token. Hybrid
// search uses the same tokens for its Zoekt query.
//
// Pure function of its input; callable from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kolvex::defmatch {

std::vector<std::string> extract_tokens(std::string_view query);

}  // namespace kolvex::defmatch
