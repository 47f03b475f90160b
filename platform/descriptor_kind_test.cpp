#include "platform/descriptor_kind.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "core/error.h"

namespace kolvex::platform {
namespace {

using K = DescriptorKind;

TEST(DescriptorKind, TextsRoundTrip) {
  const std::pair<K, std::string_view> cases[] = {
      {K::NAMESPACE, "NAMESPACE"}, {K::TYPE, "TYPE"},   {K::TERM, "TERM"},
      {K::METHOD, "METHOD"},       {K::TYPE_PARAMETER, "TYPE_PARAMETER"},
      {K::PARAMETER, "PARAMETER"}, {K::META, "META"},   {K::MACRO, "MACRO"},
      {K::LOCAL, "LOCAL"},
  };
  for (const auto& [kind, text] : cases) {
    EXPECT_EQ(kind_text(kind), text);
    EXPECT_EQ(kind_from_text(text), kind);
  }
  for (const char* text : {"FUNCTION", "type", ""}) {
    try {
      kind_from_text(text);
      ADD_FAILURE() << text;
    } catch (const core::ValueError& error) {
      EXPECT_EQ(error.message(), "'" + std::string(text) + "' is not a valid DescriptorKind");
    }
  }
}

}  // namespace
}  // namespace kolvex::platform
