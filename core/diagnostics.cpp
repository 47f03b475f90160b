#include "core/diagnostics.h"

namespace kolvex::core {

void StreamDiagnostics::line(std::string_view text) {
  MutexLock lock(mutex_);
  out_ << text << '\n' << std::flush;
}

void CollectedDiagnostics::line(std::string_view text) {
  MutexLock lock(mutex_);
  lines_.emplace_back(text);
}

std::vector<std::string> CollectedDiagnostics::lines() const {
  MutexLock lock(mutex_);
  return lines_;
}

std::string CollectedDiagnostics::text() const {
  MutexLock lock(mutex_);
  std::string text;
  for (const std::string& line : lines_) text.append(line).push_back('\n');
  return text;
}

}  // namespace kolvex::core
