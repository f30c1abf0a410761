#include "tree/tree_walker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace quillmark {
namespace {

using tree::TreeWalker;
using tree::WalkEntry;

// A scratch directory tree, removed with everything in it at the end.
class Tree {
 public:
  Tree() {
    std::string pattern = ::testing::TempDir() + "walk-XXXXXX";
    root_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~Tree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  const std::string& root() const { return root_; }
  std::string at(const std::string& relative) const { return root_ + "/" + relative; }
  void file(const std::string& relative) const { std::ofstream(at(relative)) << "x"; }
  void dir(const std::string& relative) const { mkdir(at(relative).c_str(), 0755); }
  void link(const std::string& target, const std::string& relative) const {
    EXPECT_EQ(symlink(target.c_str(), at(relative).c_str()), 0);
  }

 private:
  std::string root_;
};

// The walk of `root` as "kind path-below-root" lines.
std::vector<std::string> walk(const Tree& tree, TreeWalker::Settings settings,
                              const std::string& root) {
  std::vector<std::string> seen;
  TreeWalker walker(settings);
  walker.walk(root, [&](WalkEntry& entry) {
    const char* const kind = entry.kind == WalkEntry::Kind::kFile         ? "file "
                             : entry.kind == WalkEntry::Kind::kUnreadable ? "error "
                                                                          : "skip ";
    std::string path = entry.path.substr(0, tree.root().size()) == tree.root()
                           ? entry.path.substr(tree.root().size())
                           : entry.path;
    seen.push_back(kind + path);
    return true;
  });
  return seen;
}

TEST(TreeWalkerTest, WalksDepthFirstInByteOrderWithHiddenEntries) {
  Tree tree;
  for (const char* dir : {"b", "b/inner", "a", "\xc3\xa9"}) tree.dir(dir);
  for (const char* file :
       {"z.bmp", "B.bmp", ".hidden", "b/inner/deep", "b/1", "a/x", "\xc3\xa9/e", "b/inner2"}) {
    tree.file(file);
  }
  const std::vector<std::string> expected = {
      "file /.hidden",      "file /B.bmp",    "file /a/x",   "file /b/1",
      "file /b/inner/deep", "file /b/inner2", "file /z.bmp", "file /\xc3\xa9/e",
  };
  EXPECT_EQ(walk(tree, {}, tree.root()), expected);
  EXPECT_EQ(walk(tree, {}, tree.root() + "/"), expected) << "a trailing slash joins cleanly";
}

TEST(TreeWalkerTest, SpecialFilesAndLinks) {
  struct Case {
    const char* what;
    TreeWalker::Settings settings;
    std::vector<std::string> expected;
  };
  Tree tree;
  tree.dir("d");
  tree.file("d/f");
  ASSERT_EQ(mkfifo(tree.at("fifo").c_str(), 0644), 0);
  tree.link("d", "link-to-dir");
  tree.link("d/f", "link-to-file");
  tree.link("missing", "link-broken");
  tree.link("..", "d/loop");
  const Case cases[] = {
      {"links are not followed below a root",
       {},
       {"file /d/f", "skip /d/loop", "skip /fifo", "skip /link-broken", "skip /link-to-dir",
        "skip /link-to-file"}},
      {"-L follows them, with loop detection",
       {true, false},
       {"file /d/f", "skip /d/loop", "skip /fifo", "skip /link-broken", "file /link-to-dir/f",
        "skip /link-to-dir/loop", "file /link-to-file"}},
  };
  for (const Case& c : cases) EXPECT_EQ(walk(tree, c.settings, tree.root()), c.expected) << c.what;
  const std::vector<std::string> throughLink = {"file /link-to-dir/f", "skip /link-to-dir/loop"};
  EXPECT_EQ(walk(tree, {}, tree.at("link-to-dir")), throughLink) << "a root link is followed";
  const std::vector<std::string> missing = {"error /nothing"};
  EXPECT_EQ(walk(tree, {}, tree.at("nothing")), missing);
}

TEST(TreeWalkerTest, UnreadableDirectoryIsAnErrorAndTheWalkGoesOn) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every directory";
  Tree tree;
  tree.dir("closed");
  tree.file("closed/f");
  tree.file("open");
  chmod(tree.at("closed").c_str(), 0);
  EXPECT_EQ(walk(tree, {}, tree.root()), (std::vector<std::string>{"error /closed", "file /open"}));
  chmod(tree.at("closed").c_str(), 0755);
}

// /dev/pts is a file system of its own below /dev wherever terminals work.
TEST(TreeWalkerTest, OneFileSystemStaysOffOtherMounts) {
  struct stat dev {};
  struct stat pts {};
  if (stat("/dev", &dev) != 0 || stat("/dev/pts", &pts) != 0 || dev.st_dev == pts.st_dev) {
    GTEST_SKIP() << "no separate /dev/pts here";
  }
  const auto reachesPts = [](TreeWalker::Settings settings) {
    bool reached = false;
    TreeWalker(settings).walk("/dev", [&](WalkEntry& entry) {
      reached |= entry.path.rfind("/dev/pts/", 0) == 0;
      return true;
    });
    return reached;
  };
  EXPECT_TRUE(reachesPts({})) << "without -x the walk goes into /dev/pts";
  EXPECT_FALSE(reachesPts({false, true})) << "with -x it does not";
}

TEST(TreeWalkerTest, DeepTreeNeedsNoRecursion) {
  Tree tree;
  std::string relative;
  for (int level = 0; level < 2000; ++level) {
    relative += level == 0 ? "d" : "/d";
    tree.dir(relative);
  }
  tree.file(relative + "/bottom");
  const std::vector<std::string> seen = walk(tree, {}, tree.root());
  ASSERT_EQ(seen.size(), 1U);
  EXPECT_EQ(seen[0], "file /" + relative + "/bottom");
}

}  // namespace
}  // namespace quillmark
