#include "repoctl/pipeline/capture_record.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <system_error>
#include <vector>

#include "core/fs.h"
#include "core/hash.h"
#include "platform/config.h"
#include "repoctl/pipeline/publish.h"

namespace kolvex::pipeline::detail {
namespace {

constexpr std::string_view RECORDS_DIR = ".capture-records";
constexpr std::string_view RECORD_NAME = "record";
constexpr std::string_view TEMPORARY_PREFIX = "record.tmp-";
// The first line of a record: what the rest is, and in which format.
constexpr std::string_view MAGIC = "kolvex capture record 1\n";
constexpr std::size_t DIGEST_SIZE = 64;
// Fields of one file: path, device, inode, size, modification time, change time, hash.
constexpr std::size_t FIELDS_PER_FILE = 7;

// NUL separates fields: neither a listed path nor a file system path holds one.
constexpr char SEPARATOR = '\0';

void append_field(std::string& out, std::string_view field) {
  out.append(field);
  out.push_back(SEPARATOR);
}

template <typename Number>
void append_number(std::string& out, Number value) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  append_field(out, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Reads the fields of a record body one by one.
class FieldReader {
 public:
  explicit FieldReader(std::string_view body) : rest_(body) {}

  std::optional<std::string_view> text() {
    const std::size_t end = rest_.find(SEPARATOR);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view field = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return field;
  }

  template <typename Number>
  std::optional<Number> number() {
    std::optional<std::string_view> field = text();
    if (!field || field->empty()) return std::nullopt;
    Number value{};
    auto [end, error] = std::from_chars(field->data(), field->data() + field->size(), value);
    if (error != std::errc() || end != field->data() + field->size()) return std::nullopt;
    return value;
  }

  bool done() const noexcept { return rest_.empty(); }

 private:
  std::string_view rest_;
};

bool is_file_hash(std::string_view text) {
  return text.size() == DIGEST_SIZE &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Whether a later capture could ever trust the entry (see declstore/capture.h).
bool trustable(const declstore::FileIdentity& identity, std::int64_t began_ns) {
  return identity.mtime_ns < began_ns && identity.ctime_ns < began_ns;
}

}  // namespace

std::filesystem::path capture_record_dir(std::string_view slug, const std::optional<std::filesystem::path>& root) {
  return platform::data_dir(root) / RECORDS_DIR / std::string(slug);
}

std::string encode_capture_record(const declstore::CaptureRecords& records, std::string_view snapshot_name,
                                  const std::filesystem::path& repo_path) {
  std::vector<const std::pair<const std::string, declstore::CaptureRecords::Seen>*> kept;
  kept.reserve(records.files.size());
  for (const auto& entry : records.files) {
    if (trustable(entry.second.identity, records.began_ns)) kept.push_back(&entry);
  }
  std::sort(kept.begin(), kept.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

  std::string out(MAGIC);
  append_field(out, snapshot_name);
  append_field(out, repo_path.native());
  append_number(out, records.began_ns);
  append_number(out, kept.size());
  for (const auto* entry : kept) {
    const declstore::FileIdentity& identity = entry->second.identity;
    append_field(out, entry->first);
    append_number(out, identity.device);
    append_number(out, identity.inode);
    append_number(out, identity.size);
    append_number(out, identity.mtime_ns);
    append_number(out, identity.ctime_ns);
    append_field(out, entry->second.file_hash);
  }
  out += core::sha256_hex(out);
  return out;
}

std::optional<declstore::CaptureRecords> decode_capture_record(std::string_view bytes, std::string_view snapshot_name,
                                                               const std::filesystem::path& repo_path) {
  if (bytes.size() < MAGIC.size() + DIGEST_SIZE || !bytes.starts_with(MAGIC)) return std::nullopt;
  const std::string_view signed_part = bytes.substr(0, bytes.size() - DIGEST_SIZE);
  if (core::sha256_hex(signed_part) != bytes.substr(signed_part.size())) return std::nullopt;

  FieldReader fields(signed_part.substr(MAGIC.size()));
  if (fields.text() != snapshot_name || fields.text() != std::string_view(repo_path.native())) return std::nullopt;
  std::optional<std::int64_t> began = fields.number<std::int64_t>();
  std::optional<std::size_t> count = fields.number<std::size_t>();
  if (!began || !count) return std::nullopt;
  declstore::CaptureRecords records{.began_ns = *began, .files = {}};
  // Every file takes at least one byte per field: a count beyond that is damage.
  if (*count > signed_part.size() / FIELDS_PER_FILE) return std::nullopt;
  records.files.reserve(*count);
  for (std::size_t i = 0; i < *count; ++i) {
    std::optional<std::string_view> path = fields.text();
    std::optional<std::uint64_t> device = fields.number<std::uint64_t>();
    std::optional<std::uint64_t> inode = fields.number<std::uint64_t>();
    std::optional<std::int64_t> size = fields.number<std::int64_t>();
    std::optional<std::int64_t> mtime = fields.number<std::int64_t>();
    std::optional<std::int64_t> ctime = fields.number<std::int64_t>();
    std::optional<std::string_view> hash = fields.text();
    if (!path || path->empty() || !device || !inode || !size || !mtime || !ctime || !hash || !is_file_hash(*hash)) {
      return std::nullopt;
    }
    declstore::CaptureRecords::Seen seen{{*device, *inode, *size, *mtime, *ctime}, std::string(*hash)};
    if (!trustable(seen.identity, records.began_ns)) return std::nullopt;
    if (!records.files.emplace(std::string(*path), std::move(seen)).second) return std::nullopt;
  }
  if (!fields.done()) return std::nullopt;
  return records;
}

std::optional<declstore::CaptureRecords> load_capture_record(std::string_view slug,
                                                             const std::optional<std::filesystem::path>& root,
                                                             const std::filesystem::path& repo_path) {
  try {
    std::optional<std::string> live = read_pointer_name(platform::index_dir(slug, root));
    if (!live) return std::nullopt;
    const std::string bytes = core::read_file(capture_record_dir(slug, root) / RECORD_NAME);
    return decode_capture_record(bytes, *live, repo_path);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void store_capture_record(std::string_view slug, const std::optional<std::filesystem::path>& root,
                          std::string_view snapshot_name, const std::filesystem::path& repo_path,
                          const declstore::CaptureRecords& records) noexcept {
  std::filesystem::path directory;
  std::filesystem::path temporary;
  try {
    directory = capture_record_dir(slug, root);
    temporary = directory / (std::string(TEMPORARY_PREFIX) + std::to_string(::getpid()));
    const std::string bytes = encode_capture_record(records, snapshot_name, repo_path);
    std::filesystem::create_directories(directory);
    core::write_file(temporary, bytes);
    std::filesystem::rename(temporary, directory / RECORD_NAME);
  } catch (const std::exception&) {
    // A record that could not be replaced must not outlive the snapshot it describes.
    std::error_code ignored;
    if (!temporary.empty()) std::filesystem::remove(temporary, ignored);
    if (!directory.empty()) std::filesystem::remove(directory / RECORD_NAME, ignored);
  }
}

void remove_stale_capture_record_files(std::string_view slug,
                                       const std::optional<std::filesystem::path>& root) noexcept {
  try {
    std::error_code error;
    std::filesystem::directory_iterator entries(capture_record_dir(slug, root), error);
    if (error) return;
    for (const auto& entry : entries) {
      if (!entry.path().filename().native().starts_with(TEMPORARY_PREFIX)) continue;
      std::error_code ignored;
      std::filesystem::remove(entry.path(), ignored);
    }
  } catch (const std::exception&) {
  }
}

}  // namespace kolvex::pipeline::detail
