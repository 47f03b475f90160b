// Work on many items at once, results consumed one at a time in item order.
//
// ordered_parallel(count, options, work, consume) calls work(i, worker) for every
// i in [0, count) on a pool of worker threads and consume(i, result) on the
// calling thread for i = 0, 1, 2, ... in that order. Each worker has a number in
// [0, workers) so it can keep state of its own (a parser pool, say) in a slot the
// caller owns. At most `window` items are in flight (claimed by a worker and not
// yet consumed), so memory stays flat however many items there are.
//
// Errors behave as in a plain loop `for i: consume(i, work(i))`: the exception
// raised for the lowest item, by work or by consume, is the one rethrown, and no
// later item is consumed. Workers stop claiming items as soon as the caller stops;
// the call returns or throws only after every worker thread has ended. The caller
// checks core::check_interrupted before each item and while it waits, so Ctrl+C
// unwinds it promptly (an item already being worked on finishes first).
//
// With one worker (or one item) everything runs on the calling thread: work(i, 0)
// then consume(i, ...), item after item, with no thread started.
//
// Threads are woken only when there is something for them: the caller when the
// item it waits for is done, idle workers once half the window is free again.
// Items may be short (a file read and hashed), so a wake-up per item per thread
// would cost more than the work.
//
// Thread-safety: work runs concurrently on several threads and must only touch
// shared state that is safe for that; consume runs on the calling thread only.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/cores.h"
#include "core/error.h"

namespace kolvex::core {

struct ParallelOptions {
  // Worker threads; 0 means one per core of the machine.
  unsigned workers = 0;
  // Items in flight at most; 0 means four per worker.
  std::size_t window = 0;
};

// One worker per core this process may run on, at least one.
inline unsigned default_worker_count() noexcept { return available_cores(); }

namespace detail {

// How often a waiting caller looks at the interruption flag.
inline constexpr auto INTERRUPT_POLL = std::chrono::milliseconds(20);
// No item awaited by the caller.
inline constexpr std::size_t NOT_WAITING = static_cast<std::size_t>(-1);

template <typename T>
struct ParallelSlot {
  std::optional<T> value;
  std::exception_ptr error;
  bool ready = false;
};

}  // namespace detail

template <typename T, typename Work, typename Consume>
void ordered_parallel(std::size_t count, const ParallelOptions& options, Work&& work, Consume&& consume) {
  const unsigned workers = options.workers == 0 ? default_worker_count() : options.workers;
  if (workers <= 1 || count <= 1) {
    for (std::size_t i = 0; i < count; ++i) {
      check_interrupted();
      consume(i, work(i, 0u));
    }
    return;
  }
  const std::size_t window = std::max<std::size_t>(options.window == 0 ? 4 * std::size_t{workers} : options.window, 1);

  // Idle workers are woken when this many items may be claimed again.
  const std::size_t wake_free = std::max<std::size_t>(window / 2, 1);

  std::mutex mutex;
  std::condition_variable slot_filled;  // the item the caller waits for is done
  std::condition_variable slot_freed;   // room in the window, no more items, or stop
  std::vector<detail::ParallelSlot<T>> slots(window);
  std::size_t next_claim = 0;
  std::size_t consumed = 0;
  bool stop = false;
  std::size_t caller_waits_for = detail::NOT_WAITING;
  unsigned idle_workers = 0;

  auto worker_loop = [&](unsigned worker) {
    std::unique_lock lock(mutex);
    while (true) {
      while (!(stop || next_claim >= count || next_claim < consumed + window)) {
        ++idle_workers;
        slot_freed.wait(lock);
        --idle_workers;
      }
      if (stop || next_claim >= count) return;
      const std::size_t index = next_claim++;
      lock.unlock();
      std::optional<T> value;
      std::exception_ptr error;
      try {
        value.emplace(work(index, worker));
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      detail::ParallelSlot<T>& slot = slots[index % window];
      slot.value = std::move(value);
      slot.error = error;
      slot.ready = true;
      if (error) {
        // A failed item ends the claiming: nothing after it will be consumed.
        next_claim = count;
        slot_freed.notify_all();
      }
      if (caller_waits_for == index) slot_filled.notify_one();
    }
  };

  std::vector<std::thread> threads;
  auto stop_and_join = [&] {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    slot_freed.notify_all();
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  };

  try {
    const unsigned started = static_cast<unsigned>(std::min<std::size_t>(workers, count));
    threads.reserve(started);
    for (unsigned worker = 0; worker < started; ++worker) threads.emplace_back(worker_loop, worker);

    for (std::size_t i = 0; i < count; ++i) {
      check_interrupted();
      detail::ParallelSlot<T> taken;
      {
        std::unique_lock lock(mutex);
        detail::ParallelSlot<T>& slot = slots[i % window];
        while (!slot.ready) {
          caller_waits_for = i;
          slot_filled.wait_for(lock, detail::INTERRUPT_POLL);
          caller_waits_for = detail::NOT_WAITING;
          if (!slot.ready && interrupted()) {
            lock.unlock();
            check_interrupted();
            lock.lock();
          }
        }
        taken = std::move(slot);
        slot = detail::ParallelSlot<T>();
      }
      if (taken.error) std::rethrow_exception(taken.error);
      consume(i, std::move(*taken.value));
      bool wake = false;
      {
        // The item counts as in flight until it was consumed.
        std::lock_guard lock(mutex);
        consumed = i + 1;
        wake = idle_workers > 0 && next_claim < count && consumed + window - next_claim >= wake_free;
      }
      if (wake) slot_freed.notify_all();
    }
  } catch (...) {
    stop_and_join();
    throw;
  }
  stop_and_join();
}

}  // namespace kolvex::core
