// The backtick-aware splitter of SCIP symbol strings, shared by the package
// reader. Only the space (U+0020) separates components; a component that starts
// with a backtick runs to the next backtick. Callers must check the length of
// the result: it may be shorter than asked. Pure and thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kolvex::blobcodec::internal {

// At most `max_tokens` leading components of `symbol`, in order; stops reading as
// soon as it holds that many.
std::vector<std::string> split_backtick_aware_tokens(std::string_view symbol, long long max_tokens);

}  // namespace kolvex::blobcodec::internal
