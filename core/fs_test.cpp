#include "core/fs.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

namespace kolvex::core {
namespace {

namespace fs = std::filesystem;

// Writes `size` bytes to `path` and returns them: a pattern that repeats only
// every 251 bytes, so that a copy which drops, repeats or misplaces a block of
// its buffer does not compare equal.
std::string write_patterned(const fs::path& path, std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 31 % 251);
  write_file(path, content);
  return content;
}

TEST(Fs, ScratchDirIsRemovedWithItsContents) {
  ScratchDir parent = ScratchDir::create("kolvex-fs-");
  fs::path kept_path;
  {
    ScratchDir scratch = ScratchDir::create("work-", parent.path());
    kept_path = scratch.path();
    EXPECT_EQ(kept_path.parent_path(), fs::absolute(parent.path()));
    EXPECT_TRUE(kept_path.filename().native().starts_with("work-"));
    fs::create_directories(kept_path / "a" / "b");
    write_file(kept_path / "a" / "b" / "f", "x");
    // A directory without write permission does not stop the removal.
    ::chmod((kept_path / "a").c_str(), 0500);
  }
  EXPECT_FALSE(fs::exists(kept_path));

  ScratchDir explicit_removal = ScratchDir::create("work-", parent.path());
  const fs::path path = explicit_removal.path();
  ScratchDir moved = std::move(explicit_removal);
  EXPECT_TRUE(explicit_removal.removed());
  EXPECT_EQ(moved.path(), path);
  moved.remove();
  moved.remove();  // idempotent
  EXPECT_TRUE(moved.removed());
  EXPECT_FALSE(fs::exists(path));

  EXPECT_THROW(ScratchDir::create("x-", parent.path() / "missing"), OsError);
}

TEST(Fs, AtomicWriteReplacesAndLeavesNoTemporaryFile) {
  ScratchDir scratch = ScratchDir::create("kolvex-fs-");
  const fs::path target = scratch.path() / "current";
  write_file_atomic(target, "first");
  EXPECT_EQ(read_file(target), "first");
  ::chmod(target.c_str(), 0640);
  write_file_atomic(target, std::string("second\0", 7));
  EXPECT_EQ(read_file(target), std::string("second\0", 7));
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), fs::directory_iterator()), 1);

  write_file_synced(scratch.path() / "synced", "s");
  EXPECT_EQ(read_file(scratch.path() / "synced"), "s");
  fsync_file(target);
  fsync_directory(scratch.path());
  EXPECT_THROW(write_file_atomic(scratch.path() / "missing" / "x", "y"), OsError);
}

TEST(Fs, StartedWritebackLeavesTheFileAsItIsAndIgnoresWhatItCannotOpen) {
  ScratchDir scratch = ScratchDir::create("kolvex-fs-");
  const fs::path file = scratch.path() / "large";
  const std::string content = write_patterned(file, 3 * 1024 * 1024 + 17);
  start_writeback(file);
  fsync_file(file);
  EXPECT_EQ(read_file(file), content);
  // A file that is gone, or a directory, is no error: the sync that follows reports.
  start_writeback(scratch.path() / "missing");
  start_writeback(scratch.path());
  EXPECT_EQ(read_file(file), content);
}

TEST(Fs, OpenRegularFileRefusesLinksAndSpecialFilesPromptly) {
  ScratchDir scratch = ScratchDir::create("kolvex-fs-");
  const fs::path regular = scratch.path() / "regular";
  write_file(regular, "content");
  fs::create_symlink(regular, scratch.path() / "link");
  ASSERT_EQ(::mkfifo((scratch.path() / "fifo").c_str(), 0600), 0);
  fs::create_directory(scratch.path() / "dir");

  UniqueFd fd = open_regular_file_nofollow(regular);
  EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(read_all(fd.get()), "content");

  struct Case {
    std::string name;
    int error_number;
    std::string message;
  };
  const std::string dir = scratch.path().native();
  const std::vector<Case> cases = {
      {"link", ELOOP, "[Errno 40] Too many levels of symbolic links: '" + dir + "/link'"},
      {"fifo", EINVAL, "not a regular file: '" + dir + "/fifo'"},
      {"dir", EINVAL, "not a regular file: '" + dir + "/dir'"},
      {"missing", ENOENT, "[Errno 2] No such file or directory: '" + dir + "/missing'"},
  };
  for (const Case& c : cases) {
    try {
      open_regular_file_nofollow(scratch.path() / c.name);
      ADD_FAILURE() << c.name << " was opened";
    } catch (const OsError& error) {
      EXPECT_EQ(error.error_number(), c.error_number) << c.name;
      EXPECT_EQ(error.message(), c.message);
    }
  }
}

