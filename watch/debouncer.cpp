#include "watch/debouncer.h"

#include <bit>
#include <cmath>
#include <limits>
#include <utility>

namespace kolvex::watch {
namespace {

// A NaN bit pattern reserved for "no notification yet". A NaN reading from the
// clock is stored as the canonical quiet NaN, whose bits differ, so every
// reading stays representable.
constexpr std::uint64_t ABSENT = 0x7ff4'0000'0000'0ab5ULL;

std::uint64_t encode(double reading) {
  if (std::isnan(reading)) reading = std::numeric_limits<double>::quiet_NaN();
  return std::bit_cast<std::uint64_t>(reading);
}

}  // namespace

Debouncer::Debouncer(double delay_seconds, std::function<void()> on_fire, DebouncerOptions options)
    : delay_(delay_seconds),
      on_fire_(std::move(on_fire)),
      clock_(std::move(options.clock)),
      last_notify_(ABSENT) {}

void Debouncer::notify() { last_notify_.store(encode(clock_()), std::memory_order_release); }

bool Debouncer::poll() {
  std::uint64_t bits = last_notify_.load(std::memory_order_acquire);
  if (bits == ABSENT) return false;
  if (fired_for_ && *fired_for_ == std::bit_cast<double>(bits)) return false;

  // The clock first, then the reading the elapsed time is measured from: a
  // notify() landing after this load belongs to the next burst.
  double now = clock_();
  double last = std::bit_cast<double>(last_notify_.load(std::memory_order_acquire));
  if (!(now - last >= delay_)) return false;

  fired_for_ = last;
  on_fire_();
  return true;
}

}  // namespace kolvex::watch
