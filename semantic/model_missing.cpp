#include "semantic/model.h"

#include "semantic/extra_missing.h"

namespace kolvex::semantic {

// Without the embeddings library in the build, every model is missing.
std::shared_ptr<SemanticModel> default_semantic_model() { throw SemanticExtraMissingError(std::string(INSTALL_HINT)); }

std::shared_ptr<SemanticModel> make_semantic_model(const ModelSpec&) {
  throw SemanticExtraMissingError(std::string(INSTALL_HINT));
}

bool embedding_components_missing() { return true; }

bool is_model_unavailable(const std::exception&) { return false; }

}  // namespace kolvex::semantic
