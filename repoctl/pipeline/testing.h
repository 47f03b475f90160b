// Test helper: captures what the pipeline writes to std::cerr while it lives.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace kolvex::pipeline::testing {

class CerrCapture {
 public:
  CerrCapture() : previous_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(previous_); }
  CerrCapture(const CerrCapture&) = delete;
  CerrCapture& operator=(const CerrCapture&) = delete;
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* previous_;
};

}  // namespace kolvex::pipeline::testing
