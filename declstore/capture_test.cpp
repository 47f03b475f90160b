#include "declstore/capture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/hash.h"
#include "core/process.h"
#include "core/text.h"
#include "testkit/git_repo.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;
using testkit::GitRepo;

const std::string EMPTY_SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string ONE_MIB(MAX_SOURCE_BYTES, '#');

std::string digest_of(const std::vector<std::string>& fact_lines) {
  return core::sha256_hex(core::join(fact_lines, "\n"));
}

std::string fact(const std::string& path, const std::string& mode, bool in_scope, const std::string& hash) {
  return path + "\t" + mode + "\t" + (in_scope ? "1" : "0") + "\t" + hash;
}

// What one entry should yield; `captured` holds the bytes of a captured file.
struct Expected {
  std::string path;
  std::string mode;
  std::optional<std::string> language;
  bool in_scope;
  std::optional<std::string> reason;
  std::optional<std::string> captured;
};

// Stages index entries directly (mode, object, stage, path), e.g. unmerged entries.
void update_index(const GitRepo& repo, const std::string& index_info) {
  core::ProcessOptions options;
  options.env = GitRepo::git_environment();
  options.stdin_data = index_info;
  core::ProcessResult result =
      core::run_process({"git", "-C", repo.path().native(), "update-index", "--index-info"}, options);
  ASSERT_TRUE(result.ok()) << result.stderr_text();
}

std::string blob_of(const GitRepo& repo, const std::string& bytes) {
  repo.write(".blob-input", bytes);
  std::string sha = repo.git({"hash-object", "-w", ".blob-input"}).stdout_text();
  repo.remove(".blob-input");
  return std::string(core::strip(sha));
}

TEST(CaptureTest, EveryKindOfEntryGetsItsRecordFactLineAndCopy) {
  GitRepo repo = GitRepo::init();
  const std::string app = "def main():\n    return 1\n";
  const std::string odd_name = "we\tird\nname.py";
  const std::string latin1_name = "caf\xe9.py";
  repo.write("src/app.py", app);
  repo.write("README.md", "# readme\n");
  repo.write("node_modules/lib/index.js", "module.exports = 1;\n");
  repo.write("pkg/build", "echo not a directory\n");  // a file named like an ignored directory
  repo.write("exact.py", ONE_MIB);
  repo.write("over.py", ONE_MIB + "#");
  repo.write(odd_name, "x = 1\n");
  repo.write(latin1_name, "y = 2\n");
  repo.write("swapped.py", "z = 3\n");
  repo.symlink("link.py", "src/app.py");
  repo.symlink("dist/link.py", "../src/app.py");
  repo.add();
  repo.add_gitlink("vendor/sub", "0123456789abcdef0123456789abcdef01234567");
  repo.add_gitlink("dist/sub", "0123456789abcdef0123456789abcdef01234567");
  repo.commit();
  // A regular entry in the index whose working-tree file became a symbolic link.
  repo.remove("swapped.py");
  repo.symlink("swapped.py", "src/app.py");

  std::vector<Expected> expected = {
      {"src/app.py", "100644", "python", true, std::nullopt, app},
      {"README.md", "100644", std::nullopt, true, "unsupported extension", std::nullopt},
      {"node_modules/lib/index.js", "100644", std::nullopt, false, "ignored directory", std::nullopt},
      {"pkg/build", "100644", std::nullopt, false, "ignored directory", std::nullopt},
      {"exact.py", "100644", "python", true, std::nullopt, ONE_MIB},
      {"over.py", "100644", "python", true, "file exceeds 1 MiB syntax limit", std::nullopt},
      {odd_name, "100644", "python", true, std::nullopt, "x = 1\n"},
      {latin1_name, "100644", "python", true, std::nullopt, "y = 2\n"},
      {"swapped.py", "100644", std::nullopt, false, "symlink", std::nullopt},
      {"link.py", "120000", std::nullopt, false, "symlink", std::nullopt},
      {"dist/link.py", "120000", std::nullopt, false, "symlink", std::nullopt},
      {"vendor/sub", "160000", std::nullopt, false, "submodule", std::nullopt},
      {"dist/sub", "160000", std::nullopt, false, "submodule", std::nullopt},
  };
  // git lists the index in byte order of the paths.
  std::sort(expected.begin(), expected.end(), [](const Expected& a, const Expected& b) { return a.path < b.path; });

  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  const fs::path copies = scratch.path() / "missing" / "parents";
  SourceManifest manifest = capture_sources(repo.path(), copies);

  // The copies lie back to back in the pack, in listing order.
  const fs::path pack = copies / "sources.pack";
  std::vector<CapturedFile> want_records;
  std::vector<std::string> want_facts;
  std::string want_pack;
  for (const Expected& e : expected) {
    CapturedFile record{e.path, e.language, std::nullopt, std::nullopt, e.in_scope, e.reason};
    std::string hash;
    if (e.captured) {
      hash = core::sha256_hex(*e.captured);
      record.file_hash = hash;
      record.source_path = pack;
      record.copy_offset = want_pack.size();
      record.copy_size = e.captured->size();
      want_pack += *e.captured;
    }
    want_records.push_back(record);
    want_facts.push_back(fact(e.path, e.mode, e.in_scope, hash));
  }
  EXPECT_EQ(manifest.files, want_records);
  EXPECT_EQ(manifest.source_hash, digest_of(want_facts));
  for (const CapturedFile& record : manifest.files) {
    if (record.file_hash) {
      EXPECT_EQ(core::sha256_hex(read_captured_bytes(record)), *record.file_hash);
    }
  }
  // The pack holds exactly the captured bytes, and nothing else is in the scratch directory.
  EXPECT_EQ(core::read_file(pack), want_pack);
  std::size_t files_in_scratch = std::distance(fs::directory_iterator(copies), fs::directory_iterator());
  EXPECT_EQ(files_in_scratch, 1u);
  EXPECT_NO_THROW(validate_sources(repo.path(), manifest));
}

