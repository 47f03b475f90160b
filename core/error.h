// Error taxonomy shared by every module.
//
// Every failure the system reports is a typed exception derived from Error, which
// carries a message and, when it translates a lower-level failure, that failure as
// its cause. Two families mirror the system's conventions: RuntimeError (dependency,
// capture, source-change and snapshot-corruption errors) and GenericError (all
// other contract errors). Handlers name the types they expect; none catches a
// family by its base.
//
// Interrupted (Ctrl+C, SIGTERM, SIGHUP) deliberately derives from neither family nor from
// std::exception, so a catch-all written as `catch (const std::exception&)`
// never swallows it and the interruption unwinds the whole run.
//
// Thread-safety: error objects are immutable once thrown. The interruption flag
// is a lock-free atomic that any thread may read.
#pragma once

#include <csignal>
#include <exception>
#include <string>

namespace kolvex::core {

class Error : public std::exception {
 public:
  explicit Error(std::string message, std::exception_ptr cause = nullptr)
      : message_(std::move(message)), cause_(std::move(cause)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  // The lower-level failure this error translates, or null.
  const std::exception_ptr& cause() const noexcept { return cause_; }
  // The name of the concrete error type, as reports show it ("IndexingError").
  virtual const char* type_name() const noexcept { return "Error"; }

 private:
  std::string message_;
  std::exception_ptr cause_;
};

// Declares `class Name : public Base` with Error's constructor and type_name().
#define KOLVEX_DECLARE_ERROR(Name, Base)                                  \
  class Name : public Base {                                              \
   public:                                                                \
    using Base::Base;                                                     \
    const char* type_name() const noexcept override { return #Name; }     \
  }

KOLVEX_DECLARE_ERROR(RuntimeError, Error);
KOLVEX_DECLARE_ERROR(GenericError, Error);
// An argument outside what the callee accepts (Python's ValueError).
KOLVEX_DECLARE_ERROR(ValueError, GenericError);

// Ctrl+C, SIGTERM or SIGHUP. Not an Error, not a std::exception: see the header comment.
class Interrupted {
 public:
  const char* what() const noexcept { return "interrupted"; }
};

// The signals that interrupt a run like Ctrl+C: SIGINT, SIGTERM, SIGHUP.
inline constexpr int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Installs handlers for INTERRUPT_SIGNALS that only record the signal and set the
// interruption flag. Idempotent.
void install_interrupt_handler();
// True once an interruption signal arrived (or set_interrupted(true) was called).
bool interrupted() noexcept;
// Setting the flag records SIGINT; clearing it forgets the signal.
void set_interrupted(bool value) noexcept;
// The last interruption signal that arrived (SIGINT when the flag was set by a
// call), 0 when not interrupted. The program re-raises it on its way out, so
// that its parent sees how it ended.
int interrupt_signal() noexcept;
// Throws Interrupted when the flag is set; long loops call this between steps.
void check_interrupted();

// Text of an exception_ptr's exception (what()), or "" for null; for logging causes.
std::string describe(const std::exception_ptr& error);

// The bare name of an error's type, as reports show it: Error::type_name() for
// the system's own errors ("IndexingError"), else the demangled class name
// without its namespaces ("filesystem_error").
std::string error_type_name(const std::exception& error);

}  // namespace kolvex::core
