// Test seam of the semantic library: lets tests make the vector store read as
// not installed, so that binding it on first use fails with its load error.
//
// For tests only. The override is process-wide; VectorStoreMissing undoes it when
// it goes out of scope. Safe to call from any thread.
#pragma once

namespace kolvex::semantic::testing {

// While set, bind_vector_store() throws VectorStoreLoadError.
void set_vector_store_missing(bool missing);

class VectorStoreMissing {
 public:
  VectorStoreMissing() { set_vector_store_missing(true); }
  ~VectorStoreMissing() { set_vector_store_missing(false); }
  VectorStoreMissing(const VectorStoreMissing&) = delete;
  VectorStoreMissing& operator=(const VectorStoreMissing&) = delete;
};

}  // namespace kolvex::semantic::testing