TEST(CaptureTest, EmptyRepositoryHasNoRecordsAndTheDigestOfEmptyInput) {
  GitRepo repo = GitRepo::init();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  SourceManifest manifest = capture_sources(repo.path(), scratch.path());
  EXPECT_TRUE(manifest.files.empty());
  EXPECT_EQ(manifest.source_hash, EMPTY_SHA256);
}

TEST(CaptureTest, UnmergedEntriesAreLeftOut) {
  GitRepo repo = GitRepo::init();
  repo.write("a.py", "a = 1\n");
  repo.add();
  const std::string blob = blob_of(repo, "c = 1\n");
  update_index(repo, "100644 " + blob + " 1\tconflict.py\n100644 " + blob + " 2\tconflict.py\n100644 " + blob +
                         " 3\tconflict.py\n");
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  SourceManifest manifest = capture_sources(repo.path(), scratch.path());
  ASSERT_EQ(manifest.files.size(), 1u);
  EXPECT_EQ(manifest.files[0].file_path, "a.py");
  EXPECT_EQ(manifest.source_hash, digest_of({fact("a.py", "100644", true, core::sha256_hex("a = 1\n"))}));
}

TEST(CaptureTest, CapturingIntoAnExistingScratchDirectoryReplacesOldCopies) {
  GitRepo repo = GitRepo::init();
  repo.write("a.py", "a = 1\n");
  repo.commit_all();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  core::write_file(scratch.path() / "sources.pack", "stale bytes that are longer than the new ones\n");
  SourceManifest manifest = capture_sources(repo.path(), scratch.path());
  ASSERT_EQ(manifest.files.size(), 1u);
  EXPECT_EQ(core::read_file(scratch.path() / "sources.pack"), "a = 1\n");
}

