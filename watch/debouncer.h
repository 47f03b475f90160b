// A trailing-edge debouncer for watch-mode reindexing.
//
// The owner calls notify() for every relevant file-system event and poll()
// periodically; poll() runs the action at most once per burst of notifications,
// at the first poll once `delay_seconds` have passed since the burst's last
// notification. A burst is identified by the clock reading of its last
// notification: the debouncer is pending while that reading differs from the
// one it last fired for. The debouncer never sleeps and starts no timer or
// thread; it reads time only through the clock it is given, so a simulated
// clock can drive it.
//
// Thread-safety: notify() may run on one thread while poll() runs on another.
// The last notification's reading is the only datum they share; it is read and
// written atomically, and the action runs without holding anything notify()
// needs, so notifications arriving during the action re-arm the debouncer.
// poll() itself must be called from one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/clock.h"

namespace kolvex::watch {

struct DebouncerOptions {
  // The time source in seconds; the operating system's monotonic clock by default.
  std::function<double()> clock = core::monotonic_seconds;
};

class Debouncer {
 public:
  // Stores the delay (zero and negative delays are accepted as they are, a NaN
  // delay never fires), the action and the clock; calls neither.
  Debouncer(double delay_seconds, std::function<void()> on_fire, DebouncerOptions options = {});

  Debouncer(const Debouncer&) = delete;
  Debouncer& operator=(const Debouncer&) = delete;

  // Reads the clock once and records the reading as the last notification.
  // A failing clock propagates and leaves the previous reading in place.
  void notify();

  // True exactly when this call ran the action and the action returned. The
  // burst is marked as fired before the action runs, so an action that throws
  // propagates its error and the burst is not retried.
  bool poll();

 private:
  double delay_;
  std::function<void()> on_fire_;
  std::function<double()> clock_;
  // Bit pattern of the last reading, or ABSENT before the first notify().
  std::atomic<std::uint64_t> last_notify_;
  std::optional<double> fired_for_;
};

}  // namespace kolvex::watch
