#include "core/error.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <stdexcept>

namespace kolvex::core {
namespace {

KOLVEX_DECLARE_ERROR(ExampleError, RuntimeError);

TEST(Error, CarriesMessageCauseAndTypeName) {
  std::exception_ptr cause;
  try {
    throw std::out_of_range("lower failure");
  } catch (...) {
    cause = std::current_exception();
  }
  const ExampleError error("translated", cause);
  EXPECT_STREQ(error.what(), "translated");
  EXPECT_EQ(error.message(), "translated");
  EXPECT_STREQ(error.type_name(), "ExampleError");
  EXPECT_EQ(describe(error.cause()), "lower failure");
  EXPECT_EQ(describe(nullptr), "");
  EXPECT_STREQ(ValueError("v").type_name(), "ValueError");
  const RuntimeError& as_family = error;
  EXPECT_STREQ(as_family.type_name(), "ExampleError");
}

// A type defined in this test's own namespaces, to show they are dropped.
struct LocalFailure : std::exception {};

TEST(Error, TypeNameOfAnyErrorIsItsBareName) {
  const ExampleError ours("x");
  const std::exception& ours_as_std = ours;
  EXPECT_EQ(error_type_name(ours_as_std), "ExampleError");
  EXPECT_EQ(error_type_name(ValueError("v")), "ValueError");
  EXPECT_EQ(error_type_name(std::out_of_range("r")), "out_of_range");
  EXPECT_EQ(error_type_name(std::filesystem::filesystem_error("f", std::error_code())), "filesystem_error");
  EXPECT_EQ(error_type_name(LocalFailure()), "LocalFailure");
}

TEST(Error, InterruptedEscapesStdExceptionHandlers) {
  set_interrupted(true);
  bool escaped = false;
  try {
    try {
      check_interrupted();
    } catch (const std::exception&) {
      FAIL() << "a std::exception handler caught Interrupted";
    }
  } catch (const Interrupted&) {
    escaped = true;
  }
  set_interrupted(false);
  EXPECT_TRUE(escaped);
  EXPECT_NO_THROW(check_interrupted());
}

TEST(Error, InterruptionSignalsOnlySetTheFlagAndAreRemembered) {
  install_interrupt_handler();
  install_interrupt_handler();  // idempotent
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    ASSERT_FALSE(interrupted());
    EXPECT_EQ(interrupt_signal(), 0);
    std::raise(number);
    EXPECT_TRUE(interrupted()) << number;
    EXPECT_EQ(interrupt_signal(), number);
    set_interrupted(false);
  }
  // Set by a call, the interruption counts as Ctrl+C.
  set_interrupted(true);
  EXPECT_EQ(interrupt_signal(), SIGINT);
  set_interrupted(false);
  EXPECT_EQ(interrupt_signal(), 0);
}

}  // namespace
}  // namespace kolvex::core
