#include "platform/descriptor_kind.h"

#include <array>
#include <string>
#include <utility>

#include "core/error.h"
#include "core/text.h"

namespace kolvex::platform {
namespace {

constexpr std::array<std::pair<DescriptorKind, std::string_view>, 9> KIND_TEXTS = {{
    {DescriptorKind::NAMESPACE, "NAMESPACE"},
    {DescriptorKind::TYPE, "TYPE"},
    {DescriptorKind::TERM, "TERM"},
    {DescriptorKind::METHOD, "METHOD"},
    {DescriptorKind::TYPE_PARAMETER, "TYPE_PARAMETER"},
    {DescriptorKind::PARAMETER, "PARAMETER"},
    {DescriptorKind::META, "META"},
    {DescriptorKind::MACRO, "MACRO"},
    {DescriptorKind::LOCAL, "LOCAL"},
}};

}  // namespace

std::string_view kind_text(DescriptorKind kind) noexcept {
  for (const auto& [member, text] : KIND_TEXTS) {
    if (member == kind) return text;
  }
  return {};
}

DescriptorKind kind_from_text(std::string_view text) {
  for (const auto& [member, member_text] : KIND_TEXTS) {
    if (member_text == text) return member;
  }
  throw core::ValueError(core::quote(core::decode_utf8_replace(text)) + " is not a valid DescriptorKind");
}

}  // namespace kolvex::platform
