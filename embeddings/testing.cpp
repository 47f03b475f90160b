#include "embeddings/testing.h"

#include "embeddings/testing_state.h"

namespace kolvex::embeddings::testing {

State& state() {
  static State instance;
  return instance;
}

void State::record_load() {
  if (observers.load() == 0) return;
  std::lock_guard lock(mutex);
  ++loads;
}

void State::record_encode(std::size_t texts) {
  if (observers.load() == 0) return;
  std::lock_guard lock(mutex);
  encode_calls.push_back(texts);
}

void State::record_tokenize(std::size_t texts) {
  if (observers.load() == 0) return;
  std::lock_guard lock(mutex);
  tokenize_calls.push_back(texts);
}

void set_runtime_unbindable(bool unbindable) { state().runtime_unbindable = unbindable; }

std::size_t loads() {
  std::lock_guard lock(state().mutex);
  return state().loads;
}

std::vector<std::size_t> encode_calls() {
  std::lock_guard lock(state().mutex);
  return state().encode_calls;
}

std::vector<std::size_t> tokenize_calls() {
  std::lock_guard lock(state().mutex);
  return state().tokenize_calls;
}

Overrides::Overrides() {
  reset();
  ++state().observers;
}

Overrides::~Overrides() {
  --state().observers;
  reset();
}

void reset() {
  State& s = state();
  s.runtime_unbindable = false;
  std::lock_guard lock(s.mutex);
  s.loads = 0;
  s.encode_calls.clear();
  s.tokenize_calls.clear();
}

}  // namespace kolvex::embeddings::testing
