#include "defmatch/tokens.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "core/text.h"

namespace kolvex::defmatch {
namespace {

// Shorter tokens, and the words below, match too many names to be useful.
constexpr std::size_t MIN_TOKEN_LEN = 3;

constexpr std::array<std::string_view, 27> STOPWORDS = {
    "the",  "and",   "for", "with", "that", "this", "what", "where", "when",
    "why",  "who",   "which", "from", "into", "are", "was",  "can",   "not",
    "all",  "any",   "its", "has",  "have", "how", "does", "you",   "your",
};

// A token is a maximal run of [A-Za-z0-9_.$+-]. Scanned by hand: the query is
// caller input of any length, and a backtracking matcher recurses per character.
bool is_token_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '$' || c == '+' || c == '-';
}

bool is_stopword(std::string_view token) noexcept {
  return std::find(STOPWORDS.begin(), STOPWORDS.end(), token) != STOPWORDS.end();
}

std::string_view strip_dots(std::string_view match) noexcept {
  while (!match.empty() && match.front() == '.') match.remove_prefix(1);
  while (!match.empty() && match.back() == '.') match.remove_suffix(1);
  return match;
}

}  // namespace

std::vector<std::string> extract_tokens(std::string_view query) {
  std::vector<std::string> tokens;
  std::unordered_set<std::string> seen;
  std::size_t pos = 0;
  while (pos < query.size()) {
    if (!is_token_char(query[pos])) {
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    while (pos < query.size() && is_token_char(query[pos])) ++pos;
    std::string token = core::ascii_lower(strip_dots(query.substr(start, pos - start)));
    if (token.size() < MIN_TOKEN_LEN || is_stopword(token)) continue;
    if (seen.insert(token).second) tokens.push_back(std::move(token));
  }
  return tokens;
}

}  // namespace kolvex::defmatch
