// Client of the Zoekt web server's JSON search call (POST <base>/api/search).
//
// search_zoekt sends one query and returns the matching lines, best file first
// and lines in file order. Failures are typed so that callers can degrade:
// ZoektUnavailableError when the service cannot be reached (refused
// connection, time-out, any transport failure, 502/503/504); ZoektQueryError
// when the server rejects the query (400); ZoektError for any other unusable
// reply. Line text is decoded as UTF-8 with replacement.
//
// Thread-safety: search_zoekt may be called from several threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kolvex::platform {

// Any failure of a Zoekt search.
class ZoektError : public core::GenericError {
 public:
  using core::GenericError::GenericError;
  const char* type_name() const noexcept override { return "ZoektError"; }
};
// The service cannot be reached or is temporarily unable to answer.
KOLVEX_DECLARE_ERROR(ZoektUnavailableError, ZoektError);
// The service rejected the query as malformed.
KOLVEX_DECLARE_ERROR(ZoektQueryError, ZoektError);

// Default limits of one search.
inline constexpr std::chrono::milliseconds ZOEKT_CONNECT_TIMEOUT{2000};
inline constexpr std::chrono::milliseconds ZOEKT_TIMEOUT{10000};
inline constexpr int ZOEKT_MAX_FILES = 50;
// Largest reply accepted, in bytes.
inline constexpr std::size_t ZOEKT_MAX_REPLY_BYTES = 64u * 1024u * 1024u;

// One matching line.
struct ZoektHit {
  std::string path;          // repository-relative path of the file
  std::int64_t line_number;  // 1-based
  std::string line_text;     // the line without its line end
};

struct ZoektResult {
  std::vector<ZoektHit> hits;  // best file first, lines in file order
};

struct ZoektSearchOptions {
  std::chrono::milliseconds connect_timeout = ZOEKT_CONNECT_TIMEOUT;
  std::chrono::milliseconds timeout = ZOEKT_TIMEOUT;  // whole request
  int max_files = ZOEKT_MAX_FILES;                    // files asked of the server
};

// Runs `query` (Zoekt query syntax) against the web server at `base_url`
// (e.g. "http://127.0.0.1:6070"; a trailing "/" is allowed).
ZoektResult search_zoekt(std::string_view base_url, std::string_view query,
                         const ZoektSearchOptions& options = {});

}  // namespace kolvex::platform
