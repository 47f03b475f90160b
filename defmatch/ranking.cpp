#include "defmatch/ranking.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "core/text.h"

namespace kolvex::defmatch::detail {
namespace {

using platform::Candidate;
using platform::DescriptorKind;

constexpr int SINGLE_WEIGHT = 1;
constexpr int PAIR_WEIGHT = 2;

// Tie-break between equal scores: types before methods before terms, and so
// on; every kind not listed ranks OTHER_KIND_PRIORITY.
constexpr std::array<std::pair<DescriptorKind, int>, 5> KIND_PRIORITY = {{
    {DescriptorKind::TYPE, 0},
    {DescriptorKind::METHOD, 1},
    {DescriptorKind::TERM, 2},
    {DescriptorKind::NAMESPACE, 3},
    {DescriptorKind::META, 4},
}};
constexpr int OTHER_KIND_PRIORITY = 99;

int kind_priority(DescriptorKind kind) noexcept {
  for (const auto& [member, priority] : KIND_PRIORITY) {
    if (member == kind) return priority;
  }
  return OTHER_KIND_PRIORITY;
}

bool is_dotted(std::string_view token) noexcept { return token.find('.') != std::string_view::npos; }

// Insertion-ordered map from candidate to score; equal candidates share one entry.
class ScoreTable {
 public:
  void add(const std::vector<Candidate>& candidates, int weight) {
    for (const Candidate& candidate : candidates) {
      auto [slot, inserted] = index_.try_emplace(candidate, scored_.size());
      if (inserted) scored_.push_back({candidate, 0});
      scored_[slot->second].second += weight;
    }
  }

  std::vector<std::pair<Candidate, int>>& scored() noexcept { return scored_; }

 private:
  std::vector<std::pair<Candidate, int>> scored_;
  std::unordered_map<Candidate, std::size_t, platform::CandidateHash> index_;
};

}  // namespace

std::vector<Candidate> ranked_candidates(const LowerNameMap& lower_map, const std::vector<std::string>& tokens) {
  ScoreTable table;
  for (const std::string& token : tokens) {
    if (is_dotted(token)) {
      table.add(platform::dotted_suffix_matches(lower_map.entries(), token, /*case_sensitive=*/false), SINGLE_WEIGHT);
    } else if (const auto* listed = lower_map.find(token)) {
      table.add(*listed, SINGLE_WEIGHT);
    }
  }
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (is_dotted(tokens[i]) || is_dotted(tokens[i + 1])) continue;
    if (const auto* listed = lower_map.find(tokens[i] + tokens[i + 1])) table.add(*listed, PAIR_WEIGHT);
  }

  struct Keyed {
    int negative_score;
    int priority;
    std::size_t path_length;
    const std::pair<Candidate, int>* entry;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(table.scored().size());
  for (const auto& entry : table.scored()) {
    keyed.push_back({-entry.second, kind_priority(entry.first.kind), core::code_point_length(entry.first.dotted_path),
                     &entry});
  }
  // UTF-8 byte order is code-point order, and std::string compares bytes unsigned.
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    return std::tie(a.negative_score, a.priority, a.path_length, a.entry->first.dotted_path) <
           std::tie(b.negative_score, b.priority, b.path_length, b.entry->first.dotted_path);
  });

  std::vector<Candidate> ranked;
  ranked.reserve(keyed.size());
  for (const Keyed& item : keyed) ranked.push_back(item.entry->first);
  return ranked;
}

}  // namespace kolvex::defmatch::detail
