// Candidate ranking of symbol-definition search; an internal step, exposed for
// its tests.
//
// ranked_candidates scores every candidate that the query tokens match in a
// lower-cased name map: each token adds 1 to the candidates listed under it
// (a dotted token matches through platform::dotted_suffix_matches instead),
// and each adjacent pair of undotted tokens adds 2 to the candidates listed
// under the two joined ("read", "file" -> "readfile"). The result is sorted by
// higher score, then kind (TYPE, METHOD, TERM, NAMESPACE, META, any other),
// then shorter dotted path (in code points), then dotted path in code-point
// order; full ties keep the order in which candidates were first scored.
//
// Pure function of its inputs; callable from any thread.
#pragma once

#include <string>
#include <vector>

#include "defmatch/lower_map.h"
#include "platform/symbols.h"

namespace kolvex::defmatch::detail {

std::vector<platform::Candidate> ranked_candidates(const LowerNameMap& lower_map,
                                                   const std::vector<std::string>& tokens);

}  // namespace kolvex::defmatch::detail
