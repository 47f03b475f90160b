#include "watch/ignore.h"

#include <gtest/gtest.h>

namespace kolvex::watch {
namespace {

TEST(ShouldIgnorePath, WholePiecesWithTheSameCase) {
  const std::pair<const char*, bool> cases[] = {
      {"/home/u/proj/node_modules/pkg/index.js", true},
      {"/home/u/proj/.git/index", true},
      {"/home/u/proj/scripts/dist", true},  // a file named dist
      {"/home/u/build/proj/src/a.py", true},  // an ancestor directory
      {"/p/.venv/lib/x.py", true},
      {"/p/a/__pycache__/m.pyc", true},
      {"/p/.scip-cache/x", true},
      {"/p/.build/x", true},
      {"/p/DerivedData/x", true},
      {"/p/.index-store/x", true},
      {"/p/IndexStore/x", true},
      {"/p/.swiftpm/x", true},
      {"build", true},
      {"//build//", true},
      {"/home/u/proj/src/build.py", false},
      {"/home/u/proj/Build/out.o", false},
      {"/home/u/proj/.gitignore", false},
      {"proj\\node_modules\\x.js", false},
      {"/p/./src/x.py", false},
      {"", false},
      {"/", false},
  };
  for (const auto& [path, ignored] : cases) EXPECT_EQ(should_ignore_path(path), ignored) << path;
}

TEST(ShouldIgnoreRepoPath, OnlyPiecesBelowTheRootCount) {
  struct Case {
    const char* root;
    const char* path;
    bool ignored;
  };
  const Case cases[] = {
      {"/home/u/build/proj", "/home/u/build/proj/src/a.py", false},
      {"/home/u/build/proj/", "/home/u/build/proj/src/a.py", false},
      {"/home/u/build/proj", "/home/u/build/proj/build/a.o", true},
      {"/home/u/build/proj", "/home/u/build/proj/node_modules/x.js", true},
      {"/home/u/build/proj", "/home/u/build/proj", false},
      {"/work/dist", "/work/dist/.git/index", true},
      {"/work/dist", "/work/dist/dist", true},
      {"/work/dist", "/work/distinct/a.py", false},      // a sibling that shares a prefix is judged whole
      {"/work/dist", "/work/dist-other/build/a", true},
      {"/", "/src/a.py", false},
      {"/", "/build/a.py", true},
  };
  for (const Case& c : cases) EXPECT_EQ(should_ignore_repo_path(c.root, c.path), c.ignored) << c.root << " " << c.path;
}

}  // namespace
}  // namespace kolvex::watch
