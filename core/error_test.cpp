#include "core/error.h"

#include <gtest/gtest.h>

#include <csignal>
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

TEST(Error, SigintOnlySetsTheFlag) {
  install_interrupt_handler();
  install_interrupt_handler();  // idempotent
  ASSERT_FALSE(interrupted());
  std::raise(SIGINT);
  EXPECT_TRUE(interrupted());
  set_interrupted(false);
}

}  // namespace
}  // namespace kolvex::core
