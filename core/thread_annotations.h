// Locking that the compiler can check.
//
// The macros below carry Clang's thread-safety attributes: a member declared
// GUARDED_BY(mutex_) may only be touched while mutex_ is held, a function
// declared REQUIRES(mutex_) only be called with it held. Under Clang with
// -Wthread-safety (the build option KOLVEX_THREAD_SAFETY_ANALYSIS) a violation
// is a compile error; every other compiler sees nothing.
//
// libstdc++'s std::mutex and std::lock_guard carry no such attributes, so code
// that wants its locking checked uses core::Mutex and core::MutexLock: the same
// mutex and scoped lock, annotated. A condition variable waits on a
// MutexLock's std::unique_lock through native().
//
// Thread-safety: Mutex is a std::mutex; a MutexLock belongs to the thread that
// made it.
#pragma once

#include <mutex>

#if defined(__clang__)
#define KOLVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KOLVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KOLVEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KOLVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KOLVEX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KOLVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KOLVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KOLVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KOLVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KOLVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KOLVEX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kolvex::core {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a Mutex from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  // Lets go of the mutex for a stretch of work that must not hold it; lock()
  // takes it back. Destruction releases it only if it is held.
  void unlock() RELEASE() { lock_.unlock(); }
  void lock() ACQUIRE() { lock_.lock(); }
  // For a std::condition_variable's wait, which releases and takes the mutex
  // again before it returns.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace kolvex::core
