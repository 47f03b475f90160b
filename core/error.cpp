#include "core/error.h"

#include <atomic>
#include <csignal>
#include <mutex>

namespace kolvex::core {
namespace {

std::atomic<bool> interrupt_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler needs a lock-free flag");

extern "C" void on_sigint(int) { interrupt_flag.store(true, std::memory_order_relaxed); }

}  // namespace

void install_interrupt_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    // SA_RESTART keeps unrelated blocking calls from failing with EINTR; the
    // waiting loops that must notice the flag wake up on their own often enough.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
  });
}

bool interrupted() noexcept { return interrupt_flag.load(std::memory_order_relaxed); }

void set_interrupted(bool value) noexcept { interrupt_flag.store(value, std::memory_order_relaxed); }

void check_interrupted() {
  if (interrupted()) throw Interrupted{};
}

std::string describe(const std::exception_ptr& error) {
  if (!error) return "";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (const Interrupted& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace kolvex::core
