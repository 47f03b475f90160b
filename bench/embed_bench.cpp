// Embedding throughput: kolvex's embedding model against a plain llama.cpp decode
// loop built from the same bundled sources, on the same code chunks.
//
// A BERT model of the default model's width (1024 wide, 4096 feed-forward, 16
// heads, F16 matrices, the bundled BERT vocabulary) but fewer layers is written
// with random weights into a temporary directory. The chunks are cut by kolvex's
// chunker from the source files under the given directories (kolvex's own sources
// by default). In the same run the benchmark
//   1. sweeps the plain loop over thread counts, sequences per decode and flash
//      attention on a sample of the chunks and keeps the fastest configuration,
//   2. encodes all chunks through EmbeddingModel::embed_texts and through the
//      plain loop in its best configuration, alternating, best of several rounds,
// and prints chunks per second for both, their ratio, how far the two sets of
// vectors are apart, and the projected time of a first semantic index of
// PROJECTED_CHUNKS chunks with the default model's depth on this machine.
//
// --threads and --sequences limit the sweep to one value each; --cut N keeps only
// the first N bytes of every chunk (short texts, as small declarations give).
//
//   bench_embed [--chunks N] [--rounds N] [--layers N] [--sample N] [--threads N] [--sequences N] [--cut N]
//               [DIR...]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "chunker/admission.h"
#include "chunker/chunk_file.h"
#include "core/cores.h"
#include "core/fs.h"
#include "core/text.h"
#include "embeddings/model.h"
#include "embeddings/tiny_model.h"
#include "llama.h"

using kolvex::bench::best_seconds;
using kolvex::bench::seconds;

namespace {

constexpr int DEFAULT_ROUNDS = 3;
constexpr std::size_t DEFAULT_CHUNKS = 240;
constexpr std::size_t DEFAULT_SAMPLE = 24;
constexpr std::uint32_t DEFAULT_LAYERS = 4;
// The default model's shape.
constexpr std::uint32_t FULL_LAYERS = 24;
constexpr std::uint32_t WIDTH = 1024;
constexpr std::uint32_t FEED_FORWARD = 4096;
constexpr std::uint32_t HEADS = 16;
constexpr std::uint32_t CONTEXT = 8192;
constexpr double PROJECTED_CHUNKS = 5000;
// kolvex's throughput should be at least this share of the plain loop's best.
constexpr double GOAL_RATIO = 0.9;
// Sequences per decode tried by the plain loop.
constexpr int SEQUENCE_COUNTS[] = {1, 2, 4, 8};

void silent_log(ggml_log_level, const char*, void*) {}

std::vector<std::string> read_chunks(const std::vector<std::filesystem::path>& roots, std::size_t wanted) {
  std::vector<std::filesystem::path> paths;
  for (const auto& root : roots) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_directory(error) && it->path().filename().string().starts_with(".")) {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file(error) && !it->is_symlink(error)) paths.push_back(it->path());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> all;
  for (const auto& path : paths) {
    const auto language = kolvex::chunker::language_for(path.filename().string());
    if (!language) continue;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty() || bytes.size() > 512 * 1024) continue;
    const std::string rel = path.filename().string();
    try {
      for (auto& chunk : kolvex::chunker::chunk_file(rel, kolvex::core::decode_utf8_replace(bytes), "hash", *language)) {
        all.push_back(std::move(chunk.content));
      }
    } catch (const std::exception&) {
      // A language without its grammar in this build: its files are left out.
    }
  }
  // Spread the pick over the whole tree, in a fixed order.
  if (all.size() <= wanted) return all;
  std::vector<std::string> picked;
  for (std::size_t i = 0; i < wanted; ++i) picked.push_back(all[i * all.size() / wanted]);
  return picked;
}

void normalise(std::vector<float>& v) {
  double sum = 0;
  for (float x : v) sum += double(x) * x;
  const double norm = std::max(std::sqrt(sum), 1e-12);
  for (float& x : v) x = static_cast<float>(x / norm);
}

// The plain loop: one llama.cpp context, texts tokenised with the model's
// tokenizer and cut at the sequence limit, `sequences` texts per decode.
class PlainLoop {
 public:
  struct Config {
    int threads;
    int sequences;
    bool flash;
  };

  PlainLoop(llama_model* model, int limit) : model_(model), limit_(limit) {}
  ~PlainLoop() { close(); }

