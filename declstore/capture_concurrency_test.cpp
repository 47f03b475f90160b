// Capture and revalidation on several worker threads: the manifest, the pack and
// the error raised are those of a one-worker scan, and no worker outlives the
// call, also on Ctrl+C. Built as its own test binary so that it also runs under
// ThreadSanitizer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "core/hash.h"
#include "declstore/capture.h"
#include "testkit/git_repo.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;
using testkit::GitRepo;

constexpr unsigned MANY_WORKERS = 8;
constexpr int FILES_PER_DIRECTORY = 40;
constexpr int DIRECTORIES = 8;

struct InterruptReset {
  ~InterruptReset() { core::set_interrupted(false); }
};

// Threads of this process right now.
std::size_t thread_count() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

std::string module_path(int directory, int file) {
  return "pkg" + std::to_string(directory) + "/mod" + std::to_string(file) + ".py";
}

// Many captured files in several directories, and every other kind of entry
// spread between them: oversized files, symbolic links by mode and in the working
// tree only, a submodule, ignored directories, unsupported suffixes, names that
// are not UTF-8 or hold a TAB, and a directory reached through a link inside the
// repository.
GitRepo many_kinds_repository() {
  GitRepo repo = GitRepo::init();
  for (int d = 0; d < DIRECTORIES; ++d) {
    for (int f = 0; f < FILES_PER_DIRECTORY; ++f) {
      repo.write(module_path(d, f), "value = " + std::to_string(d * 1000 + f) + "\n" + std::string(f * 97, '#'));
    }
    repo.write("pkg" + std::to_string(d) + "/notes.txt", "notes\n");
    repo.write("pkg" + std::to_string(d) + "/big.py", std::string(MAX_SOURCE_BYTES + 1 + d, '#'));
    repo.write("pkg" + std::to_string(d) + "/node_modules/x.js", "x();\n");
  }
  repo.write("exact.py", std::string(MAX_SOURCE_BYTES, '#'));
  repo.write("caf\xe9.py", "latin = 1\n");
  repo.write("\xff\xfe.rb", "odd = 1\n");
  repo.write("tab\there.go", "package tab\n");
  repo.write("build/out.c", "int x;\n");
  repo.write("swapped.py", "swapped = 1\n");
  repo.write("real/inner.py", "inner = 1\n");
  repo.symlink("link.py", "pkg0/mod0.py");
  repo.add();
  repo.add_gitlink("vendor/sub", "0123456789abcdef0123456789abcdef01234567");
  repo.commit();
  // A regular entry whose working-tree file became a link, and a tracked
  // directory replaced by a link to a copy of it inside the repository.
  repo.remove("swapped.py");
  repo.symlink("swapped.py", "pkg1/mod1.py");
  fs::rename(repo / "pkg3", repo / "pkg3-real");
  repo.symlink("pkg3", "pkg3-real");
  return repo;
}

// The manifest with every copy's path replaced, so that captures into different
// scratch directories can be compared.
SourceManifest with_pack(SourceManifest manifest, const fs::path& pack) {
  for (CapturedFile& file : manifest.files) {
    if (file.source_path) file.source_path = pack;
  }
  return manifest;
}

