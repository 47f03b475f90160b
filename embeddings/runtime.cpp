#include "embeddings/runtime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <system_error>

#include "core/cores.h"
#include "llama.h"
#include "platform/config.h"

namespace kolvex::embeddings {
namespace {

// Models with fewer parameters are encoded on one thread.
constexpr std::uint64_t SMALL_MODEL_PARAMS = 20'000'000;
// Sequence length of a model file that records no training context.
constexpr int DEFAULT_CONTEXT = 512;

void silent_log(ggml_log_level, const char*, void*) {}

void init_backend() {
  static std::once_flag once;
  std::call_once(once, [] {
    llama_log_set(silent_log, nullptr);
    llama_backend_init();
  });
}

std::string model_file_name(std::string_view model_name) {
  std::string name;
  for (char c : model_name) {
    if (c == '/') {
      name += "--";
    } else {
      name += c;
    }
  }
  return name + ".gguf";
}

std::optional<std::string> meta_string(const llama_model* model, std::string_view key) {
  std::string k(key);
  int32_t n = llama_model_meta_val_str(model, k.c_str(), nullptr, 0);
  if (n < 0) return std::nullopt;
  std::string value(static_cast<std::size_t>(n) + 1, '\0');
  llama_model_meta_val_str(model, k.c_str(), value.data(), value.size());
  value.resize(static_cast<std::size_t>(n));
  return value;
}

// Every core for models large enough to gain from them; on a small model the
// threads spend their time waiting for each other.
unsigned encoding_threads(const llama_model* model) {
  if (llama_model_n_params(model) < SMALL_MODEL_PARAMS) return 1;
  return core::available_cores();
}

void normalise(std::vector<float>& vector) {
  double sum = 0.0;
  for (float x : vector) sum += static_cast<double>(x) * x;
  double norm = std::sqrt(sum);
  // As the reference encoders do: a zero vector stays zero instead of dividing by 0.
  norm = std::max(norm, 1e-12);
  for (float& x : vector) x = static_cast<float>(x / norm);
}

}  // namespace

std::filesystem::path model_path(std::string_view model_name) {
  if (model_name.size() > 5 && model_name.substr(model_name.size() - 5) == ".gguf") {
    return std::filesystem::path(std::string(model_name));
  }
  return platform::data_dir() / "models" / model_file_name(model_name);
}

std::shared_ptr<RuntimeModel> RuntimeModel::load(std::string_view model_name,
                                                 const std::optional<std::string>& revision) {
  const std::filesystem::path path = model_path(model_name);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    throw ModelNotFoundError("embedding model " + std::string(model_name) +
                             " not found: no model file at " + path.string());
  }
  init_backend();

  llama_model_params model_params = llama_model_default_params();
  model_params.n_gpu_layers = 0;
  const FileStamp stamp = stamp_file(path);
  llama_model* model = llama_model_load_from_file(path.c_str(), model_params);
  if (model == nullptr) {
    throw EmbeddingRuntimeError("cannot load the embedding model file " + path.string());
  }
  std::unique_ptr<llama_model, void (*)(llama_model*)> model_guard(model, llama_model_free);
  // The stamp names the loaded weights only when the file stayed the same
  // while it was read.
  if (stamp_file(path) != stamp) {
    throw EmbeddingRuntimeError("the embedding model file " + path.string() + " changed while it was loaded");
  }

  if (revision) {
    std::optional<std::string> recorded = meta_string(model, REVISION_KEY);
    if (recorded && *recorded != *revision) {
      throw ModelNotFoundError("embedding model " + std::string(model_name) + " has no revision " +
                               *revision + ": " + path.string() + " holds revision " + *recorded);
    }
  }
  if (llama_model_has_decoder(model) && llama_model_has_encoder(model)) {
    throw EmbeddingRuntimeError("not an embedding model: " + path.string());
  }

  std::shared_ptr<RuntimeModel> loaded(new RuntimeModel(model_guard.release()));
  loaded->file_stamp_ = stamp;
  const int n_ctx_train = llama_model_n_ctx_train(model);
  {
    // Nothing else sees the model yet; the lock is what lets the length be set.
    core::MutexLock lock(loaded->mutex_);
    loaded->max_seq_length_ = n_ctx_train > 0 ? n_ctx_train : DEFAULT_CONTEXT;
  }
  return loaded;
}

int RuntimeModel::token_limit_locked() const {
  const int n_ctx_train = llama_model_n_ctx_train(model_);
  return std::max(1, n_ctx_train > 0 ? std::min(max_seq_length_, n_ctx_train) : max_seq_length_);
}

void RuntimeModel::ensure_context() {
  // One sequence per decode: the attention of a decode grows with the square
  // of its tokens, so packing several chunk-sized texts into one costs more than
  // it saves, and even short texts gained nothing measurable from sharing one
  // (bench/embed_bench.cpp sweeps this). The context holds the longest input
  // that is encoded untruncated, never more than the model was trained for.
  const auto n_ctx = static_cast<uint32_t>(token_limit_locked());
  if (context_ != nullptr && context_tokens_ == n_ctx) return;
  if (context_ != nullptr) {
    llama_free(context_);
    context_ = nullptr;
  }
  llama_context_params params = llama_context_default_params();
  params.n_ctx = n_ctx;
  params.n_batch = n_ctx;
  params.n_ubatch = n_ctx;
  params.n_seq_max = 1;
  params.embeddings = true;
  // How many of the cores a decode uses is then tuned by the time decodes take.
  const unsigned threads = encoding_threads(model_);
  if (threads > 1 && !tuner_) tuner_.emplace(threads);
  params.n_threads = static_cast<int32_t>(threads);
  params.n_threads_batch = static_cast<int32_t>(threads);
  llama_context* context = llama_init_from_model(model_, params);
  if (context != nullptr && (llama_pooling_type(context) == LLAMA_POOLING_TYPE_NONE ||
                             llama_pooling_type(context) == LLAMA_POOLING_TYPE_RANK)) {
    // A model that names no pooling gets the mean of its token vectors.
    llama_free(context);
    params.pooling_type = LLAMA_POOLING_TYPE_MEAN;
    context = llama_init_from_model(model_, params);
  }
  if (context == nullptr) {
    throw EmbeddingRuntimeError("cannot create an encoding context of " + std::to_string(n_ctx) +
                                " tokens");
  }
  context_ = context;
  context_tokens_ = n_ctx;
  context_threads_ = threads;
}