  void configure(const Config& config) {
    close();
    llama_context_params params = llama_context_default_params();
    const auto tokens = static_cast<std::uint32_t>(limit_ * config.sequences);
    params.n_ctx = tokens;
    params.n_batch = tokens;
    params.n_ubatch = tokens;
    params.n_seq_max = static_cast<std::uint32_t>(config.sequences);
    params.embeddings = true;
    params.n_threads = config.threads;
    params.n_threads_batch = config.threads;
    params.flash_attn_type = config.flash ? LLAMA_FLASH_ATTN_TYPE_ENABLED : LLAMA_FLASH_ATTN_TYPE_DISABLED;
    context_ = llama_init_from_model(model_, params);
    if (context_ == nullptr) throw std::runtime_error("cannot create a llama.cpp context");
    batch_ = llama_batch_init(static_cast<std::int32_t>(tokens), 0, config.sequences);
    sequences_ = config.sequences;
  }

  void close() {
    if (context_ != nullptr) {
      llama_batch_free(batch_);
      llama_free(context_);
      context_ = nullptr;
    }
  }

  std::vector<std::vector<float>> encode(const std::vector<std::string>& texts) {
    const llama_vocab* vocab = llama_model_get_vocab(model_);
    const int width = llama_model_n_embd_out(model_);
    std::vector<std::vector<float>> out;
    out.reserve(texts.size());
    for (std::size_t start = 0; start < texts.size(); start += static_cast<std::size_t>(sequences_)) {
      const std::size_t end = std::min(texts.size(), start + static_cast<std::size_t>(sequences_));
      batch_.n_tokens = 0;
      for (std::size_t k = start; k < end; ++k) {
        const std::string& text = texts[k];
        std::vector<llama_token> ids(text.size() + 8);
        int n = llama_tokenize(vocab, text.data(), static_cast<std::int32_t>(text.size()), ids.data(),
                               static_cast<std::int32_t>(ids.size()), true, false);
        if (n < 0) throw std::runtime_error("tokenizing failed");
        ids.resize(static_cast<std::size_t>(n));
        if (n > limit_) {
          const llama_token last = ids.back();
          ids.resize(static_cast<std::size_t>(limit_));
          ids.back() = last;
        }
        for (std::size_t p = 0; p < ids.size(); ++p) {
          const int i = batch_.n_tokens++;
          batch_.token[i] = ids[p];
          batch_.pos[i] = static_cast<llama_pos>(p);
          batch_.n_seq_id[i] = 1;
          batch_.seq_id[i][0] = static_cast<llama_seq_id>(k - start);
          batch_.logits[i] = 1;
        }
      }
      if (llama_decode(context_, batch_) != 0) throw std::runtime_error("llama_decode failed");
      for (std::size_t k = start; k < end; ++k) {
        const float* pooled = llama_get_embeddings_seq(context_, static_cast<llama_seq_id>(k - start));
        if (pooled == nullptr) throw std::runtime_error("no pooled embedding");
        out.emplace_back(pooled, pooled + width);
        normalise(out.back());
      }
    }
    return out;
  }

 private:
  llama_model* model_;
  int limit_;
  llama_context* context_ = nullptr;
  llama_batch batch_{};
  int sequences_ = 1;
};

