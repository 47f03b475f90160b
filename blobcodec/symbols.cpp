// Package identities of SCIP symbol strings and the schema's kind names.
#include <limits>

#include "blobcodec/blobcodec.h"
#include "blobcodec/symbol_tokens.h"

namespace kolvex::blobcodec {
namespace {

// What SCIP writes for an unspecified package: such symbols belong to no package.
constexpr std::string_view UNSPECIFIED_PACKAGE_TOKEN = ".";
constexpr std::string_view LOCAL_PREFIX = "local ";
// scheme, manager, package name, version
constexpr long long PACKAGE_COMPONENTS = 4;

}  // namespace

std::optional<SymbolPackage> parse_symbol_package(std::string_view symbol) {
  if (symbol.starts_with(LOCAL_PREFIX)) return std::nullopt;
  std::vector<std::string> tokens = internal::split_backtick_aware_tokens(symbol, PACKAGE_COMPONENTS);
  if (static_cast<long long>(tokens.size()) < PACKAGE_COMPONENTS) return std::nullopt;
  if (tokens[2] == UNSPECIFIED_PACKAGE_TOKEN) return std::nullopt;
  return SymbolPackage{std::move(tokens[1]), std::move(tokens[2]), std::move(tokens[3])};
}

std::optional<std::string> kind_name(std::optional<std::int64_t> kind) {
  if (!kind) return std::nullopt;
  if (*kind < std::numeric_limits<int>::min() || *kind > std::numeric_limits<int>::max()) return std::nullopt;
  const google::protobuf::EnumValueDescriptor* value =
      scip::SymbolInformation::Kind_descriptor()->FindValueByNumber(static_cast<int>(*kind));
  if (value == nullptr) return std::nullopt;
  return value->name();
}

}  // namespace kolvex::blobcodec

std::size_t std::hash<kolvex::blobcodec::SymbolPackage>::operator()(
    const kolvex::blobcodec::SymbolPackage& package) const noexcept {
  std::hash<std::string> text;
  std::size_t seed = text(package.manager);
  for (const std::string* field : {&package.name, &package.version}) {
    seed ^= text(*field) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  }
  return seed;
}
