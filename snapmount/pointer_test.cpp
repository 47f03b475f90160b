#include "snapmount/pointer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "core/fs.h"

namespace kolvex::snapmount {
namespace {

namespace fs = std::filesystem;

constexpr const char* PROJECT = "local";
constexpr const char* REPO = "api";
constexpr const char* BRANCH = "default";

class PublishedLayout : public testing::Test {
 protected:
  PublishedLayout() : root_(core::ScratchDir::create("kolvex-snapmount-")) {}

  fs::path dir() const { return root_.path() / "scip" / PROJECT / REPO / BRANCH; }
  void write(const std::string& name, std::string_view bytes) const {
    fs::create_directories(dir());
    core::write_file(dir() / name, bytes);
  }
  std::string pointer() const { return read_pointer(root_.path(), PROJECT, REPO, BRANCH); }
  std::optional<IndexMetadata> metadata(std::string_view content) const {
    return read_metadata(root_.path(), PROJECT, REPO, BRANCH, content);
  }

  core::ScratchDir root_;
};

// The message and the cause of the IndexNotFoundError that `body` throws.
template <typename Body>
std::pair<std::string, std::exception_ptr> not_found(Body&& body) {
  try {
    body();
  } catch (const IndexNotFoundError& error) {
    return {error.what(), error.cause()};
  }
  ADD_FAILURE() << "no IndexNotFoundError";
  return {};
}

TEST_F(PublishedLayout, NothingPublishedIsIndexNotFoundCausedByTheMissingFile) {
  // No snapshot directory at all, then the directory without a pointer file.
  for (bool make_dir : {false, true}) {
    if (make_dir) fs::create_directories(dir());
    auto [message, cause] = not_found([&] { pointer(); });
    EXPECT_EQ(message, "no published index for local/api@default");
    ASSERT_TRUE(cause);
    try {
      std::rethrow_exception(cause);
    } catch (const core::OsError& error) {
      EXPECT_EQ(error.error_number(), ENOENT);
    }
  }
}

TEST_F(PublishedLayout, PointerContentIsTrimmedAndBlankPointersAreEmpty) {
  struct Case {
    std::string bytes;
    std::optional<std::string> content;  // none: "empty pointer file"
  };
  const Case cases[] = {
      {"index-abc-0123.db", "index-abc-0123.db"},
      {"index-abc-0123.db\n", "index-abc-0123.db"},
      {"  \tindex a b.db \r\n", "index a b.db"},
      {"\xe2\x80\x83index.db\xc2\x85", "index.db"},  // Unicode white space is trimmed too
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"\n\n\r\n\t", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    write("current", c.bytes);
    if (c.content) {
      EXPECT_EQ(pointer(), *c.content);
    } else {
      auto [message, cause] = not_found([&] { pointer(); });
      EXPECT_EQ(message, "empty pointer file for local/api@default");
      EXPECT_FALSE(cause);
    }
  }
}

TEST_F(PublishedLayout, PointerNamingAPathCountsAsNothingPublished) {
  for (std::string content : {"../other/index.db", "/etc/passwd", "..", ".", "sub/index.db"}) {
    SCOPED_TRACE(content);
    write("current", content + "\n");
    auto [message, cause] = not_found([&] { pointer(); });
    EXPECT_EQ(message, "pointer file for local/api@default does not name a file of its directory: '" + content + "'");
    EXPECT_FALSE(cause);
  }
}

TEST_F(PublishedLayout, OtherPointerFailuresPassThroughUnchanged) {
  fs::create_directories(dir() / "current");  // a directory in the pointer's place
  EXPECT_THROW(pointer(), core::OsError);
  fs::remove(dir() / "current");

  write("current", "index-\xff.db");
  EXPECT_THROW(pointer(), core::ValueError);
  fs::remove(dir() / "current");

  if (::geteuid() != 0) {  // root reads files whatever their mode
    write("current", "index.db");
    fs::permissions(dir() / "current", fs::perms::none);
    EXPECT_THROW(pointer(), core::OsError);
    fs::remove(dir() / "current");
  }

  // A component of the path that is a file, not a directory.
  fs::remove_all(root_.path() / "scip");
  fs::create_directories(root_.path() / "scip");
  core::write_file(root_.path() / "scip" / PROJECT, "not a directory");
  EXPECT_THROW(pointer(), core::OsError);
}

TEST_F(PublishedLayout, CoordinatesMustBeSinglePathComponents) {
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "../api", std::string("a\0b", 3)}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(read_pointer(root_.path(), bad, REPO, BRANCH), core::ValueError);
    EXPECT_THROW(read_pointer(root_.path(), PROJECT, bad, BRANCH), core::ValueError);
    EXPECT_THROW(read_pointer(root_.path(), PROJECT, REPO, bad), core::ValueError);
    EXPECT_THROW(read_metadata(root_.path(), PROJECT, bad, BRANCH, "index.db"), core::ValueError);
  }
  try {
    read_pointer(root_.path(), PROJECT, "../api", BRANCH);
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "snapshot repo must be a single path component: '../api'");
  }
}

