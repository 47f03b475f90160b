#include "repoctl/pipeline/capture_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/fs.h"
#include "core/hash.h"
#include "platform/config.h"
#include "platform/snapshot_layout.h"

namespace kolvex::pipeline::detail {
namespace {

namespace fs = std::filesystem;

const std::string SNAPSHOT = "index-abc-0123456789abcdef0123456789abcdef.db";
const fs::path REPO = "/work/repo";
constexpr std::int64_t BEGAN = 2'000'000'000'000'000'000;

declstore::CaptureRecords::Seen seen(std::int64_t time_ns, char hash_digit) {
  return {{.device = 2049, .inode = 77, .size = 12, .mtime_ns = time_ns, .ctime_ns = time_ns},
          std::string(64, hash_digit)};
}

// Two files a later capture may trust, one written as the capture began and one
// with an odd name.
declstore::CaptureRecords sample() {
  declstore::CaptureRecords records{.began_ns = BEGAN, .files = {}};
  records.files.emplace("src/app.py", seen(BEGAN - 1, 'a'));
  records.files.emplace("we\tird\nname.py", seen(1, 'b'));
  records.files.emplace("fresh.py", seen(BEGAN, 'c'));
  return records;
}

bool same(const declstore::CaptureRecords& a, const declstore::CaptureRecords& b) {
  if (a.began_ns != b.began_ns || a.files.size() != b.files.size()) return false;
  return std::all_of(a.files.begin(), a.files.end(), [&](const auto& entry) {
    auto found = b.files.find(entry.first);
    return found != b.files.end() && found->second.identity == entry.second.identity &&
           found->second.file_hash == entry.second.file_hash;
  });
}

// The bytes with a valid digest over a changed body: damage the digest alone
// would not catch.
std::string resigned(std::string bytes, const std::function<void(std::string&)>& change) {
  bytes.resize(bytes.size() - 64);
  change(bytes);
  return bytes + core::sha256_hex(bytes);
}

TEST(CaptureRecord, KeepsWhatALaterCaptureCanTrustAndReadsItBack) {
  const std::string bytes = encode_capture_record(sample(), SNAPSHOT, REPO);
  std::optional<declstore::CaptureRecords> decoded = decode_capture_record(bytes, SNAPSHOT, REPO);
  ASSERT_TRUE(decoded.has_value());
  declstore::CaptureRecords trusted = sample();
  trusted.files.erase("fresh.py");  // written as the capture began: never trusted later
  EXPECT_TRUE(same(*decoded, trusted));
  EXPECT_EQ(encode_capture_record(*decoded, SNAPSHOT, REPO), bytes);
}

struct RejectedCase {
  std::string name;
  std::function<std::string(const std::string&)> bytes;
  std::string snapshot = SNAPSHOT;
  fs::path repo = REPO;
};

TEST(CaptureRecord, AStaleForeignOrDamagedRecordIsNeverTrusted) {
  const std::string good = encode_capture_record(sample(), SNAPSHOT, REPO);
  const auto as_is = [](const std::string& bytes) { return bytes; };
  const std::vector<RejectedCase> cases = {
      {"of another snapshot", as_is, "index-abc-ffffffffffffffffffffffffffffffff.db"},
      {"of another repository", as_is, SNAPSHOT, "/work/other"},
      {"empty", [](const std::string&) { return std::string(); }},
      {"cut short", [](const std::string& bytes) { return bytes.substr(0, bytes.size() / 2); }},
      {"one byte changed",
       [](const std::string& bytes) {
         std::string changed = bytes;
         changed[changed.size() / 2] ^= 1;
         return changed;
       }},
      {"another format", [](const std::string& bytes) { return resigned(bytes, [](std::string& b) { b[22] = '2'; }); }},
      {"a count beyond its files",
       [](const std::string& bytes) {
         return resigned(bytes, [](std::string& b) { b.replace(b.find(std::string("\0002\0", 3)), 3, std::string("\0003\0", 3)); });
       }},
      {"a size that is not a number",
       [](const std::string& bytes) {
         return resigned(bytes, [](std::string& b) { b.replace(b.find(std::string("\00012\0", 4)), 4, std::string("\0001x\0", 4)); });
       }},
      {"a hash that is not one",
       [](const std::string& bytes) {
         return resigned(bytes, [](std::string& b) { b.replace(b.find(std::string(64, 'a')), 1, "A"); });
       }},
      {"trailing fields", [](const std::string& bytes) { return resigned(bytes, [](std::string& b) { b += "x"; }); }},
  };
  for (const RejectedCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(decode_capture_record(c.bytes(good), c.snapshot, c.repo).has_value());
  }
}

class StoredCaptureRecord : public ::testing::Test {
 protected:
  StoredCaptureRecord() : data_(core::ScratchDir::create("kolvex-record-")) {
    fs::create_directories(platform::index_dir("api", data_.path()));
  }

  void point_to(const std::string& name) const {
    core::write_file(platform::index_dir("api", data_.path()) / platform::POINTER_NAME, name);
  }

  std::optional<declstore::CaptureRecords> load() const { return load_capture_record("api", data_.path(), REPO); }

  std::vector<std::string> record_files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(capture_record_dir("api", data_.path()))) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  core::ScratchDir data_;
};

TEST_F(StoredCaptureRecord, OnlyTheRecordOfTheLiveSnapshotIsLoaded) {
  EXPECT_FALSE(load().has_value()) << "no record yet";
  store_capture_record("api", data_.path(), SNAPSHOT, REPO, sample());
  EXPECT_EQ(record_files(), std::vector<std::string>{"record"});
  EXPECT_FALSE(load().has_value()) << "no pointer";
  point_to(SNAPSHOT);
  ASSERT_TRUE(load().has_value());
  EXPECT_EQ(load()->files.size(), 2u);
  EXPECT_FALSE(load_capture_record("other", data_.path(), REPO).has_value()) << "another slug";
  point_to("index-abc-ffffffffffffffffffffffffffffffff.db");
  EXPECT_FALSE(load().has_value()) << "a newer snapshot went live without a record";
}

TEST_F(StoredCaptureRecord, AKilledWritersTemporaryFileIsRemovedAndNotRead) {
  point_to(SNAPSHOT);
  fs::create_directories(capture_record_dir("api", data_.path()));
  const std::string bytes = encode_capture_record(sample(), SNAPSHOT, REPO);
  core::write_file(capture_record_dir("api", data_.path()) / "record.tmp-12345", bytes);
  EXPECT_FALSE(load().has_value());
  remove_stale_capture_record_files("api", data_.path());
  EXPECT_EQ(record_files(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kolvex::pipeline::detail
