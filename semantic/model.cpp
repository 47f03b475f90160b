#include "semantic/model.h"

#include <filesystem>

#include "core/fs.h"
#include "core/thread_annotations.h"
#include "embeddings/model.h"
#include "embeddings/runtime.h"
#include "embeddings/weights_revision.h"
#include "semantic/extra_missing.h"

namespace kolvex::semantic {
namespace {

// A SemanticModel over an embeddings::EmbeddingModel: the process-wide one
// (not owned) or one made for a search (owned).
class EmbeddingModelAdapter : public SemanticModel {
 public:
  explicit EmbeddingModelAdapter(std::shared_ptr<embeddings::EmbeddingModel> model,
                                 std::optional<std::string> required_revision = std::nullopt)
      : configured_(model), current_(std::move(model)), required_revision_(std::move(required_revision)) {}

  std::pair<std::string, std::string> identity() const override {
    auto [model_name, revision] = configured_->identity();
    const std::filesystem::path file = embeddings::model_path(model_name);
    std::error_code error;
    // Without a file there are no weights to name; loading fails later.
    if (!std::filesystem::is_regular_file(file, error)) return {std::move(model_name), std::move(revision)};
    return {std::move(model_name), embeddings::weights_revision(file).revision};
  }
  std::pair<std::string, std::string> prefixes() const override { return configured_->prefixes(); }
  std::optional<std::string> prefix_warning() const override { return configured_->prefix_warning(); }
  std::vector<Vector> embed_texts(const std::vector<std::string>& texts) override {
    std::shared_ptr<embeddings::EmbeddingModel> model = current();
    std::vector<Vector> vectors = model->embed_texts(texts);
    require_weights(*model);
    return vectors;
  }
  Vector embed_query(std::string_view query) override {
    std::shared_ptr<embeddings::EmbeddingModel> model = current();
    Vector vector = model->embed_query(std::string(query));
    require_weights(*model);
    return vector;
  }
  std::int64_t count_oversized(const std::vector<std::string>& texts) override {
    return current()->count_oversized(texts);
  }
  std::optional<std::string> loaded_revision() override {
    std::shared_ptr<embeddings::EmbeddingModel> model;
    {
      core::MutexLock lock(mutex_);
      model = current_;
    }
    return revision_loaded_by(*model);
  }

 private:
  std::filesystem::path model_file() const { return embeddings::model_path(configured_->model_name()); }

  // The revision of the weights `model` loaded; "" when the file no longer
  // holds them.
  std::optional<std::string> revision_loaded_by(const embeddings::EmbeddingModel& model) const {
    std::optional<embeddings::FileStamp> stamp = model.loaded_file_stamp();
    if (!stamp) return std::nullopt;
    try {
      embeddings::WeightsRevision now = embeddings::weights_revision(model_file());
      return now.stamp == *stamp ? now.revision : std::string();
    } catch (const core::OsError&) {
      return std::string();
    }
  }

  // A model made for a table whose identity names a digest must encode with
  // exactly those weights: anything else would compare vectors of two models.
  void require_weights(const embeddings::EmbeddingModel& model) const {
    if (!required_revision_) return;
    std::optional<std::string> loaded = revision_loaded_by(model);
    if (loaded && *loaded == *required_revision_) return;
    throw embeddings::ModelNotFoundError("embedding model " + configured_->model_name() + " has no revision " +
                                         *required_revision_ + ": " + model_file().string() +
                                         " holds other weights");
  }

  // The instance to encode with: the configured one until the file it loaded
  // is replaced or rewritten, then a fresh instance of the same configuration,
  // which loads the file as it is now.
  std::shared_ptr<embeddings::EmbeddingModel> current() {
    core::MutexLock lock(mutex_);
    std::optional<embeddings::FileStamp> loaded = current_->loaded_file_stamp();
    if (!loaded) return current_;
    std::optional<embeddings::FileStamp> now;
    try {
      now = embeddings::stamp_file(model_file());
    } catch (const core::OsError&) {
      return current_;  // the loaded weights are all there is
    }
    if (*now == *loaded) return current_;
    auto [query_prefix, doc_prefix] = configured_->prefixes();
    current_ = std::make_shared<embeddings::EmbeddingModel>(
        embeddings::EmbeddingModelOptions{.model_name = configured_->model_name(),
                                          .revision = configured_->revision(),
                                          .batch_size = configured_->batch_size(),
                                          .query_prefix = std::move(query_prefix),
                                          .doc_prefix = std::move(doc_prefix)});
    return current_;
  }

  std::shared_ptr<embeddings::EmbeddingModel> configured_;
  core::Mutex mutex_;
  std::shared_ptr<embeddings::EmbeddingModel> current_ GUARDED_BY(mutex_);
  std::optional<std::string> required_revision_;
};

core::Mutex default_mutex;
std::shared_ptr<SemanticModel> default_adapter GUARDED_BY(default_mutex);

}  // namespace

std::shared_ptr<SemanticModel> default_semantic_model() {
  core::MutexLock lock(default_mutex);
  if (!default_adapter) {
    // The process-wide model lives until exit: the wrapper does not own it.
    std::shared_ptr<embeddings::EmbeddingModel> shared(&embeddings::default_model(),
                                                       [](embeddings::EmbeddingModel*) {});
    default_adapter = std::make_shared<EmbeddingModelAdapter>(std::move(shared));
  }
  return default_adapter;
}

std::shared_ptr<SemanticModel> make_semantic_model(const ModelSpec& model_spec) {
  std::optional<std::string> required;
  if (model_spec.revision.starts_with(embeddings::DIGEST_REVISION_PREFIX)) required = model_spec.revision;
  return std::make_shared<EmbeddingModelAdapter>(
      std::make_shared<embeddings::EmbeddingModel>(
          embeddings::EmbeddingModelOptions{.model_name = model_spec.model_name,
                                            .revision = model_spec.revision,
                                            .query_prefix = model_spec.query_prefix,
                                            .doc_prefix = model_spec.doc_prefix}),
      std::move(required));
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

bool is_extra_missing(const std::exception& error) {
  return dynamic_cast<const SemanticExtraMissingError*>(&error) != nullptr || is_model_unavailable(error);
}

}  // namespace kolvex::semantic
