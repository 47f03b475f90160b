#include "platform/descriptor_kind.h"

#include <string>

#include "core/enum_text.h"
#include "core/error.h"
#include "core/text.h"

namespace kolvex::platform {
namespace {

constexpr core::EnumTexts<DescriptorKind, 9> KIND_TEXTS = {{
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

std::string_view kind_text(DescriptorKind kind) noexcept { return core::enum_text(KIND_TEXTS, kind); }

DescriptorKind kind_from_text(std::string_view text) {
  if (auto kind = core::enum_from_text(KIND_TEXTS, text)) return *kind;
  throw core::ValueError(core::quote(core::decode_utf8_replace(text)) + " is not a valid DescriptorKind");
}

}  // namespace kolvex::platform
