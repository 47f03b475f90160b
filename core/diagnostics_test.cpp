#include "core/diagnostics.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kolvex::core {
namespace {

TEST(Diagnostics, StreamSinkEndsEachLineAndCollectedSinkKeepsThemInOrder) {
  const std::vector<std::string> lines = {"warning: one — two", "", "multi\nline text", "note: last"};
  std::ostringstream out;
  StreamDiagnostics stream(out);
  CollectedDiagnostics collected;
  for (const std::string& line : lines) {
    stream.line(line);
    collected.line(line);
  }
  const std::string expected = "warning: one — two\n\nmulti\nline text\nnote: last\n";
  EXPECT_EQ(out.str(), expected);
  EXPECT_EQ(collected.text(), expected);
  EXPECT_EQ(collected.lines(), lines);
  EXPECT_EQ(CollectedDiagnostics().text(), "");
}

}  // namespace
}  // namespace kolvex::core