TEST_F(PublishedLayout, MetadataSiblingName) {
  struct Case {
    std::string pointer;
    std::string sibling;
  };
  const Case cases[] = {
      {"index-abc-0123.db", "index-abc-0123.metadata.json"},
      {"index-abc-0123.DB", "index-abc-0123.DB.metadata.json"},
      {"index-abc-0123", "index-abc-0123.metadata.json"},
      {"index.db.db", "index.db.metadata.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pointer);
    write(c.sibling, R"({"generation": "g"})");
    std::optional<IndexMetadata> read = metadata(c.pointer);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->generation, "g");
    fs::remove(dir() / c.sibling);
    EXPECT_FALSE(metadata(c.pointer));
  }
}

TEST_F(PublishedLayout, MetadataThatIsNotAReadableObjectIsAbsent) {
  const std::string cases[] = {"", "{", "not json", "[1, 2]", "\"text\"", "42", "null", "true",
                               "{\"project\": \"\xff\"}"};
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    write("index-a.metadata.json", bytes);
    EXPECT_FALSE(metadata("index-a.db"));
  }
  fs::remove(dir() / "index-a.metadata.json");
  EXPECT_FALSE(metadata("index-a.db"));  // missing file
  fs::create_directories(dir() / "index-b.metadata.json");
  EXPECT_FALSE(metadata("index-b.db"));  // a directory in its place
  EXPECT_FALSE(metadata("../index-a.db"));  // not a file of the directory
}

TEST_F(PublishedLayout, MetadataMembers) {
  struct Case {
    std::string json;
    IndexMetadata expected;
  };
  const Case cases[] = {
      // Missing coordinates come from the arguments; the rest is absent.
      {"{}", {"local", "api", "default", std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
      // Null is absent, also for the coordinates.
      {R"({"project": null, "repo": null, "branch": null, "commit_sha": null, "generation": null})",
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
      // All seven as the publisher writes them; other members are ignored.
      {R"({"project": "p", "repo": "r", "branch": "b", "commit_sha": "c0ffee", "published_at": )"
       R"("2026-12-10T13:15:37+00:00", "generation": "0123abcd", "source_hash": "ff", "extra": [1]})",
       {"p", "r", "b", "c0ffee", "2026-12-10T13:15:37+00:00", "0123abcd", "ff"}},
      // Values are not type-checked: other JSON values are kept as their JSON text.
      {R"({"commit_sha": 5, "generation": true, "source_hash": {"a": 1}})",
       {"local", "api", "default", "5", std::nullopt, "true", "{\"a\": 1}"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    write("index-a.metadata.json", c.json);
    EXPECT_EQ(metadata("index-a.db"), c.expected);
  }
}

TEST_F(PublishedLayout, MetadataFollowsTheGivenContentNotTheCurrentPointer) {
  write("index-old.metadata.json", R"({"generation": "old"})");
  write("index-new.metadata.json", R"({"generation": "new"})");
  write("current", "index-new.db");
  EXPECT_EQ(metadata("index-old.db")->generation, "old");
}

}  // namespace
}  // namespace kolvex::snapmount