TEST(CaptureConcurrencyTest, ManyWorkersCaptureWhatOneWorkerCaptures) {
  GitRepo repo = many_kinds_repository();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-threads-");
  const SourceManifest one = capture_sources(repo.path(), scratch.path() / "one", {.workers = 1});
  const std::string one_pack = core::read_file(scratch.path() / "one" / "sources.pack");

  std::size_t captured = 0;
  std::size_t oversized = 0;
  for (const CapturedFile& file : one.files) {
    if (file.file_hash) ++captured;
    if (file.reason == REASON_TOO_LARGE) ++oversized;
  }
  ASSERT_EQ(captured, static_cast<std::size_t>(DIRECTORIES * FILES_PER_DIRECTORY + 5));
  ASSERT_EQ(oversized, static_cast<std::size_t>(DIRECTORIES));

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const fs::path copies = scratch.path() / ("many-" + std::to_string(round));
    const SourceManifest many = capture_sources(repo.path(), copies, {.workers = MANY_WORKERS});
    EXPECT_EQ(with_pack(many, scratch.path() / "one" / "sources.pack"), one);
    EXPECT_EQ(core::read_file(copies / "sources.pack"), one_pack);
    for (const CapturedFile& file : many.files) {
      if (file.file_hash) {
        EXPECT_EQ(core::sha256_hex(read_captured_bytes(file)), *file.file_hash) << file.file_path;
      }
    }
  }
  // A listing taken beforehand gives the same capture.
  const IndexListing listing = list_index(repo.path());
  EXPECT_EQ(with_pack(capture_sources(repo.path(), scratch.path() / "listed", {.listing = &listing}),
                      scratch.path() / "one" / "sources.pack"),
            one);

  for (unsigned workers : {1u, MANY_WORKERS}) {
    EXPECT_NO_THROW(validate_sources(repo.path(), one, workers)) << workers;
  }
  repo.write(module_path(DIRECTORIES - 1, FILES_PER_DIRECTORY - 1), "changed = 1\n");
  for (unsigned workers : {1u, MANY_WORKERS}) {
    EXPECT_THROW(validate_sources(repo.path(), one, workers), SourceChangedError) << workers;
  }
}

// Files as large as capture takes, between small ones, under bounds of the bytes
// read ahead for the pack: a file over the bound is read when its turn comes to
// be written, and the capture is the same.
TEST(CaptureConcurrencyTest, LargeFilesOverTheBoundOfBytesInFlightAreCapturedAlike) {
  constexpr int LARGE_FILES = 64;
  GitRepo repo = GitRepo::init();
  for (int f = 0; f < LARGE_FILES; ++f) {
    const std::string name = "big" + std::to_string(f / 16) + "/file" + std::to_string(f);
    repo.write(name + ".py", std::string(MAX_SOURCE_BYTES - f, static_cast<char>('a' + f % 26)));
    repo.write(name + "_small.py", "small = " + std::to_string(f) + "\n");
  }
  repo.commit_all();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-threads-");
  const SourceManifest one = capture_sources(repo.path(), scratch.path() / "one", {.workers = 1});
  ASSERT_EQ(one.files.size(), static_cast<std::size_t>(2 * LARGE_FILES));
  const std::string one_pack = core::read_file(scratch.path() / "one" / "sources.pack");
  // The default bound, one of three large files, and one of a byte: every file
  // but one at a time is then read when its turn comes.
  for (std::uint64_t bound : {PACK_BYTES_IN_FLIGHT, std::uint64_t{3 * MAX_SOURCE_BYTES}, std::uint64_t{1}}) {
    SCOPED_TRACE(bound);
    const fs::path copies = scratch.path() / ("many-" + std::to_string(bound));
    const SourceManifest many =
        capture_sources(repo.path(), copies, {.workers = MANY_WORKERS, .pack_bytes_in_flight = bound});
    EXPECT_EQ(with_pack(many, scratch.path() / "one" / "sources.pack"), one);
    EXPECT_EQ(core::read_file(copies / "sources.pack"), one_pack);
    for (const CapturedFile& file : many.files) {
      EXPECT_EQ(core::sha256_hex(read_captured_bytes(file)), *file.file_hash) << file.file_path;
    }
  }
}

// Several entries fail at once, at different places of the listing: the error
// raised is the one of the first failing entry in listing order, whichever
// worker met its failure first.
struct FirstFailureCase {
  std::string name;
  std::function<void(const GitRepo&)> break_files;
  std::string message;
};

