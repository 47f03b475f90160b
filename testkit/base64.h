// Base64 (standard alphabet, padded), for building replies of fake HTTP services
// that carry bytes as base64 text (the Zoekt web API does).
#pragma once

#include <string>
#include <string_view>

namespace kolvex::testkit {

inline std::string base64(std::string_view bytes) {
  static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out.push_back(ALPHABET[(v >> shift) & 63]);
  }
  if (std::size_t rest = bytes.size() - i; rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(ALPHABET[(v >> 18) & 63]);
    out.push_back(ALPHABET[(v >> 12) & 63]);
    out.push_back(rest == 2 ? ALPHABET[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

}  // namespace kolvex::testkit