// Reading a copy back: exactly its slice of the pack, a whole file when no size
// is recorded, and clear failures for an entry without a copy or a cut pack.
TEST(CaptureTest, CapturedBytesAreReadFromTheirSliceOnly) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  const fs::path pack = scratch.path() / "sources.pack";
  core::write_file(pack, "firstsecondthird");
  CapturedFile second{"b.py", "python", "hash", pack, true, std::nullopt, 5, 6};
  EXPECT_EQ(read_captured_bytes(second), "second");
  CapturedFile empty{"e.py", "python", "hash", pack, true, std::nullopt, 16, 0};
  EXPECT_EQ(read_captured_bytes(empty), "");
  CapturedFile whole{"w.py", "python", "hash", pack, true, std::nullopt};
  EXPECT_EQ(read_captured_bytes(whole), "firstsecondthird");

  CapturedFile past_the_end{"c.py", "python", "hash", pack, true, std::nullopt, 11, 6};
  try {
    read_captured_bytes(past_the_end);
    ADD_FAILURE() << "expected OsError";
  } catch (const core::OsError& error) {
    EXPECT_EQ(error.message(), "captured copy is shorter than recorded: " + core::quote(pack.native()));
  }
  CapturedFile no_copy{"d.py", "python", std::nullopt, std::nullopt, true, std::string(REASON_TOO_LARGE)};
  try {
    read_captured_bytes(no_copy);
    ADD_FAILURE() << "expected ValueError";
  } catch (const core::ValueError& error) {
    EXPECT_EQ(error.message(), "no captured copy of 'd.py'");
  }
  // A link swapped in for the pack is never followed.
  fs::create_symlink(pack, scratch.path() / "link.pack");
  EXPECT_THROW(read_captured_slice(scratch.path() / "link.pack", 0, 5), core::OsError);
}

TEST(CaptureTest, ANonRepositoryFailsWithGitsOwnMessage) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  const fs::path not_repo = scratch.path() / "plain";
  fs::create_directories(not_repo);
  core::ProcessOptions options;
  options.env = GitRepo::git_environment();
  core::ProcessResult git =
      core::run_process({"git", "-C", not_repo.string(), "ls-files", "--stage", "-z"}, options);
  ASSERT_FALSE(git.ok());
  try {
    capture_sources(not_repo, scratch.path() / "copies");
    FAIL() << "expected SourceCaptureError";
  } catch (const SourceCaptureError& error) {
    EXPECT_EQ(error.message(), not_repo.string() + " is not a git repository (git ls-files --stage: " +
                                   std::string(core::strip(git.stderr_text())) + ")");
  }
}

// A sparse checkout leaves entries out of the working tree on purpose: those are
// out of scope, whatever their suffix, and a revalidation agrees with the
// capture. An entry with the skip-worktree bit whose file is there is captured as
// before, and a tracked file deleted by hand still fails the capture.
TEST(CaptureTest, EntriesOutsideASparseCheckoutAreOutOfScope) {
  GitRepo repo = GitRepo::init();
  repo.write("keep/a.py", "a = 1\n");
  repo.write("gone/b.py", "b = 2\n");
  repo.write("gone/notes.md", "# notes\n");
  repo.write("gone/node_modules/c.js", "c;\n");
  repo.write("top.py", "t = 3\n");
  repo.symlink("gone/link.py", "b.py");
  repo.commit_all();
  repo.git({"sparse-checkout", "set", "keep"});
  ASSERT_FALSE(fs::exists(repo / "gone"));
  ASSERT_TRUE(fs::exists(repo / "top.py"));  // the top level stays in a cone-mode checkout
  repo.git({"update-index", "--skip-worktree", "top.py"});

  const std::string sparse(REASON_SPARSE);
  EXPECT_EQ(sparse, "outside sparse checkout");
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  SourceManifest manifest = capture_sources(repo.path(), scratch.path());
  const fs::path pack = scratch.path() / "sources.pack";
  const std::vector<CapturedFile> want = {
      {"gone/b.py", std::nullopt, std::nullopt, std::nullopt, false, sparse},
      {"gone/link.py", std::nullopt, std::nullopt, std::nullopt, false, "symlink"},
      {"gone/node_modules/c.js", std::nullopt, std::nullopt, std::nullopt, false, "ignored directory"},
      {"gone/notes.md", std::nullopt, std::nullopt, std::nullopt, false, sparse},
      {"keep/a.py", "python", core::sha256_hex("a = 1\n"), pack, true, std::nullopt, 0, 6},
      {"top.py", "python", core::sha256_hex("t = 3\n"), pack, true, std::nullopt, 6, 6},
  };
  EXPECT_EQ(manifest.files, want);
  EXPECT_EQ(manifest.source_hash,
            digest_of({fact("gone/b.py", "100644", false, ""), fact("gone/link.py", "120000", false, ""),
                       fact("gone/node_modules/c.js", "100644", false, ""), fact("gone/notes.md", "100644", false, ""),
                       fact("keep/a.py", "100644", true, core::sha256_hex("a = 1\n")),
                       fact("top.py", "100644", true, core::sha256_hex("t = 3\n"))}));
  EXPECT_NO_THROW(validate_sources(repo.path(), manifest));

  // Widening the checkout brings the files back into scope.
  repo.git({"sparse-checkout", "add", "gone"});
  ASSERT_TRUE(fs::exists(repo / "gone/b.py"));
  EXPECT_THROW(validate_sources(repo.path(), manifest), SourceChangedError);

  repo.remove("keep/a.py");
  try {
    capture_sources(repo.path(), scratch.path() / "again");
    ADD_FAILURE() << "expected SourceCaptureError";
  } catch (const SourceCaptureError& error) {
    EXPECT_EQ(error.message(), "tracked file disappeared: keep/a.py");
  }
}

