#include "embeddings/tiny_model.h"

#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "embeddings/runtime.h"
#include "ggml.h"
#include "gguf.h"

namespace kolvex::embeddings::fixtures {
namespace {

constexpr std::uint32_t FEED_FORWARD_FACTOR = 2;
constexpr std::uint32_t TOKEN_TYPES = 2;
constexpr std::uint32_t POOLING_CLS = 2;

struct GgufFree {
  void operator()(gguf_context* ctx) const { gguf_free(ctx); }
};
struct GgmlFree {
  void operator()(ggml_context* ctx) const { ggml_free(ctx); }
};

class Writer {
 public:
  Writer(gguf_context* gguf, ggml_context* ggml, std::uint32_t seed, bool f16_matrices)
      : gguf_(gguf), ggml_(ggml), random_(seed), f16_matrices_(f16_matrices) {}

  // A weight matrix or vector with values around `centre`. Matrices inside the
  // layers may be stored as F16; vectors and the embedding tables stay F32.
  void add(const std::string& name, std::int64_t ne0, std::int64_t ne1, float centre, float spread,
           bool layer_matrix = false) {
    const bool f16 = layer_matrix && f16_matrices_;
    const ggml_type type = f16 ? GGML_TYPE_F16 : GGML_TYPE_F32;
    ggml_tensor* tensor = ne1 > 0 ? ggml_new_tensor_2d(ggml_, type, ne0, ne1) : ggml_new_tensor_1d(ggml_, type, ne0);
    ggml_set_name(tensor, name.c_str());
    std::normal_distribution<float> normal(centre, spread);
    const std::int64_t n = ggml_nelements(tensor);
    if (f16) {
      std::vector<float> values(static_cast<std::size_t>(n));
      for (float& x : values) x = normal(random_);
      ggml_fp32_to_fp16_row(values.data(), static_cast<ggml_fp16_t*>(tensor->data), n);
    } else {
      auto* data = static_cast<float*>(tensor->data);
      for (std::int64_t i = 0; i < n; ++i) data[i] = normal(random_);
    }
    gguf_add_tensor(gguf_, tensor);
  }

 private:
  gguf_context* gguf_;
  ggml_context* ggml_;
  std::mt19937 random_;
  bool f16_matrices_;
};

}  // namespace

std::filesystem::path vocab_path() {
  return std::filesystem::path(KOLVEX_LLAMA_SOURCE_DIR) / "models" / "ggml-vocab-bert-bge.gguf";
}

void write_tiny_model(const std::filesystem::path& path, const TinyModelOptions& options) {
  const std::filesystem::path vocab = vocab_path();
  std::unique_ptr<gguf_context, GgufFree> source(
      gguf_init_from_file(vocab.c_str(), gguf_init_params{true, nullptr}));
  if (!source) throw std::runtime_error("cannot read the vocab file " + vocab.string());
  const std::int64_t tokens_key = gguf_find_key(source.get(), "tokenizer.ggml.tokens");
  if (tokens_key < 0) throw std::runtime_error("no vocabulary in " + vocab.string());
  const auto n_vocab = static_cast<std::int64_t>(gguf_get_arr_n(source.get(), tokens_key));

  const std::uint32_t n_embd = options.embedding_length;
  const std::uint32_t n_ff =
      options.feed_forward_length > 0 ? options.feed_forward_length : n_embd * FEED_FORWARD_FACTOR;
  const std::uint32_t layers = options.layers;
  if (layers == 0 || options.heads == 0 || n_embd % options.heads != 0) {
    throw std::runtime_error("a tiny model needs at least one layer and heads that divide its width");
  }
  const std::uint32_t n_ctx = options.context_length;

  std::unique_ptr<gguf_context, GgufFree> out(gguf_init_empty());
  gguf_set_kv(out.get(), source.get());
  gguf_set_val_str(out.get(), "general.architecture", "bert");
  gguf_set_val_str(out.get(), "general.name", "kolvex tiny test embedder");
  gguf_set_val_u32(out.get(), "bert.context_length", n_ctx);
  gguf_set_val_u32(out.get(), "bert.embedding_length", n_embd);
  gguf_set_val_u32(out.get(), "bert.feed_forward_length", n_ff);
  gguf_set_val_u32(out.get(), "bert.block_count", layers);
  gguf_set_val_u32(out.get(), "bert.attention.head_count", options.heads);
  gguf_set_val_f32(out.get(), "bert.attention.layer_norm_epsilon", 1e-12f);
  gguf_set_val_bool(out.get(), "bert.attention.causal", false);
  gguf_set_val_u32(out.get(), "bert.pooling_type", POOLING_CLS);
  gguf_set_val_u32(out.get(), "tokenizer.ggml.token_type_count", TOKEN_TYPES);
  if (options.revision) {
    gguf_set_val_str(out.get(), std::string(REVISION_KEY).c_str(), options.revision->c_str());
  }

  const std::size_t floats = static_cast<std::size_t>(n_embd) * (n_vocab + TOKEN_TYPES + n_ctx + 2) +
                             layers * (4ull * n_embd * n_embd + 2ull * n_embd * n_ff + 10ull * n_embd + n_ff);
  const std::size_t tensors = 5 + layers * 16;
  ggml_init_params params{floats * sizeof(float) + tensors * ggml_tensor_overhead() + 4096, nullptr, false};
  std::unique_ptr<ggml_context, GgmlFree> ggml(ggml_init(params));
  if (!ggml) throw std::runtime_error("cannot allocate the tiny model's tensors");

  Writer writer(out.get(), ggml.get(), options.seed, options.f16_matrices);
  writer.add("token_embd.weight", n_embd, n_vocab, 0.0f, 0.5f);
  writer.add("token_types.weight", n_embd, TOKEN_TYPES, 0.0f, 0.1f);
  writer.add("position_embd.weight", n_embd, n_ctx, 0.0f, 0.1f);
  writer.add("token_embd_norm.weight", n_embd, 0, 1.0f, 0.05f);
  writer.add("token_embd_norm.bias", n_embd, 0, 0.0f, 0.05f);
  const float scale = 1.0f / static_cast<float>(n_embd);
  for (std::uint32_t layer = 0; layer < layers; ++layer) {
    const std::string blk = "blk." + std::to_string(layer) + ".";
    for (const char* name : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
      writer.add(blk + name + ".weight", n_embd, n_embd, 0.0f, 4.0f * scale, true);
      writer.add(blk + name + ".bias", n_embd, 0, 0.0f, 0.02f);
    }
    writer.add(blk + "attn_output_norm.weight", n_embd, 0, 1.0f, 0.05f);
    writer.add(blk + "attn_output_norm.bias", n_embd, 0, 0.0f, 0.05f);
    writer.add(blk + "ffn_up.weight", n_embd, n_ff, 0.0f, 4.0f * scale, true);
    writer.add(blk + "ffn_up.bias", n_ff, 0, 0.0f, 0.02f);
    writer.add(blk + "ffn_down.weight", n_ff, n_embd, 0.0f, 4.0f * scale, true);
    writer.add(blk + "ffn_down.bias", n_embd, 0, 0.0f, 0.02f);
    writer.add(blk + "layer_output_norm.weight", n_embd, 0, 1.0f, 0.05f);
    writer.add(blk + "layer_output_norm.bias", n_embd, 0, 0.0f, 0.05f);
  }

  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  if (!gguf_write_to_file(out.get(), path.c_str(), false)) {
    throw std::runtime_error("cannot write the tiny model " + path.string());
  }
}

}  // namespace kolvex::embeddings::fixtures
