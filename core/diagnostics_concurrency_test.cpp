// Both diagnostics sinks called from several threads at once: every line
// arrives whole and exactly once. Built into the concurrency test binary so
// that it also runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/diagnostics.h"

namespace kolvex::core {
namespace {

constexpr int THREADS = 4;
constexpr int LINES_PER_THREAD = 200;

std::string line_of(int thread, int index) {
  return "warning: thread " + std::to_string(thread) + " line " + std::to_string(index) + " of a longer text";
}

// Calls `emit` with every line of every thread, the threads running at once.
template <typename Emit>
void emit_from_threads(Emit&& emit) {
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&emit, t] {
      for (int i = 0; i < LINES_PER_THREAD; ++i) emit(line_of(t, i));
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// Each expected line once, no other line.
void expect_every_line_once(const std::vector<std::string>& lines) {
  std::map<std::string, int> seen;
  for (const std::string& line : lines) ++seen[line];
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(THREADS * LINES_PER_THREAD));
  for (int t = 0; t < THREADS; ++t) {
    for (int i = 0; i < LINES_PER_THREAD; ++i) EXPECT_EQ(seen[line_of(t, i)], 1) << line_of(t, i);
  }
}

TEST(DiagnosticsConcurrency, LinesFromSeveralThreadsArriveWhole) {
  std::ostringstream out;
  StreamDiagnostics stream(out);
  CollectedDiagnostics collected;
  emit_from_threads([&](const std::string& line) {
    stream.line(line);
    collected.line(line);
  });

  std::vector<std::string> written;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);) written.push_back(line);
  expect_every_line_once(written);
  expect_every_line_once(collected.lines());
}

}  // namespace
}  // namespace kolvex::core