// A tracked eligible file that cannot be examined or read fails a capture with a
// SourceCaptureError that keeps the OS error, and changes the digest of a
// revalidation instead of failing it. The FIFO must fail at once, never block.
struct UnreadableCase {
  std::string name;
  std::function<void(const GitRepo&)> break_file;
  std::string capture_message;
};

TEST(CaptureTest, UnexaminableOrUnreadableFilesFailCaptureAndChangeTheDigest) {
  const std::vector<UnreadableCase> cases = {
      {"deleted", [](const GitRepo& repo) { repo.remove("app.py"); }, "tracked file disappeared: app.py"},
      {"fifo",
       [](const GitRepo& repo) {
         repo.remove("app.py");
         ASSERT_EQ(::mkfifo((repo / "app.py").c_str(), 0644), 0);
       },
       "failed to read tracked file: app.py"},
      {"directory",
       [](const GitRepo& repo) {
         repo.remove("app.py");
         fs::create_directory(repo / "app.py");
       },
       "failed to read tracked file: app.py"},
  };
  for (const UnreadableCase& c : cases) {
    SCOPED_TRACE(c.name);
    GitRepo repo = GitRepo::init();
    repo.write("app.py", "a = 1\n");
    repo.commit_all();
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
    SourceManifest manifest = capture_sources(repo.path(), scratch.path());
    c.break_file(repo);
    try {
      capture_sources(repo.path(), scratch.path() / "again");
      ADD_FAILURE() << "expected SourceCaptureError";
    } catch (const SourceCaptureError& error) {
      EXPECT_EQ(error.message(), c.capture_message);
      EXPECT_TRUE(error.cause() != nullptr);
    }
    EXPECT_THROW(validate_sources(repo.path(), manifest), SourceChangedError);
  }
}

// What revalidation detects, each case starting from a repository with a
// captured, an oversized, an unsupported and an out-of-scope file.
struct RevalidationCase {
  std::string name;
  std::function<void(const GitRepo&)> change;
  bool passes;
};

TEST(CaptureTest, RevalidationDetectsChangesOfEligibleSourcesOnly) {
  const std::vector<RevalidationCase> cases = {
      {"nothing changed", [](const GitRepo&) {}, true},
      {"captured file edited", [](const GitRepo& repo) { repo.write("app.py", "a = 2\n"); }, false},
      {"oversized file edited", [](const GitRepo& repo) { repo.write("big.py", ONE_MIB + "##"); }, true},
      {"unsupported file edited", [](const GitRepo& repo) { repo.write("notes.txt", "changed\n"); }, true},
      {"out-of-scope file edited",
       [](const GitRepo& repo) { repo.write("node_modules/m.js", "changed();\n"); }, true},
      {"unsupported file deleted", [](const GitRepo& repo) { repo.remove("notes.txt"); }, true},
      {"captured file deleted", [](const GitRepo& repo) { repo.remove("app.py"); }, false},
      {"oversized file deleted", [](const GitRepo& repo) { repo.remove("big.py"); }, false},
      {"oversized file shrank", [](const GitRepo& repo) { repo.write("big.py", "small = 1\n"); }, false},
      {"captured file grew over the limit", [](const GitRepo& repo) { repo.write("app.py", ONE_MIB + "#"); }, false},
      {"entry removed from the index", [](const GitRepo& repo) { repo.git({"rm", "-q", "--cached", "app.py"}); },
       false},
      {"entry added to the index",
       [](const GitRepo& repo) {
         repo.write("new.txt", "new\n");
         repo.add({"new.txt"});
       },
       false},
      {"captured content staged", [](const GitRepo& repo) { repo.add({"app.py"}); }, true},
      {"permission bits changed", [](const GitRepo& repo) { fs::permissions(repo / "app.py", fs::perms::owner_exec,
                                                                            fs::perm_options::add); },
       true},
      {"captured file replaced by a link",
       [](const GitRepo& repo) {
         repo.remove("app.py");
         repo.symlink("app.py", "notes.txt");
       },
       false},
  };
  for (const RevalidationCase& c : cases) {
    SCOPED_TRACE(c.name);
    GitRepo repo = GitRepo::init();
    repo.write("app.py", "a = 1\n");
    repo.write("big.py", ONE_MIB + "#");
    repo.write("notes.txt", "notes\n");
    repo.write("node_modules/m.js", "m();\n");
    repo.commit_all();
    // The work tree differs from the index here; staging it later changes only the object name.
    repo.write("app.py", "a = 1  # edited before capture\n");
    repo.git({"config", "core.fileMode", "true"});
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
    SourceManifest manifest = capture_sources(repo.path(), scratch.path());
    c.change(repo);
    if (c.passes) {
      EXPECT_NO_THROW(validate_sources(repo.path(), manifest));
    } else {
      try {
        validate_sources(repo.path(), manifest);
        ADD_FAILURE() << "expected SourceChangedError";
      } catch (const SourceChangedError& error) {
        EXPECT_EQ(error.message(), "tracked sources changed since capture in " + repo.path().string());
      }
    }
  }
}