RuntimeModel::RuntimeModel(llama_model* model) : model_(model) {}

RuntimeModel::~RuntimeModel() {
  if (context_ != nullptr) llama_free(context_);
  llama_model_free(model_);
}

void RuntimeModel::set_max_seq_length(int tokens) {
  core::MutexLock lock(mutex_);
  max_seq_length_ = std::max(tokens, 1);
}

int RuntimeModel::max_seq_length() const {
  core::MutexLock lock(mutex_);
  return max_seq_length_;
}

int RuntimeModel::token_limit() const {
  core::MutexLock lock(mutex_);
  return token_limit_locked();
}

int RuntimeModel::dimensions() const { return llama_model_n_embd_out(model_); }

std::vector<std::int32_t> RuntimeModel::tokens_of(const std::string& text) const {
  const llama_vocab* vocab = llama_model_get_vocab(model_);
  if (text.size() > static_cast<std::size_t>(INT32_MAX / 2)) {
    throw EmbeddingRuntimeError("text too long to tokenize");
  }
  const auto length = static_cast<int32_t>(text.size());
  std::vector<llama_token> tokens(text.size() + 8);
  int32_t n = llama_tokenize(vocab, text.data(), length, tokens.data(),
                             static_cast<int32_t>(tokens.size()), true, false);
  if (n < 0) {
    if (n == INT32_MIN) throw EmbeddingRuntimeError("text too long to tokenize");
    tokens.resize(static_cast<std::size_t>(-n));
    n = llama_tokenize(vocab, text.data(), length, tokens.data(),
                       static_cast<int32_t>(tokens.size()), true, false);
    if (n < 0) throw EmbeddingRuntimeError("tokenizing failed");
  }
  tokens.resize(static_cast<std::size_t>(n));
  return tokens;
}

std::vector<float> RuntimeModel::encode_one(const std::string& text) {
  ensure_context();
  std::vector<llama_token> tokens = tokens_of(text);
  const std::size_t limit = context_tokens_;
  if (tokens.size() > limit) {
    // Truncation keeps the closing separator the tokenizer added, as a
    // truncating tokenizer does.
    const llama_vocab* vocab = llama_model_get_vocab(model_);
    const llama_token last = tokens.back();
    const bool closes = (llama_vocab_get_add_sep(vocab) && last == llama_vocab_sep(vocab)) ||
                        (llama_vocab_get_add_eos(vocab) && last == llama_vocab_eos(vocab));
    tokens.resize(limit);
    if (closes) tokens.back() = last;
  }
  if (tokens.empty()) {
    throw EmbeddingRuntimeError("nothing to encode: the text gives no tokens");
  }
  if (llama_memory_t memory = llama_get_memory(context_)) {
    llama_memory_clear(memory, true);
  }
  llama_batch batch = llama_batch_get_one(tokens.data(), static_cast<int32_t>(tokens.size()));
  const unsigned threads = tuner_ ? tuner_->next() : 1;
  if (tuner_ && threads != context_threads_) {
    llama_set_n_threads(context_, static_cast<int32_t>(threads), static_cast<int32_t>(threads));
    context_threads_ = threads;
  }
  const auto start = std::chrono::steady_clock::now();
  int32_t rc = llama_model_has_encoder(model_) ? llama_encode(context_, batch)
                                               : llama_decode(context_, batch);
  if (tuner_ && rc == 0) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    tuner_->record(threads, seconds / static_cast<double>(tokens.size()));
  }
  if (rc != 0) {
    throw EmbeddingRuntimeError("encoding failed (llama.cpp status " + std::to_string(rc) + ")");
  }
  const float* pooled = llama_get_embeddings_seq(context_, 0);
  if (pooled == nullptr) {
    throw EmbeddingRuntimeError("the model produced no sequence embedding");
  }
  std::vector<float> vector(pooled, pooled + dimensions());
  normalise(vector);
  return vector;
}

std::vector<std::vector<float>> RuntimeModel::encode(const std::vector<std::string>& texts) {
  core::MutexLock lock(mutex_);
  std::vector<std::vector<float>> rows;
  rows.reserve(texts.size());
  for (const std::string& text : texts) rows.push_back(encode_one(text));
  return rows;
}

std::vector<std::vector<std::int32_t>> RuntimeModel::tokenize(const std::vector<std::string>& texts) {
  core::MutexLock lock(mutex_);
  std::vector<std::vector<std::int32_t>> ids;
  ids.reserve(texts.size());
  for (const std::string& text : texts) ids.push_back(tokens_of(text));
  return ids;
}

}  // namespace kolvex::embeddings
