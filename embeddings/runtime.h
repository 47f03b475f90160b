// The embedding runtime: GGUF embedding models run on the CPU by the bundled
// llama.cpp. It offers what the embedding model needs of a runtime: a model loaded
// by name with an optional revision, a settable maximum sequence length that
// truncates longer inputs when encoding, batch encoding into unit-length vectors
// in input order, and a tokenizer giving one sequence of token ids per text.
//
// Model store. A model name ending in ".gguf" is the path of the model file. Any
// other name is looked up as data_dir()/models/<name>.gguf, every "/" of the name
// replaced by "--" ("BAAI/bge-m3" -> models/BAAI--bge-m3.gguf). A missing file
// raises ModelNotFoundError naming the path where the file is expected.
//
// Revisions. A model file may record the revision it was converted from under the
// string key REVISION_KEY. When a revision is requested and the file records
// another one, the load fails with ModelNotFoundError; a file that records none
// is accepted for any requested revision.
//
// Encoding decodes up to four texts at a time, one sequence each, on the cores
// this process may run on (one thread for tiny models); how many of them a
// decode uses follows the time decodes take (embeddings/thread_tuner.h), so a
// machine busy with other work is not made slower still by threads waiting for
// each other. A text's vector is the same whichever texts share its decode.
//
// Thread-safety: a RuntimeModel may be used from any thread; encoding and
// tokenizing are serialised by its own lock. The runtime logs nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/thread_annotations.h"
#include "embeddings/thread_tuner.h"
#include "embeddings/weights_revision.h"

struct llama_model;
struct llama_context;

namespace kolvex::embeddings {

// GGUF metadata key holding the revision a model file was converted from.
inline constexpr std::string_view REVISION_KEY = "general.source.revision";

// Failures of the runtime itself (loading, encoding, tokenizing).
using core::RuntimeError;
KOLVEX_DECLARE_ERROR(EmbeddingRuntimeError, RuntimeError);
// The model name or the requested revision cannot be found in the model store.
KOLVEX_DECLARE_ERROR(ModelNotFoundError, EmbeddingRuntimeError);

// Where the model store looks for `model_name`.
std::filesystem::path model_path(std::string_view model_name);

class RuntimeModel {
 public:
  // Loads the model file of `model_name`; `revision` absent means no pin.
  static std::shared_ptr<RuntimeModel> load(std::string_view model_name,
                                            const std::optional<std::string>& revision);
  ~RuntimeModel();
  RuntimeModel(const RuntimeModel&) = delete;
  RuntimeModel& operator=(const RuntimeModel&) = delete;

  // Inputs longer than this many tokens are truncated when encoded.
  void set_max_seq_length(int tokens);
  int max_seq_length() const;
  // The length encoding actually truncates to: the maximum sequence length, or
  // the model's training context when that is shorter.
  int token_limit() const;
  // The version of the model file the weights were loaded from.
  const FileStamp& file_stamp() const noexcept { return file_stamp_; }
  // Vector length of the model.
  int dimensions() const;

  // One unit-length vector per text, in input order.
  std::vector<std::vector<float>> encode(const std::vector<std::string>& texts);
  // One sequence of token ids per text (special tokens included), untruncated.
  std::vector<std::vector<std::int32_t>> tokenize(const std::vector<std::string>& texts);

 private:
  explicit RuntimeModel(llama_model* model);
  void ensure_context() REQUIRES(mutex_);
  // A context whose decodes hold `sequences` texts of up to `limit` tokens each.
  llama_context* new_context(std::uint32_t limit, std::uint32_t sequences, unsigned threads) const;
  int token_limit_locked() const REQUIRES(mutex_);
  std::vector<std::int32_t> tokens_of(const std::string& text) const REQUIRES(mutex_);
  // The token ids `text` is encoded from: truncated to the limit, never empty.
  std::vector<std::int32_t> input_of(const std::string& text) const REQUIRES(mutex_);
  // Encodes `inputs` in one decode, one sequence each, appending a vector each to `rows`.
  void decode_group(const std::vector<std::vector<std::int32_t>>& inputs, std::vector<std::vector<float>>& rows)
      REQUIRES(mutex_);

  mutable core::Mutex mutex_;
  llama_model* model_;
  llama_context* context_ GUARDED_BY(mutex_) = nullptr;   // made by the first encoding
  std::uint32_t context_tokens_ GUARDED_BY(mutex_) = 0;   // longest input a sequence of the context encodes
  std::uint32_t context_sequences_ GUARDED_BY(mutex_) = 1;  // texts one decode of the context holds
  unsigned context_threads_ GUARDED_BY(mutex_) = 1;       // threads the context's next decode uses
  std::optional<ThreadTuner> tuner_ GUARDED_BY(mutex_);   // absent for models encoded on one thread
  int max_seq_length_ GUARDED_BY(mutex_) = 0;
  FileStamp file_stamp_;
};

}  // namespace kolvex::embeddings