// Revalidation with the capture's records takes the hash of a file that looks as
// it did and was last written before the capture began; everything else is read
// again. The files are dated in the past and the test waits until the clock that
// stamps files has passed their change times, so that the capture's records are
// trusted. A wrong hash put into a trusted record shows that it is used.
struct RecordsCase {
  std::string name;
  std::function<void(const GitRepo&)> change;
  std::function<void(CaptureRecords&)> tamper;
  bool passes;
};

std::int64_t coarse_clock_ns() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Dates `path` in 2001 and waits until the coarse clock has passed its change time.
void make_old(const fs::path& path) {
  const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  struct stat status {};
  ASSERT_EQ(::lstat(path.c_str(), &status), 0);
  const std::int64_t changed = static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
  while (coarse_clock_ns() <= changed) ::usleep(1000);
}

// A repository of app.py and lib.py, both last changed well before any capture
// that follows.
GitRepo repo_of_two_old_files() {
  GitRepo repo = GitRepo::init();
  repo.write("app.py", "a = 1\n");
  repo.write("lib.py", "b = 1\n");
  repo.commit_all();
  make_old(repo / "app.py");
  make_old(repo / "lib.py");
  return repo;
}

TEST(CaptureTest, RevalidationTrustsOnlyRecordsOfFilesThatCannotHaveChanged) {
  const auto wrong_hash = [](CaptureRecords& records) { records.files.at("app.py").file_hash = EMPTY_SHA256; };
  const std::vector<RecordsCase> cases = {
      {"nothing changed", [](const GitRepo&) {}, [](CaptureRecords&) {}, true},
      {"a trusted record is used", [](const GitRepo&) {}, wrong_hash, false},
      {"captured file edited", [](const GitRepo& repo) { repo.write("app.py", "a = 22\n"); },
       [](CaptureRecords&) {}, false},
      {"captured file rewritten with the same size and modification time",
       [](const GitRepo& repo) {
         repo.write("app.py", "a = 2\n");
         const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, (repo / "app.py").c_str(), times, 0), 0);
       },
       [](CaptureRecords&) {}, false},
      {"captured file replaced by a copy of itself",
       [](const GitRepo& repo) {
         fs::copy_file(repo / "app.py", repo / "copy.tmp");
         fs::rename(repo / "copy.tmp", repo / "app.py");
       },
       wrong_hash, true},
      {"a record not older than the capture's beginning",
       [](const GitRepo&) {},
       [&](CaptureRecords& records) {
         wrong_hash(records);
         records.began_ns = records.files.at("app.py").identity.ctime_ns;
       },
       true},
      {"a record of another size",
       [](const GitRepo&) {},
       [&](CaptureRecords& records) {
         wrong_hash(records);
         records.files.at("app.py").identity.size += 1;
       },
       true},
      {"a record of another inode",
       [](const GitRepo&) {},
       [&](CaptureRecords& records) {
         wrong_hash(records);
         records.files.at("app.py").identity.inode += 1;
       },
       true},
      {"a record of another modification time",
       [](const GitRepo&) {},
       [&](CaptureRecords& records) {
         wrong_hash(records);
         records.files.at("app.py").identity.mtime_ns -= 1;
       },
       true},
      {"no record of the file",
       [](const GitRepo&) {},
       [](CaptureRecords& records) { records.files.erase("app.py"); },
       true},
  };
  for (const RecordsCase& c : cases) {
    SCOPED_TRACE(c.name);
    GitRepo repo = repo_of_two_old_files();
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
    CaptureRecords records;
    SourceManifest manifest = capture_sources(repo.path(), scratch.path(), {.records = &records});
    ASSERT_EQ(records.files.size(), 2u);
    EXPECT_EQ(records.files.at("app.py").file_hash, core::sha256_hex("a = 1\n"));
    c.change(repo);
    c.tamper(records);
    if (c.passes) {
      EXPECT_NO_THROW(validate_sources(repo.path(), manifest, 0, &records));
    } else {
      EXPECT_THROW(validate_sources(repo.path(), manifest, 0, &records), SourceChangedError);
    }
  }
}