TEST(Fs, ReadAllHonoursTheBound) {
  ScratchDir scratch = ScratchDir::create("kolvex-fs-");
  write_file(scratch.path() / "ten", "0123456789");
  UniqueFd exact(::open((scratch.path() / "ten").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(read_all(exact.get(), 10), "0123456789");
  UniqueFd over(::open((scratch.path() / "ten").c_str(), O_RDONLY | O_CLOEXEC));
  try {
    read_all(over.get(), 9);
    FAIL();
  } catch (const OsError& error) {
    EXPECT_EQ(error.error_number(), EFBIG);
  }
}

TEST(Fs, OsErrorReadsLikePython) {
  const struct {
    int error_number;
    fs::path path;
    std::string message;
    std::string type_name;
  } cases[] = {
      {ENOENT, "/x/y", "[Errno 2] No such file or directory: '/x/y'", "FileNotFoundError"},
      {EACCES, "it's", "[Errno 13] Permission denied: \"it's\"", "PermissionError"},
      {EEXIST, "tab\tname", "[Errno 17] File exists: 'tab\\tname'", "FileExistsError"},
      {EIO, "d", "[Errno 5] Input/output error: 'd'", "OSError"},
  };
  for (const auto& c : cases) {
    const OsError error = os_error(c.error_number, c.path);
    EXPECT_EQ(error.message(), c.message);
    EXPECT_STREQ(error.type_name(), c.type_name.c_str());
  }
  ScratchDir scratch = ScratchDir::create("kolvex-fs-");
  remove_file_if_exists(scratch.path() / "missing");
  write_file(scratch.path() / "f", "x");
  remove_file_if_exists(scratch.path() / "f");
  EXPECT_FALSE(fs::exists(scratch.path() / "f"));
  EXPECT_THROW(read_file(scratch.path() / "f"), OsError);
}

TEST(Fs, CopyFileSyncedCopiesThroughATemporaryAndKeepsTheRealErrno) {
  ScratchDir scratch = ScratchDir::create("kolvex-fs-");
  const fs::path source = scratch.path() / "source";
  // Larger than one buffer of the read/write fallback.
  const std::string content = write_patterned(source, 3 * 1024 * 1024 + 17);
  ::chmod(source.c_str(), 0640);
  const fs::path target = scratch.path() / "target";
  const fs::path temporary = scratch.path() / "target.partial";

  copy_file_synced(source, temporary, target);
  EXPECT_EQ(read_file(target), content);
  EXPECT_EQ(fs::status(target).permissions(), fs::status(source).permissions());
  EXPECT_FALSE(fs::exists(temporary));

  // A write past the file size limit fails with EFBIG, as a full disk fails
  // with ENOSPC: the error keeps that errno and no partial file is left.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const fs::path second = scratch.path() / "second";
  int error_number = 0;
  std::string message;
  try {
    copy_file_synced(source, temporary, second);
  } catch (const OsError& error) {
    error_number = error.error_number();
    message = error.message();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(error_number, EFBIG);
  EXPECT_EQ(message, "[Errno 27] File too large: '" + second.string() + "'");
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_FALSE(fs::exists(second));

  // A temporary name that is taken is never overwritten (nor removed).
  write_file(temporary, "someone else's");
  EXPECT_THROW(copy_file_synced(source, temporary, second), OsError);
  EXPECT_EQ(read_file(temporary), "someone else's");
}

TEST(Fs, CopyFileContentsReplacesTheTargetAndNamesTheFileThatFailed) {
  ScratchDir scratch = ScratchDir::create("kolvex-fs-");
  const fs::path source = scratch.path() / "source";
  const std::string content = write_patterned(source, 2 * 1024 * 1024 + 5);
  const fs::path target = scratch.path() / "target";
  // An existing, longer target keeps nothing of its old content.
  write_file(target, content + content);
  copy_file_contents(source, target);
  EXPECT_EQ(read_file(target), content);

  const fs::path missing = scratch.path() / "missing";
  try {
    copy_file_contents(missing, target);
    ADD_FAILURE() << "a missing source was copied";
  } catch (const OsError& error) {
    EXPECT_EQ(error.message(), "[Errno 2] No such file or directory: '" + missing.string() + "'");
  }
  const fs::path unreachable = scratch.path() / "no-dir" / "target";
  try {
    copy_file_contents(source, unreachable);
    ADD_FAILURE() << "a target in a missing directory was written";
  } catch (const OsError& error) {
    EXPECT_EQ(error.message(), "[Errno 2] No such file or directory: '" + unreachable.string() + "'");
  }
}

}  // namespace
}  // namespace kolvex::core
