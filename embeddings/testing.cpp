#include "embeddings/testing.h"

#include "embeddings/testing_state.h"

namespace kolvex::embeddings::testing {

State& state() {
  static State instance;
  return instance;
}

void State::record_load() {
  if (observers.load() == 0) return;
  core::MutexLock lock(mutex);
  ++loads;
}

void State::record_encode(std::size_t texts) {
  if (observers.load() == 0) return;
  core::MutexLock lock(mutex);
  encode_calls.push_back(texts);
}

void State::record_tokenize(std::size_t texts) {
  if (observers.load() == 0) return;
  core::MutexLock lock(mutex);
  tokenize_calls.push_back(texts);
}

void set_runtime_unbindable(bool unbindable) { state().runtime_unbindable = unbindable; }

std::size_t loads() {
  State& s = state();
  core::MutexLock lock(s.mutex);
  return s.loads;
}

std::vector<std::size_t> encode_calls() {
  State& s = state();
  core::MutexLock lock(s.mutex);
  return s.encode_calls;
}

std::vector<std::size_t> tokenize_calls() {
  State& s = state();
  core::MutexLock lock(s.mutex);
  return s.tokenize_calls;
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
  core::MutexLock lock(s.mutex);
  s.loads = 0;
  s.encode_calls.clear();
  s.tokenize_calls.clear();
}

}  // namespace kolvex::embeddings::testing
