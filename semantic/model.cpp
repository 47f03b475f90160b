#include "semantic/model.h"

#include <filesystem>
#include <mutex>

#include "embeddings/model.h"
#include "embeddings/runtime.h"
#include "semantic/extra_missing.h"

namespace kolvex::semantic {
namespace {

// A SemanticModel over an embeddings::EmbeddingModel: the process-wide one
// (not owned) or one made for a search (owned).
class EmbeddingModelAdapter : public SemanticModel {
 public:
  explicit EmbeddingModelAdapter(embeddings::EmbeddingModel& shared) : model_(shared) {}
  explicit EmbeddingModelAdapter(std::unique_ptr<embeddings::EmbeddingModel> owned)
      : owned_(std::move(owned)), model_(*owned_) {}

  std::pair<std::string, std::string> identity() const override { return model_.identity(); }
  std::pair<std::string, std::string> prefixes() const override { return model_.prefixes(); }
  std::optional<std::string> prefix_warning() const override { return model_.prefix_warning(); }
  std::vector<Vector> embed_texts(const std::vector<std::string>& texts) override {
    return model_.embed_texts(texts);
  }
  Vector embed_query(std::string_view query) override { return model_.embed_query(std::string(query)); }
  std::int64_t count_oversized(const std::vector<std::string>& texts) override {
    return model_.count_oversized(texts);
  }

 private:
  std::unique_ptr<embeddings::EmbeddingModel> owned_;
  embeddings::EmbeddingModel& model_;
};

std::mutex default_mutex;
std::shared_ptr<SemanticModel> default_adapter;

}  // namespace

std::shared_ptr<SemanticModel> default_semantic_model() {
  std::lock_guard<std::mutex> lock(default_mutex);
  if (!default_adapter) default_adapter = std::make_shared<EmbeddingModelAdapter>(embeddings::default_model());
  return default_adapter;
}

std::shared_ptr<SemanticModel> make_semantic_model(const ModelSpec& model_spec) {
  return std::make_shared<EmbeddingModelAdapter>(std::make_unique<embeddings::EmbeddingModel>(
      embeddings::EmbeddingModelOptions{.model_name = model_spec.model_name,
                                        .revision = model_spec.revision,
                                        .query_prefix = model_spec.query_prefix,
                                        .doc_prefix = model_spec.doc_prefix}));
}

bool embedding_components_missing() {
  std::string model_name;
  try {
    model_name = embeddings::default_model().model_name();
  } catch (const core::ValueError&) {
    // A malformed setting is no missing component: the stage reports it.
    return false;
  }
  std::error_code error;
  return !std::filesystem::is_regular_file(embeddings::model_path(model_name), error);
}

bool is_model_unavailable(const std::exception& error) {
  return dynamic_cast<const embeddings::SemanticExtraMissingError*>(&error) != nullptr ||
         dynamic_cast<const embeddings::ModelNotFoundError*>(&error) != nullptr;
}

}  // namespace kolvex::semantic
