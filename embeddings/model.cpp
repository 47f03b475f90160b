#include "embeddings/model.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "core/text.h"
#include "embeddings/runtime.h"
#include "embeddings/testing_state.h"

namespace kolvex::embeddings {
namespace {

constexpr const char* MODEL_ENV = "KOLVEX_EMBEDDING_MODEL";
constexpr const char* BATCH_SIZE_ENV = "KOLVEX_EMBEDDING_BATCH_SIZE";
constexpr const char* QUERY_PREFIX_ENV = "KOLVEX_EMBEDDING_QUERY_PREFIX";
constexpr const char* DOC_PREFIX_ENV = "KOLVEX_EMBEDDING_DOC_PREFIX";

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// int(text) of a base-10 integer: optional sign, white space around the digits.
std::int64_t parse_batch_size(const std::string& text) {
  std::string_view digits = core::strip(text);
  std::string_view body = digits;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
  bool ok = !body.empty() && std::all_of(body.begin(), body.end(), [](char c) { return c >= '0' && c <= '9'; });
  std::int64_t value = 0;
  if (ok) {
    std::string_view number = digits.front() == '+' ? digits.substr(1) : digits;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    ok = ec == std::errc() && end == number.data() + number.size();
  }
  if (!ok) {
    throw core::ValueError(std::string(BATCH_SIZE_ENV) + " must be an integer: invalid literal for int() with base 10: " +
                           core::quote(text));
  }
  return value;
}

// The longest key of MODEL_PREFIXES inside the lower-cased name (equal lengths in
// table order), or null.
const ModelPrefixes* match_prefixes(const std::string& model_name) {
  const std::string lowered = core::unicode_lower(model_name);
  const ModelPrefixes* best = nullptr;
  for (const ModelPrefixes& entry : MODEL_PREFIXES) {
    if (lowered.find(entry.key) == std::string::npos) continue;
    if (best == nullptr || entry.key.size() > best->key.size()) best = &entry;
  }
  return best;
}

}  // namespace

EmbeddingModel::EmbeddingModel(EmbeddingModelOptions options) {
  // 1. Model name.
  if (options.model_name && !options.model_name->empty()) {
    model_name_ = *options.model_name;
  } else if (auto value = env(MODEL_ENV)) {
    model_name_ = *value;
  } else {
    model_name_ = std::string(DEFAULT_MODEL);
  }
  // 2. Revision: the default model is pinned however it was named.
  if (options.revision) {
    revision_ = *options.revision;
  } else if (model_name_ == DEFAULT_MODEL) {
    revision_ = std::string(DEFAULT_REVISION);
  } else {
    revision_ = std::string(UNPINNED);
  }
  // 3. Batch size. Encoding steps through its input by this size, so a size
  // below 1 is refused here rather than looping forever later.
  if (options.batch_size && *options.batch_size != 0) {
    batch_size_ = *options.batch_size;
  } else if (auto value = env(BATCH_SIZE_ENV)) {
    batch_size_ = parse_batch_size(*value);
  } else {
    batch_size_ = DEFAULT_BATCH_SIZE;
  }
  if (batch_size_ < 1) {
    throw core::ValueError("embedding batch size must be at least 1, got " + std::to_string(batch_size_));
  }
  // 5.-8. Prefixes: argument, else variable, else the table.
  const std::optional<std::string> query_env = env(QUERY_PREFIX_ENV);
  const std::optional<std::string> doc_env = env(DOC_PREFIX_ENV);
  const ModelPrefixes* match = match_prefixes(model_name_);
  const std::string table_query = match ? std::string(match->query_prefix) : std::string();
  const std::string table_doc = match ? std::string(match->doc_prefix) : std::string();
  query_prefix_ = options.query_prefix ? *options.query_prefix : query_env ? *query_env : table_query;
  doc_prefix_ = options.doc_prefix ? *options.doc_prefix : doc_env ? *doc_env : table_doc;
  unlisted_ = match == nullptr && !query_env && !doc_env && !options.query_prefix && !options.doc_prefix;
}

EmbeddingModel::~EmbeddingModel() = default;

std::pair<std::string, std::string> EmbeddingModel::identity() const { return {model_name_, revision_}; }

std::pair<std::string, std::string> EmbeddingModel::prefixes() const { return {query_prefix_, doc_prefix_}; }

std::optional<std::string> EmbeddingModel::prefix_warning() const {
  if (!unlisted_) return std::nullopt;
  return "embedding model " + model_name_ +
         " is not in the known-prefix map; no query/document prefix will be applied. If this model needs "
         "one, set KOLVEX_EMBEDDING_QUERY_PREFIX and KOLVEX_EMBEDDING_DOC_PREFIX.";
}

bool EmbeddingModel::loaded() const {
  core::MutexLock lock(load_mutex_);
  return model_ != nullptr;
}

std::optional<FileStamp> EmbeddingModel::loaded_file_stamp() const {
  core::MutexLock lock(load_mutex_);
  if (!model_) return std::nullopt;
  return model_->file_stamp();
}

RuntimeModel& EmbeddingModel::load() {
  core::MutexLock lock(load_mutex_);
  if (model_) return *model_;
  // Binding the runtime: it is linked in, so only the test seam can make it absent.
  if (testing::state().runtime_unbindable) {
    std::exception_ptr cause;
    try {
      throw EmbeddingRuntimeError("the embedding runtime cannot be loaded");
    } catch (...) {
      cause = std::current_exception();
    }
    throw SemanticExtraMissingError(std::string(INSTALL_HINT), cause);
  }
  std::optional<std::string> revision;
  if (revision_ != UNPINNED) revision = revision_;
  std::shared_ptr<RuntimeModel> model = RuntimeModel::load(model_name_, revision);
  model->set_max_seq_length(MAX_SEQ_LENGTH);
  testing::state().record_load();
  model_ = std::move(model);
  return *model_;
}

std::vector<std::vector<float>> EmbeddingModel::encode(const std::vector<std::string>& texts) {
  RuntimeModel& model = load();
  std::vector<std::vector<float>> vectors;
  vectors.reserve(texts.size());
  const auto step = static_cast<std::size_t>(batch_size_);
  for (std::size_t start = 0; start < texts.size(); start += step) {
    const std::size_t end = std::min(texts.size(), start + step);
    std::vector<std::string> slice(texts.begin() + static_cast<std::ptrdiff_t>(start),
                                   texts.begin() + static_cast<std::ptrdiff_t>(end));
    testing::state().record_encode(slice.size());
    for (auto& row : model.encode(slice)) vectors.push_back(std::move(row));
  }
  return vectors;
}

std::vector<std::vector<float>> EmbeddingModel::embed_texts(const std::vector<std::string>& texts) {
  std::vector<std::string> prefixed;
  prefixed.reserve(texts.size());
  for (const std::string& text : texts) prefixed.push_back(doc_prefix_ + text);
  return encode(prefixed);
}

std::vector<float> EmbeddingModel::embed_query(const std::string& query) {
  return encode({query_prefix_ + query}).front();
}

std::int64_t EmbeddingModel::count_oversized(const std::vector<std::string>& texts) {
  if (texts.empty()) return 0;
  RuntimeModel& model = load();
  const auto limit = static_cast<std::size_t>(model.token_limit());
  std::int64_t count = 0;
  const auto step = static_cast<std::size_t>(batch_size_);
  for (std::size_t start = 0; start < texts.size(); start += step) {
    const std::size_t end = std::min(texts.size(), start + step);
    std::vector<std::string> slice;
    slice.reserve(end - start);
    for (std::size_t i = start; i < end; ++i) slice.push_back(doc_prefix_ + texts[i]);
    testing::state().record_tokenize(slice.size());
    for (const auto& ids : model.tokenize(slice)) {
      if (ids.size() > limit) ++count;
    }
  }
  return count;
}

namespace {

// The process-wide model and the lock its creation is made under.
struct DefaultModel {
  core::Mutex mutex;
  std::unique_ptr<EmbeddingModel> instance GUARDED_BY(mutex);
};

}  // namespace

EmbeddingModel& default_model() {
  static DefaultModel slot;
  core::MutexLock lock(slot.mutex);
  if (!slot.instance) slot.instance = std::make_unique<EmbeddingModel>();
  return *slot.instance;
}

}  // namespace kolvex::embeddings
