#include "testkit/git_repo.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace kolvex::testkit {
namespace {

namespace fs = std::filesystem;

TEST(GitRepo, FilesSymlinksGitlinksAndCommits) {
  fs::path scratch;
  {
    GitRepo repo = GitRepo::init();
    scratch = repo.scratch();
    EXPECT_EQ(repo.git({"symbolic-ref", "HEAD"}).stdout_text(), "refs/heads/main\n");
    repo.write("src/deep/a.py", "print('a')\n");
    repo.symlink("link.py", "src/deep/a.py");
    repo.add();
    const std::string sha(40, 'a');
    repo.add_gitlink("vendor/lib", sha);
    const std::string first = repo.commit("first");
    EXPECT_EQ(first.size(), 40u);
    EXPECT_EQ(first, repo.head());
    const std::string staged = repo.git({"ls-files", "-s"}).stdout_text();
    std::vector<std::string> modes_and_paths;
    for (std::string_view line : core::splitlines(staged)) {
      modes_and_paths.push_back(std::string(line.substr(0, 6)) + " " + std::string(line.substr(line.find('\t') + 1)));
    }
    EXPECT_EQ(modes_and_paths,
              (std::vector<std::string>{"120000 link.py", "100644 src/deep/a.py", "160000 vendor/lib"}));
    EXPECT_NE(staged.find("160000 " + sha + " 0\tvendor/lib\n"), std::string::npos);
    EXPECT_EQ(repo.git({"cat-file", "-p", "HEAD:link.py"}).stdout_text(), "src/deep/a.py");
    EXPECT_EQ(repo.git({"log", "--format=%an <%ae>"}).stdout_text(), "Kolvex Test <test@kolvex.invalid>\n");

    repo.write("b.txt", "b");
    repo.remove("src");
    const std::string second = repo.commit_all("second");
    EXPECT_NE(second, first);
    EXPECT_EQ(repo.git({"ls-files"}).stdout_text(), "b.txt\nlink.py\n");  // commit_all drops the gitlink too
    EXPECT_NE(repo.git_unchecked({"rev-parse", "no-such-ref"}).returncode, 0);
    EXPECT_THROW(repo.git({"rev-parse", "no-such-ref"}), core::Error);
  }
  EXPECT_FALSE(fs::exists(scratch));
}

TEST(GitRepo, BareRepository) {
  GitRepo bare = GitRepo::init_bare();
  EXPECT_EQ(bare.git({"rev-parse", "--is-bare-repository"}).stdout_text(), "true\n");
  EXPECT_EQ(bare.path().filename(), "repo.git");
}

}  // namespace
}  // namespace kolvex::testkit