double max_difference(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b) {
  double worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t j = 0; j < a[i].size(); ++j) worst = std::max(worst, std::fabs(double(a[i][j]) - b[i][j]));
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kolvex;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows while the sweep runs
  int rounds = DEFAULT_ROUNDS;
  std::size_t wanted = DEFAULT_CHUNKS;
  std::size_t sample = DEFAULT_SAMPLE;
  std::uint32_t layers = DEFAULT_LAYERS;
  int only_threads = 0;
  int only_sequences = 0;
  std::size_t cut = 0;
  std::vector<std::filesystem::path> roots;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--chunks" && i + 1 < argc) {
      wanted = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
    } else if (arg == "--sample" && i + 1 < argc) {
      sample = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
    } else if (arg == "--threads" && i + 1 < argc) {
      only_threads = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--sequences" && i + 1 < argc) {
      only_sequences = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--cut" && i + 1 < argc) {
      cut = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
    } else if (arg == "--layers" && i + 1 < argc) {
      layers = static_cast<std::uint32_t>(std::max(1, std::atoi(argv[++i])));
    } else {
      roots.emplace_back(arg);
    }
  }
  if (roots.empty()) roots.emplace_back(KOLVEX_SOURCE_DIR);

  std::vector<std::string> texts = read_chunks(roots, wanted);
  if (cut > 0) {
    for (std::string& text : texts) text = core::decode_utf8_replace(text.substr(0, std::min(cut, text.size())));
  }
  if (texts.empty()) {
    std::fprintf(stderr, "no chunks under the given directories\n");
    return 2;
  }
  const std::vector<std::string> probe(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(std::min(sample, texts.size())));

  core::ScratchDir scratch = core::ScratchDir::create("kolvex-bench-embed-");
  const std::filesystem::path file = scratch.path() / "bench-bert.gguf";
  embeddings::fixtures::write_tiny_model(file, {.seed = 11,
                                                .embedding_length = WIDTH,
                                                .context_length = CONTEXT,
                                                .layers = layers,
                                                .heads = HEADS,
                                                .feed_forward_length = FEED_FORWARD,
                                                .f16_matrices = true});

  // kolvex's model, loaded before timing.
  embeddings::EmbeddingModel kolvex_model({.model_name = file.string()});
  kolvex_model.embed_texts({});
  std::size_t tokens = 0;
  std::size_t longest = 0;

  llama_log_set(silent_log, nullptr);
  llama_backend_init();
  llama_model_params model_params = llama_model_default_params();
  model_params.n_gpu_layers = 0;
  llama_model* model = llama_model_load_from_file(file.c_str(), model_params);
  if (model == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", file.c_str());
    return 1;
  }
  {
    const llama_vocab* vocab = llama_model_get_vocab(model);
    for (const std::string& text : texts) {
      std::vector<llama_token> ids(text.size() + 8);
      const int n = llama_tokenize(vocab, text.data(), static_cast<std::int32_t>(text.size()), ids.data(),
                                   static_cast<std::int32_t>(ids.size()), true, false);
      const auto used = static_cast<std::size_t>(std::min(std::max(n, 0), embeddings::MAX_SEQ_LENGTH));
      tokens += used;
      longest = std::max(longest, used);
    }
  }
  std::printf("%zu chunks, %.0f tokens on average (longest %zu), model %u layers x %u wide, %u feed-forward\n",
              texts.size(), double(tokens) / double(texts.size()), longest, layers, WIDTH, FEED_FORWARD);

  // 1. The plain loop's best configuration on the sample.
  PlainLoop plain(model, embeddings::MAX_SEQ_LENGTH);
  std::set<int> thread_counts{1, 2, 4};
  thread_counts.insert(static_cast<int>(kolvex::core::available_cores()));
  if (only_threads > 0) thread_counts = {only_threads};
  std::vector<int> sequence_counts(std::begin(SEQUENCE_COUNTS), std::end(SEQUENCE_COUNTS));
  if (only_sequences > 0) sequence_counts = {only_sequences};
  PlainLoop::Config best{};
  double best_time = 0;
  std::printf("plain llama.cpp sweep on %zu chunks (best of %d):\n", probe.size(), rounds);
  for (bool flash : {false, true}) {
    for (int threads : thread_counts) {
      for (int sequences : sequence_counts) {
        const PlainLoop::Config config{threads, sequences, flash};
        plain.configure(config);
        plain.encode({probe.front()});  // warm up
        const double t = best_seconds(rounds, [&] { plain.encode(probe); });
        std::printf("  threads %2d  sequences/decode %d  flash %-3s  %7.2f chunks/s\n", threads, sequences,
                    flash ? "on" : "off", double(probe.size()) / t);
        if (best_time == 0 || t < best_time) {
          best_time = t;
          best = config;
        }
      }
    }
  }
  std::printf("best: threads %d, sequences/decode %d, flash %s\n", best.threads, best.sequences,
              best.flash ? "on" : "off");

  // 2. Both paths on every chunk, alternating rounds.
  plain.configure(best);
  std::vector<std::vector<float>> plain_vectors;
  std::vector<std::vector<float>> kolvex_vectors;
  double plain_best = 0;
  double kolvex_best = 0;
  for (int round = 0; round < rounds; ++round) {
    const double k = seconds([&] { kolvex_vectors = kolvex_model.embed_texts(texts); });
    const double p = seconds([&] { plain_vectors = plain.encode(texts); });
    kolvex_best = round == 0 ? k : std::min(kolvex_best, k);
    plain_best = round == 0 ? p : std::min(plain_best, p);
  }
  const double n = static_cast<double>(texts.size());
  std::printf("kolvex embed_texts   %7.2f chunks/s  %7.3f s\n", n / kolvex_best, kolvex_best);
  std::printf("plain llama.cpp best %7.2f chunks/s  %7.3f s\n", n / plain_best, plain_best);
  const double ratio = plain_best / kolvex_best;
  std::printf("ratio kolvex / llama.cpp: %.2f (goal %.2f: %s)\n", ratio, GOAL_RATIO,
              ratio >= GOAL_RATIO ? "reached" : "not reached");
  std::printf("largest vector difference: %.2e\n", max_difference(kolvex_vectors, plain_vectors));
  const double projected = PROJECTED_CHUNKS * (kolvex_best / n) * FULL_LAYERS / layers;
  std::printf("projected first semantic index of %.0f chunks, %u layers: %.0f s (%.1f min)\n", PROJECTED_CHUNKS,
              FULL_LAYERS, projected, projected / 60);

  plain.close();
  llama_model_free(model);
  return 0;
}
