#include "platform/search.h"

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>
#include <optional>

#include "core/json.h"
#include "core/text.h"

namespace kolvex::platform {
namespace {

// Statuses of a gateway or an overloaded server in front of Zoekt: the service
// is temporarily unreachable, not the query wrong.
constexpr std::array<long, 3> UNAVAILABLE_STATUSES = {502, 503, 504};
constexpr long BAD_REQUEST_STATUS = 400;
// The Zoekt server runs beside the caller; a proxy configured for the outside
// world must never be asked for it.
constexpr const char* LOOPBACK_HOSTS = "localhost,127.0.0.1,::1";

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

struct ReplyBuffer {
  std::string body;
  bool too_large = false;
};

std::size_t write_reply(char* data, std::size_t size, std::size_t count, void* user) {
  auto* reply = static_cast<ReplyBuffer*>(user);
  std::size_t bytes = size * count;
  if (reply->body.size() + bytes > ZOEKT_MAX_REPLY_BYTES) {
    reply->too_large = true;
    return 0;  // makes curl stop with CURLE_WRITE_ERROR
  }
  reply->body.append(data, bytes);
  return bytes;
}

std::string search_url(std::string_view base_url) {
  std::string url(base_url);
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + "/api/search";
}

std::string request_body(std::string_view query, const ZoektSearchOptions& options) {
  core::Json opts = core::Json::object();
  opts["ChunkMatches"] = false;
  opts["NumContextLines"] = 0;
  opts["MaxDocDisplayCount"] = options.max_files;
  // The server's own wall-time limit, just inside the client's.
  opts["MaxWallTime"] = static_cast<std::int64_t>(options.timeout.count()) * 1'000'000;
  core::Json body = core::Json::object();
  body["Q"] = core::decode_utf8_replace(query);
  body["Opts"] = std::move(opts);
  return core::dump_json(body, core::compact_json_style());
}

int base64_value(char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with optional padding (Go's encoding of []byte in JSON).
std::optional<std::string> decode_base64(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    int value = base64_value(c);
    if (value < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  if (bits >= 6) return std::nullopt;  // a single dangling character
  return out;
}

std::string strip_line_end(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The "Error" member of an error reply, or the raw body when there is none.
std::string error_text(const std::string& body) {
  try {
    core::Json reply = core::parse_json(core::decode_utf8_replace(body));
    if (reply.is_object() && reply.contains("Error") && reply["Error"].is_string()) {
      return reply["Error"].get<std::string>();
    }
  } catch (const core::ValueError&) {
    // Not JSON: show the body itself.
  }
  return std::string(core::strip(core::decode_utf8_replace(body)));
}

ZoektResult parse_reply(const std::string& body) {
  core::Json reply;
  try {
    reply = core::parse_json(core::decode_utf8_replace(body));
  } catch (const core::ValueError&) {
    throw ZoektError("zoekt search reply is not JSON", std::current_exception());
  }
  if (!reply.is_object() || !reply.contains("Result") || !reply["Result"].is_object()) {
    throw ZoektError("zoekt search reply has no Result object");
  }
  ZoektResult result;
  const core::Json& files = reply["Result"].value("Files", core::Json());
  if (files.is_null()) return result;
  if (!files.is_array()) throw ZoektError("zoekt search reply: Files is not a list");
  for (const auto& file : files) {
    if (!file.is_object() || !file.contains("FileName") || !file["FileName"].is_string()) {
      throw ZoektError("zoekt search reply: a file match has no FileName");
    }
    const std::string path = file["FileName"].get<std::string>();
    const core::Json& lines = file.value("LineMatches", core::Json());
    if (lines.is_null()) continue;
    if (!lines.is_array()) throw ZoektError("zoekt search reply: LineMatches is not a list");
    for (const auto& line : lines) {
      if (!line.is_object() || !line.contains("LineNumber") || !line["LineNumber"].is_number_integer()) {
        throw ZoektError("zoekt search reply: a line match has no LineNumber");
      }
      // A match on the file name carries the name, not a line of the file.
      const bool name_match = line.contains("FileName") && line["FileName"].is_boolean() && line["FileName"].get<bool>();
      if (name_match || line["LineNumber"].get<std::int64_t>() < 1) continue;
      std::string bytes;
      if (line.contains("Line") && !line["Line"].is_null()) {
        if (!line["Line"].is_string()) throw ZoektError("zoekt search reply: a line is not base64 text");
        auto decoded = decode_base64(line["Line"].get<std::string>());
        if (!decoded) throw ZoektError("zoekt search reply: a line is not valid base64");
        bytes = std::move(*decoded);
      }
      result.hits.push_back(ZoektHit{path, line["LineNumber"].get<std::int64_t>(),
                                     strip_line_end(core::decode_utf8_replace(bytes))});
    }
  }
  return result;
}

}  // namespace

ZoektResult search_zoekt(std::string_view base_url, std::string_view query, const ZoektSearchOptions& options) {
  global_init();
  std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
  if (!handle) throw ZoektUnavailableError("zoekt search: cannot create an HTTP client");
  CURL* curl = handle.get();

  const std::string url = search_url(base_url);
  const std::string body = request_body(query, options);
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const char* header : {"Content-Type: application/json", "Accept: application/json", "Expect:"}) {
    curl_slist* extended = curl_slist_append(headers.get(), header);
    if (extended == nullptr) throw ZoektUnavailableError("zoekt search: out of memory for request headers");
    headers.release();
    headers.reset(extended);
  }
  ReplyBuffer reply;
  char error_buffer[CURL_ERROR_SIZE] = {};

  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_reply);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, LOOPBACK_HOSTS);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connect_timeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeout.count()));

  CURLcode code = curl_easy_perform(curl);
  if (reply.too_large) {
    throw ZoektError("zoekt search reply exceeds " + std::to_string(ZOEKT_MAX_REPLY_BYTES) + " bytes");
  }
  if (code != CURLE_OK) {
    std::string detail = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code);
    throw ZoektUnavailableError("zoekt search at " + url + " failed: " + detail);
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status == 200) return parse_reply(reply.body);
  for (long unavailable : UNAVAILABLE_STATUSES) {
    if (status == unavailable) {
      throw ZoektUnavailableError("zoekt search at " + url + " answered HTTP " + std::to_string(status));
    }
  }
  if (status == BAD_REQUEST_STATUS) {
    throw ZoektQueryError("zoekt rejected the query " + core::quote(core::decode_utf8_replace(query)) + ": " +
                          error_text(reply.body));
  }
  throw ZoektError("zoekt search at " + url + " answered HTTP " + std::to_string(status) + ": " +
                   error_text(reply.body));
}

}  // namespace kolvex::platform
