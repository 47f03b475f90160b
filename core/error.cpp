#include "core/error.h"

#include <cxxabi.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <typeinfo>

namespace kolvex::core {
namespace {

// The signal number that interrupted the process; 0: not interrupted. One
// atomic serves as both the flag and the signal, so they never disagree.
std::atomic<int> interrupt_number{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_interrupt_signal(int number) { interrupt_number.store(number, std::memory_order_relaxed); }

}  // namespace

void install_interrupt_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = on_interrupt_signal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART keeps unrelated blocking calls from failing with EINTR; the
    // waiting loops that must notice the flag wake up on their own often enough.
    action.sa_flags = SA_RESTART;
    for (int number : INTERRUPT_SIGNALS) sigaction(number, &action, nullptr);
  });
}

bool interrupted() noexcept { return interrupt_number.load(std::memory_order_relaxed) != 0; }

void set_interrupted(bool value) noexcept { interrupt_number.store(value ? SIGINT : 0, std::memory_order_relaxed); }

int interrupt_signal() noexcept { return interrupt_number.load(std::memory_order_relaxed); }

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

std::string error_type_name(const std::exception& error) {
  if (const auto* ours = dynamic_cast<const Error*>(&error)) return ours->type_name();
  const char* mangled = typeid(error).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                    std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  if (auto colon = name.rfind("::"); colon != std::string::npos) name = name.substr(colon + 2);
  return name;
}

}  // namespace kolvex::core