// A capture given an earlier capture's records reads only the files that may
// have changed since; a file it skips names the working-tree file as its copy,
// and reading that copy checks the bytes against the recorded hash. A wrong hash
// put into a record shows whether the record was used.
struct KnownCase {
  std::string name;
  std::function<void(const GitRepo&)> change;
  std::function<void(CaptureRecords&)> tamper;
  bool skipped;
};

TEST(CaptureTest, CaptureSkipsOnlyFilesThatCannotHaveChangedSinceTheEarlierRecords) {
  const auto wrong_hash = [](CaptureRecords& records) { records.files.at("app.py").file_hash = EMPTY_SHA256; };
  const std::vector<KnownCase> cases = {
      {"nothing changed", [](const GitRepo&) {}, [](CaptureRecords&) {}, true},
      {"a trusted record is used", [](const GitRepo&) {}, wrong_hash, true},
      {"rewritten with the same size and modification time",
       [](const GitRepo& repo) {
         repo.write("app.py", "a = 2\n");
         const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, (repo / "app.py").c_str(), times, 0), 0);
       },
       wrong_hash, false},
      {"a record not older than its capture's beginning", [](const GitRepo&) {},
       [&](CaptureRecords& records) {
         wrong_hash(records);
         records.began_ns = records.files.at("app.py").identity.ctime_ns;
       },
       false},
      {"a record of another change time", [](const GitRepo&) {},
       [&](CaptureRecords& records) {
         wrong_hash(records);
         records.files.at("app.py").identity.ctime_ns -= 1;
       },
       false},
      {"no record of the file", [](const GitRepo&) {}, [](CaptureRecords& records) { records.files.erase("app.py"); },
       false},
  };
  for (const KnownCase& c : cases) {
    SCOPED_TRACE(c.name);
    GitRepo repo = repo_of_two_old_files();
    core::ScratchDir earlier_scratch = core::ScratchDir::create("kolvex-capture-");
    CaptureRecords earlier;
    capture_sources(repo.path(), earlier_scratch.path(), {.records = &earlier});
    c.change(repo);
    c.tamper(earlier);
    const std::string bytes = core::read_file(repo / "app.py");

    core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
    CaptureRecords records;
    SourceManifest manifest = capture_sources(repo.path(), scratch.path(), {.records = &records, .known = &earlier});
    ASSERT_EQ(manifest.files.size(), 2u);
    const CapturedFile& app = manifest.files[0];
    ASSERT_EQ(app.file_path, "app.py");
    EXPECT_EQ(app.unread, c.skipped);
    EXPECT_EQ(records.files.at("app.py").file_hash, *app.file_hash);
    if (!c.skipped) {
      EXPECT_EQ(app.file_hash, core::sha256_hex(bytes));
      EXPECT_EQ(app.source_path, scratch.path() / COPY_PACK_NAME);
      EXPECT_EQ(read_captured_bytes(app), bytes);
      continue;
    }
    EXPECT_EQ(app.file_hash, earlier.files.at("app.py").file_hash);
    EXPECT_EQ(app.source_path, repo / "app.py");
    EXPECT_EQ(app.copy_size, bytes.size());
    if (app.file_hash == core::sha256_hex(bytes)) {
      EXPECT_EQ(read_captured_bytes(app), bytes);
    } else {
      try {
        read_captured_bytes(app);
        ADD_FAILURE() << "expected SourceChangedError";
      } catch (const SourceChangedError& error) {
        EXPECT_EQ(error.message(), "tracked sources changed since capture in " + repo.path().string());
      }
    }
  }
}

