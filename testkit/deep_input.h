// Deep input for tests of bounded walks (header-only): sources nested far past
// any bound, and a runner that calls a function on a thread with a small stack,
// where a walk that recursed once per level would overflow and crash the test.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

namespace kolvex::testkit {

// `depth` nested JavaScript functions named `name`, closed: 14 bytes a level
// with the default name.
inline std::string js_chain(std::size_t depth, const std::string& name = "f") {
  std::string source;
  for (std::size_t i = 0; i < depth; ++i) source += "function " + name + "(){";
  source.append(depth, '}');
  return source;
}

// Calls `body` on a new thread whose stack holds `stack_bytes` and waits for it.
// What `body` throws is thrown again here; a thread that cannot be started
// throws std::runtime_error naming the call that failed.
inline void run_on_small_stack(std::size_t stack_bytes, const std::function<void()>& body) {
  struct Job {
    const std::function<void()>* body;
    std::exception_ptr failure;
  } job{&body, nullptr};
  auto run = [](void* argument) -> void* {
    auto* running = static_cast<Job*>(argument);
    try {
      (*running->body)();
    } catch (...) {
      running->failure = std::current_exception();
    }
    return nullptr;
  };

  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) throw std::runtime_error("pthread_attr_init failed");
  const char* failed = nullptr;
  pthread_t thread;
  if (pthread_attr_setstacksize(&attributes, stack_bytes) != 0) {
    failed = "pthread_attr_setstacksize";
  } else if (pthread_create(&thread, &attributes, run, &job) != 0) {
    failed = "pthread_create";
  } else if (pthread_join(thread, nullptr) != 0) {
    failed = "pthread_join";
  }
  pthread_attr_destroy(&attributes);
  if (failed) throw std::runtime_error(std::string(failed) + " failed");
  if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace kolvex::testkit
