// Symbol vocabulary shared by the syntax snapshot and symbol-definition search:
// match candidates and the name map over a converted SCIP database (the
// descriptor kinds are in descriptor_kind.h).
//
// Values are immutable; functions are thread-safe (a connection passed in
// belongs to the caller's thread).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/descriptor_kind.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::platform {

// One symbol-match candidate: a SCIP symbol string (or a declaration id), its
// dotted path and its kind. Equality and hashing over all three fields.
struct Candidate {
  std::string symbol;
  std::string dotted_path;
  DescriptorKind kind;

  bool operator==(const Candidate&) const = default;
};

struct CandidateHash {
  std::size_t operator()(const Candidate& candidate) const noexcept;
};

// A map from a symbol name to its candidates, in insertion order of the names.
using NameMap = std::vector<std::pair<std::string, std::vector<Candidate>>>;

// Lookup helper over a NameMap (linear in the number of names; callers that look
// up often index it themselves).
const std::vector<Candidate>* find_name(const NameMap& map, std::string_view name);

// The name map of a converted SCIP database: every non-local symbol of
// `global_symbols`, keyed by the name of its last descriptor, with its dotted path
// (descriptor names joined by ".") and the kind of its last descriptor, in
// `id` order. Symbols that do not parse as SCIP symbols are left out.
NameMap name_map(core::Connection& connection);

// Candidates whose dotted path equals `query` or ends with "." + `query`, in map
// order (names in map order, candidates in list order). With case_sensitive
// false, the comparison ignores the case of ASCII letters (queries made of
// search tokens are ASCII; other characters compare exactly).
std::vector<Candidate> dotted_suffix_matches(const NameMap& map, std::string_view query,
                                             bool case_sensitive = false);

// Whether `path` equals `query` or ends with "." + `query`, by the rules above.
bool dotted_suffix_match(std::string_view path, std::string_view query, bool case_sensitive) noexcept;

}  // namespace kolvex::platform