TEST(CaptureTest, ASkippedFileChangedAfterTheCaptureFailsWhenItsCopyIsRead) {
  GitRepo repo = GitRepo::init();
  repo.write("app.py", "a = 1\n");
  repo.commit_all();
  make_old(repo / "app.py");
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
  CaptureRecords earlier;
  capture_sources(repo.path(), scratch.path(), {.records = &earlier});
  SourceManifest manifest = capture_sources(repo.path(), scratch.path(), {.known = &earlier});
  ASSERT_TRUE(manifest.files[0].unread);
  for (const std::string& changed : {std::string("a = 2\n"), std::string("a = 22\n")}) {
    repo.write("app.py", changed);
    EXPECT_THROW(read_captured_bytes(manifest.files[0]), SourceChangedError) << changed;
  }
  repo.remove("app.py");
  EXPECT_THROW(read_captured_bytes(manifest.files[0]), SourceChangedError);
}

// Directory links: into the repository they are followed; out of it an eligible
// file below them fails both capture and revalidation, while files that are never
// examined cause no failure.
struct LinkedDirectoryCase {
  std::string name;
  std::string tracked;  // file tracked below the linked directory
  bool outside;
  std::optional<std::string> error;
  std::string linked = "lib";  // the directory replaced by a link
};

TEST(CaptureTest, DirectoryLinksLeadingOutOfTheRepositoryAreRefused) {
  const std::vector<LinkedDirectoryCase> cases = {
      {"eligible file, link outside", "lib/mod.py", true, "tracked path escapes repository: 'lib/mod.py'"},
      {"quote in the name", "lib/it's.py", true, "tracked path escapes repository: \"lib/it's.py\""},
      {"unsupported file, link outside", "lib/notes.txt", true, std::nullopt},
      {"eligible file, link inside", "lib/mod.py", false, std::nullopt},
      {"eligible file deeper below, link outside", "lib/deep/er/mod.py", true,
       "tracked path escapes repository: 'lib/deep/er/mod.py'"},
      {"eligible file deeper below, link inside", "lib/deep/er/mod.py", false, std::nullopt},
      {"link below a real directory, outside", "src/lib/mod.py", true,
       "tracked path escapes repository: 'src/lib/mod.py'", "src/lib"},
      {"link below a real directory, inside", "src/lib/deep/mod.py", false, std::nullopt, "src/lib"},
  };
  for (const LinkedDirectoryCase& c : cases) {
    SCOPED_TRACE(c.name);
    GitRepo repo = GitRepo::init();
    repo.write(c.tracked, "value = 1\n");
    repo.commit_all();
    // Replace the tracked directory with a link to a copy of it.
    const fs::path target = c.outside ? repo.scratch() / "outside" : repo.path() / "real";
    fs::create_directories(target);
    fs::copy(repo / c.linked, target, fs::copy_options::recursive);
    repo.remove(c.linked);
    repo.symlink(c.linked, target.string());

    core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-");
    if (c.error) {
      for (int mode = 0; mode < 2; ++mode) {
        try {
          if (mode == 0) {
            capture_sources(repo.path(), scratch.path());
          } else {
            validate_sources(repo.path(), SourceManifest{{}, EMPTY_SHA256});
          }
          ADD_FAILURE() << "expected SourceCaptureError";
        } catch (const SourceCaptureError& error) {
          EXPECT_EQ(error.message(), *c.error);
        }
      }
    } else {
      SourceManifest manifest = capture_sources(repo.path(), scratch.path());
      ASSERT_EQ(manifest.files.size(), 1u);
      EXPECT_EQ(manifest.files[0].file_path, c.tracked);
      if (manifest.files[0].source_path) {
        EXPECT_EQ(read_captured_bytes(manifest.files[0]), "value = 1\n");
      }
      EXPECT_NO_THROW(validate_sources(repo.path(), manifest));
    }
  }
}

}  // namespace
}  // namespace kolvex::declstore
