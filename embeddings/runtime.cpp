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
// Texts encoded together in one decode, each in a sequence of its own: with
// flash attention four chunk-sized texts per decode encode about a third faster
// than one (bench/embed_bench.cpp sweeps it).
constexpr std::uint32_t SEQUENCES_PER_DECODE = 4;
// Flash attention on the CPU walks its keys in tiles of this many tokens, and
// takes its tiled path only for at least this many queries. Every text starts
// a tile of its own and fills whole tiles (the rest is padding in a sequence of
// its own, which no text attends to), so each text meets its keys in the same
// tiles whatever else shares its decode: a text's vector does not depend on
// the texts encoded with it.
constexpr std::size_t ATTENTION_TILE = 64;

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

std::size_t round_up(std::size_t n, std::size_t multiple) { return (n + multiple - 1) / multiple * multiple; }

struct BatchGuard {
  llama_batch batch;
  ~BatchGuard() { llama_batch_free(batch); }
};

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

llama_context* RuntimeModel::new_context(std::uint32_t limit, std::uint32_t sequences, unsigned threads) const {
  llama_context_params params = llama_context_default_params();
  const auto n_ctx = static_cast<std::uint32_t>(
      sequences == 1 ? limit : sequences * round_up(limit, ATTENTION_TILE));
  params.n_ctx = n_ctx;
  params.n_batch = n_ctx;
  params.n_ubatch = n_ctx;
  // A packed decode holds one more sequence: the padding between its texts.
  params.n_seq_max = sequences == 1 ? 1 : sequences + 1;
  params.embeddings = true;
  // Without flash attention a packed decode would materialise the scores of
  // every token pair of the decode.
  if (sequences > 1) params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_ENABLED;
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
  return context;
}

void RuntimeModel::ensure_context() {
  // Each sequence holds the longest input that is encoded untruncated, never
  // more than the model was trained for.
  const auto limit = static_cast<std::uint32_t>(token_limit_locked());
  if (context_ != nullptr && context_tokens_ == limit) return;
  if (context_ != nullptr) {
    llama_free(context_);
    context_ = nullptr;
  }
  // How many of the cores a decode uses is then tuned by the time decodes take.
  const unsigned threads = encoding_threads(model_);
  if (threads > 1 && !tuner_) tuner_.emplace(threads);
  // Texts share a decode only where nothing of one can reach another: an
  // encoder-only model without a memory (a cache would split and order the
  // decode by its own rules). Any other model, or one whose packed context
  // cannot be made, encodes one text per decode.
  std::uint32_t sequences = llama_model_has_encoder(model_) ? 1 : SEQUENCES_PER_DECODE;
  llama_context* context = new_context(limit, sequences, threads);
  if (sequences > 1 && (context == nullptr || llama_get_memory(context) != nullptr)) {
    if (context != nullptr) llama_free(context);
    sequences = 1;
    context = new_context(limit, sequences, threads);
  }
  if (context == nullptr) {
    throw EmbeddingRuntimeError("cannot create an encoding context of " + std::to_string(limit) +
                                " tokens");
  }
  context_ = context;
  context_tokens_ = limit;
  context_sequences_ = sequences;
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

std::vector<std::int32_t> RuntimeModel::input_of(const std::string& text) const {
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
  return tokens;
}

void RuntimeModel::decode_group(const std::vector<std::vector<std::int32_t>>& inputs,
                                std::vector<std::vector<float>>& rows) {
  const bool packed = context_sequences_ > 1;
  const std::size_t slot = packed ? ATTENTION_TILE : 1;
  const auto padding_sequence = static_cast<llama_seq_id>(context_sequences_);
  std::size_t total = 0;
  for (const auto& tokens : inputs) total += round_up(tokens.size(), slot);
  BatchGuard guard{llama_batch_init(static_cast<int32_t>(total), 0, 1)};
  llama_batch& batch = guard.batch;
  auto add = [&batch](llama_token token, std::size_t position, llama_seq_id sequence) {
    const int32_t i = batch.n_tokens++;
    batch.token[i] = token;
    batch.pos[i] = static_cast<llama_pos>(position);
    batch.n_seq_id[i] = 1;
    batch.seq_id[i][0] = sequence;
    batch.logits[i] = 1;
  };
  for (std::size_t sequence = 0; sequence < inputs.size(); ++sequence) {
    const auto& tokens = inputs[sequence];
    for (std::size_t position = 0; position < tokens.size(); ++position) {
      add(tokens[position], position, static_cast<llama_seq_id>(sequence));
    }
    // The padding all sits at the first position: a sequence's positions
    // may not decrease along the batch, and any other would have to stay below
    // the model's training context.
    for (std::size_t pad = tokens.size(); pad < round_up(tokens.size(), slot); ++pad) {
      add(tokens.front(), 0, padding_sequence);
    }
  }
  if (llama_memory_t memory = llama_get_memory(context_)) {
    llama_memory_clear(memory, true);
  }
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
    tuner_->record(threads, seconds / static_cast<double>(total));
  }
  if (rc != 0) {
    throw EmbeddingRuntimeError("encoding failed (llama.cpp status " + std::to_string(rc) + ")");
  }
  for (std::size_t sequence = 0; sequence < inputs.size(); ++sequence) {
    const float* pooled = llama_get_embeddings_seq(context_, static_cast<llama_seq_id>(sequence));
    if (pooled == nullptr) {
      throw EmbeddingRuntimeError("the model produced no sequence embedding");
    }
    std::vector<float> vector(pooled, pooled + dimensions());
    normalise(vector);
    rows.push_back(std::move(vector));
  }
}

std::vector<std::vector<float>> RuntimeModel::encode(const std::vector<std::string>& texts) {
  core::MutexLock lock(mutex_);
  ensure_context();
  std::vector<std::vector<float>> rows;
  rows.reserve(texts.size());
  std::vector<std::vector<std::int32_t>> group;
  for (const std::string& text : texts) {
    group.push_back(input_of(text));
    if (group.size() == context_sequences_) {
      decode_group(group, rows);
      group.clear();
    }
  }
  if (!group.empty()) decode_group(group, rows);
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
