// Where a library's notes and warnings go.
//
// Library code never writes to standard error itself: it hands each note or
// warning, one complete line without its line end, to a Diagnostics sink its
// caller chose. The command line passes a StreamDiagnostics over std::cerr, so
// the user sees every line as it happens; tests pass a CollectedDiagnostics and
// read the lines back without touching the process-wide streams.
//
// Thread-safety: both sinks here may be called from several threads; each line
// is delivered whole, in the order the calls took the sink's lock.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/thread_annotations.h"

namespace kolvex::core {

class Diagnostics {
 public:
  virtual ~Diagnostics() = default;
  // One note or warning, a complete line without its line end.
  virtual void line(std::string_view text) = 0;
};

// Writes each line and a line end to a stream, and flushes it.
class StreamDiagnostics final : public Diagnostics {
 public:
  explicit StreamDiagnostics(std::ostream& out) : out_(out) {}
  void line(std::string_view text) override;

 private:
  Mutex mutex_;
  std::ostream& out_ GUARDED_BY(mutex_);
};

// Keeps every line for reading back.
class CollectedDiagnostics final : public Diagnostics {
 public:
  void line(std::string_view text) override;
  std::vector<std::string> lines() const;
  // Every line followed by "\n", as a stream sink would have written them.
  std::string text() const;

 private:
  mutable Mutex mutex_;
  std::vector<std::string> lines_ GUARDED_BY(mutex_);
};

}  // namespace kolvex::core