TEST(CaptureConcurrencyTest, TheFirstFailingEntryInListingOrderIsRaised) {
  const auto escape = [](const GitRepo& repo, int directory) {
    const std::string name = "pkg" + std::to_string(directory);
    const fs::path outside = repo.scratch() / ("outside-" + name);
    fs::rename(repo / name, outside);
    repo.symlink(name, outside.string());
  };
  const auto fifo = [](const GitRepo& repo, const std::string& path) {
    repo.remove(path);
    ASSERT_EQ(::mkfifo((repo / path).c_str(), 0644), 0);
  };
  const std::vector<FirstFailureCase> cases = {
      {"a vanished file before an unreadable one",
       [&](const GitRepo& repo) {
         repo.remove(module_path(2, 5));
         fifo(repo, module_path(6, 30));
       },
       "tracked file disappeared: " + module_path(2, 5)},
      {"an unreadable file before a vanished one",
       [&](const GitRepo& repo) {
         fifo(repo, module_path(1, 7));
         repo.remove(module_path(1, 8));
         repo.remove(module_path(7, 0));
       },
       "failed to read tracked file: " + module_path(1, 7)},
      {"a directory now leading outside, after a vanished file",
       [&](const GitRepo& repo) {
         repo.remove(module_path(4, 39));
         escape(repo, 5);
       },
       "tracked file disappeared: " + module_path(4, 39)},
      {"a directory now leading outside, before a vanished file",
       [&](const GitRepo& repo) {
         escape(repo, 2);
         repo.remove(module_path(6, 0));
       },
       "tracked path escapes repository: 'pkg2/big.py'"},
  };
  for (const FirstFailureCase& c : cases) {
    GitRepo repo = many_kinds_repository();
    c.break_files(repo);
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-threads-");
    for (unsigned workers : {1u, MANY_WORKERS}) {
      SCOPED_TRACE(c.name + ", workers " + std::to_string(workers));
      try {
        capture_sources(repo.path(), scratch.path() / std::to_string(workers), {.workers = workers});
        ADD_FAILURE() << "expected SourceCaptureError";
      } catch (const SourceCaptureError& error) {
        EXPECT_EQ(error.message(), c.message);
      }
    }
  }
}

TEST(CaptureConcurrencyTest, AnInterruptionStopsTheScanAndLeavesNoWorker) {
  InterruptReset reset;
  GitRepo repo = many_kinds_repository();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-capture-threads-");
  // The listing repeated many times over, so that the scan runs long after its
  // first copy was written.
  IndexListing listing = list_index(repo.path());
  const std::vector<IndexEntry> once = listing.entries;
  for (int copy = 0; copy < 100; ++copy) listing.entries.insert(listing.entries.end(), once.begin(), once.end());
  // One whole scan first: threads a runtime starts on first use of threads (a
  // sanitizer's helper thread, say) are then part of the count taken here.
  validate_sources(repo.path(), capture_sources(repo.path(), scratch.path() / "warm", {.workers = MANY_WORKERS}),
                   MANY_WORKERS);
  const std::size_t threads_before = thread_count();

  // Interrupted before the first entry: the workers were started and are joined.
  core::set_interrupted(true);
  EXPECT_THROW(capture_sources(repo.path(), scratch.path() / "before", {.workers = MANY_WORKERS, .listing = &listing}),
               core::Interrupted);
  EXPECT_THROW(validate_sources(repo.path(), SourceManifest{}, MANY_WORKERS), core::Interrupted);
  EXPECT_EQ(thread_count(), threads_before);
  core::set_interrupted(false);

  // Interrupted while copies are being written: Ctrl+C arrives once the pack exists.
  const fs::path pack = scratch.path() / "during" / "sources.pack";
  std::atomic<bool> done = false;
  std::thread interrupter([&] {
    while (!done && !fs::exists(pack)) std::this_thread::yield();
    core::set_interrupted(true);
  });
  bool interrupted = false;
  try {
    capture_sources(repo.path(), scratch.path() / "during", {.workers = MANY_WORKERS, .listing = &listing});
  } catch (const core::Interrupted&) {
    interrupted = true;
  }
  done = true;
  interrupter.join();
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(thread_count(), threads_before);
}

}  // namespace
}  // namespace kolvex::declstore
