// Work on many items at once, results consumed one at a time in item order.
//
// ordered_parallel(count, options, work, consume) calls work(i, worker) for every
// i in [0, count) on a pool of worker threads and consume(i, result) on the
// calling thread for i = 0, 1, 2, ... in that order. Each worker has a number in
// [0, workers) so it can keep state of its own (a parser pool, say) in a slot the
// caller owns. At most `window` items are in flight (claimed by a worker and not
// yet consumed), so memory stays flat however many items there are. Results can
// differ in size by orders of magnitude; with a `budget`, the overload that takes
// a `cost` of each result also stops claiming while the results made and not yet
// consumed cost that much (the item the caller waits for is always claimed), so
// that a caller slower than the workers holds a bounded amount of results, not a
// window of the largest ones.
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
// A result is destroyed by the worker that made it, when that worker claims its
// next item (or ends): the memory goes back to the allocator arena of the thread
// that took it, where freeing is cheap and the memory is used again, instead of
// the caller paying for every free across threads. Once no item is left to claim,
// the caller destroys what it consumes; nothing outlives the call.
//
// Thread-safety: work runs concurrently on several threads and must only touch
// shared state that is safe for that; consume runs on the calling thread only.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/cores.h"
#include "core/error.h"
#include "core/thread_annotations.h"

namespace kolvex::core {

struct ParallelOptions {
  // Worker threads; 0 means one per core of the machine.
  unsigned workers = 0;
  // Items in flight at most; 0 means four per worker.
  std::size_t window = 0;
  // Total cost of the results made and not yet consumed past which workers stop
  // claiming; 0 means no bound but the window.
  std::size_t budget = 0;
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
  unsigned worker = 0;  // who made it
  std::size_t cost = 0;
};

// What the caller and the workers share: the window of results and the
// counters that say which items may be claimed, all under one mutex.
template <typename T>
struct ParallelShared {
  ParallelShared(std::size_t window, unsigned workers) : slots(window), spent(workers) {}

  Mutex mutex;
  std::condition_variable slot_filled;  // the item the caller waits for is done
  std::condition_variable slot_freed;   // room in the window, no more items, or stop
  std::vector<ParallelSlot<T>> slots GUARDED_BY(mutex);
  std::size_t next_claim GUARDED_BY(mutex) = 0;
  std::size_t consumed GUARDED_BY(mutex) = 0;
  bool stop GUARDED_BY(mutex) = false;
  std::size_t caller_waits_for GUARDED_BY(mutex) = NOT_WAITING;
  unsigned idle_workers GUARDED_BY(mutex) = 0;
  // The cost of the results made and not yet consumed.
  std::size_t cost_ready GUARDED_BY(mutex) = 0;
  // Consumed results, by the worker that made them, waiting to be destroyed by it.
  std::vector<std::vector<T>> spent GUARDED_BY(mutex);
};

}  // namespace detail

template <typename T, typename Work, typename Consume, typename Cost>
void ordered_parallel(std::size_t count, const ParallelOptions& options, Work&& work, Consume&& consume, Cost&& cost) {
  const unsigned workers = options.workers == 0 ? default_worker_count() : options.workers;
  if (workers <= 1 || count <= 1) {
    for (std::size_t i = 0; i < count; ++i) {
      check_interrupted();
      consume(i, work(i, 0u));
    }
    return;
  }
  const std::size_t window = std::max<std::size_t>(options.window == 0 ? 4 * std::size_t{workers} : options.window, 1);

  // Idle workers are woken when this many items may be claimed again, and the
  // results waiting cost at most half the budget.
  const std::size_t wake_free = std::max<std::size_t>(window / 2, 1);
  const std::size_t wake_cost = options.budget / 2;

  detail::ParallelShared<T> shared(window, workers);

  auto worker_loop = [&](unsigned worker) {
    // Emptied outside the lock; its storage goes back for the next batch.
    std::vector<T> spent;
    MutexLock lock(shared.mutex);
    while (true) {
      // A worker may claim the next item with room in the window, and in the
      // budget unless nothing is in flight (then the caller waits for that item).
      while (!(shared.stop || shared.next_claim >= count ||
               (shared.next_claim < shared.consumed + window &&
                (options.budget == 0 || shared.cost_ready < options.budget ||
                 shared.next_claim == shared.consumed)))) {
        ++shared.idle_workers;
        shared.slot_freed.wait(lock.native());
        --shared.idle_workers;
      }
      spent.swap(shared.spent[worker]);
      if (shared.stop || shared.next_claim >= count) {
        lock.unlock();
        spent.clear();
        return;
      }
      const std::size_t index = shared.next_claim++;
      lock.unlock();
      spent.clear();
      std::optional<T> value;
      std::exception_ptr error;
      std::size_t value_cost = 0;
      try {
        value.emplace(work(index, worker));
        if (options.budget != 0) value_cost = cost(static_cast<const T&>(*value));
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      detail::ParallelSlot<T>& slot = shared.slots[index % window];
      slot.value = std::move(value);
      slot.error = error;
      slot.ready = true;
      slot.worker = worker;
      slot.cost = value_cost;
      shared.cost_ready += value_cost;
      if (error) {
        // A failed item ends the claiming: nothing after it will be consumed.
        shared.next_claim = count;
        shared.slot_freed.notify_all();
      }
      if (shared.caller_waits_for == index) shared.slot_filled.notify_one();
    }
  };

  std::vector<std::thread> threads;
  auto stop_and_join = [&] {
    {
      MutexLock lock(shared.mutex);
      shared.stop = true;
    }
    shared.slot_freed.notify_all();
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
        MutexLock lock(shared.mutex);
        detail::ParallelSlot<T>& slot = shared.slots[i % window];
        while (!slot.ready) {
          shared.caller_waits_for = i;
          shared.slot_filled.wait_for(lock.native(), detail::INTERRUPT_POLL);
          shared.caller_waits_for = detail::NOT_WAITING;
          if (!slot.ready && interrupted()) {
            lock.unlock();
            check_interrupted();
            lock.lock();
          }
        }
        taken = std::move(slot);
        slot = detail::ParallelSlot<T>();
        shared.cost_ready -= taken.cost;
      }
      if (taken.error) std::rethrow_exception(taken.error);
      consume(i, std::move(*taken.value));
      bool wake = false;
      {
        // The item counts as in flight until it was consumed.
        MutexLock lock(shared.mutex);
        shared.consumed = i + 1;
        // A worker will claim again and take back what it made; otherwise the
        // result dies here, at the end of the iteration.
        if (!shared.stop && shared.next_claim < count) {
          shared.spent[taken.worker].push_back(std::move(*taken.value));
        }
        wake = shared.idle_workers > 0 && shared.next_claim < count &&
               shared.consumed + window - shared.next_claim >= wake_free &&
               (shared.cost_ready <= wake_cost || shared.next_claim == shared.consumed);
      }
      if (wake) shared.slot_freed.notify_all();
    }
  } catch (...) {
    stop_and_join();
    throw;
  }
  stop_and_join();
}

// ordered_parallel whose results cost nothing: only the window bounds them.
template <typename T, typename Work, typename Consume>
void ordered_parallel(std::size_t count, const ParallelOptions& options, Work&& work, Consume&& consume) {
  ordered_parallel<T>(count, options, std::forward<Work>(work), std::forward<Consume>(consume),
                      [](const T&) { return std::size_t{0}; });
}

}  // namespace kolvex::core
