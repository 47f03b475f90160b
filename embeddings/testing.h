// Test seam of the embeddings library: lets tests make the embedding runtime
// unavailable (as if the optional support were not installed) and observe the
// model loads and the runtime calls that encoding and token counting make.
//
// For tests only. Overrides are process-wide; `Overrides` undoes them and clears
// the records when it goes out of scope. Loads and calls are recorded only while
// an `Overrides` is alive: without one (a production run) nothing accumulates.
// Safe to call from any thread.
#pragma once

#include <cstddef>
#include <vector>

namespace kolvex::embeddings::testing {

// The embedding runtime cannot be bound: loads raise SemanticExtraMissingError.
void set_runtime_unbindable(bool unbindable);
// Successful model loads so far (while an Overrides is alive).
std::size_t loads();
// Number of texts of each runtime encoding call, and of each tokenizer call, in order.
std::vector<std::size_t> encode_calls();
std::vector<std::size_t> tokenize_calls();
// Undoes the override and clears the records.
void reset();

class Overrides {
 public:
  Overrides();
  ~Overrides();
  Overrides(const Overrides&) = delete;
  Overrides& operator=(const Overrides&) = delete;
};

}  // namespace kolvex::embeddings::testing
