// The file system on real folders. Tests run as root, so no failure here relies on
// permissions: failures come from wrong file types, a full device and missing folders.
#include "rtc_base/file_utils.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "rtc_base/stream.h"
#include "rtc_base/temp_dir.h"
#include "rtc_base/unix_file_system.h"

namespace rtc {
namespace {

using vy_test::TempDir;

void WriteFile(const std::string& path, const std::string& body) {
  std::ofstream(path, std::ios::binary) << body;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Pathname Folder(const std::string& path) {
  Pathname folder;
  folder.SetFolder(path);
  return folder;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A file system whose destination files all live on a full device.
class FullDiskFilesystem : public UnixFilesystem {
 public:
  std::unique_ptr<FileStream> OpenFile(const Pathname& filename,
                                       const std::string& mode) override {
    if (mode == "wb") {
      return UnixFilesystem::OpenFile(Pathname("/dev/full"), mode);
    }
    return UnixFilesystem::OpenFile(filename, mode);
  }
};

class FileUtilsTest : public ::testing::Test {
 protected:
  std::string Dir(const std::string& name = "") const { return dir_.path() + "/" + name; }

  TempDir dir_;
  UnixFilesystem fs_;
};

TEST_F(FileUtilsTest, CleaningAFolderRemovesLinksButNotWhatTheyPointTo) {
  ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("outside/keep"))));
  WriteFile(Dir("outside/keep/precious"), "data");
  ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("clean/sub"))));
  WriteFile(Dir("clean/sub/a"), "a");
  ASSERT_EQ(symlink(Dir("outside").c_str(), Dir("clean/link").c_str()), 0);
  ASSERT_EQ(symlink(Dir("missing").c_str(), Dir("clean/dangling").c_str()), 0);

  EXPECT_TRUE(fs_.DeleteFolderAndContents(Folder(Dir("clean"))));
  EXPECT_FALSE(Exists(Dir("clean")));
  EXPECT_EQ(ReadFile(Dir("outside/keep/precious")), "data");
}

TEST_F(FileUtilsTest, CopyFolderCopiesTheTreeAndKeepsLinksAsLinks) {
  ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("src/a/b"))));
  WriteFile(Dir("src/top.txt"), "top");
  WriteFile(Dir("src/a/b/deep.bin"), std::string(100000, '\x01'));
  // A link back up would make a copy that follows links run for ever.
  ASSERT_EQ(symlink("..", Dir("src/a/up").c_str()), 0);

  EXPECT_TRUE(fs_.CopyFolder(Pathname(Dir("src")), Pathname(Dir("dst"))));
  EXPECT_EQ(ReadFile(Dir("dst/top.txt")), "top");
  EXPECT_EQ(ReadFile(Dir("dst/a/b/deep.bin")), std::string(100000, '\x01'));
  char target[16] = {};
  ASSERT_GT(readlink(Dir("dst/a/up").c_str(), target, sizeof(target) - 1), 0);
  EXPECT_STREQ(target, "..");

  std::set<std::string> names;
  DirectoryIterator it;
  ASSERT_TRUE(it.Iterate(Folder(Dir("dst"))));
  do {
    names.insert(it.Name());
  } while (it.Next());
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "top.txt"}));
}

class CrossDeviceMoveTest : public FileUtilsTest {
 protected:
  void SetUp() override {
    struct stat shm, disk;
    if (stat("/dev/shm", &shm) != 0 || stat(dir_.path().c_str(), &disk) != 0 ||
        shm.st_dev == disk.st_dev) {
      GTEST_SKIP() << "/dev/shm is not a device of its own";
    }
    char pattern[] = "/dev/shm/vortm_move_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    shm_dir_ = pattern;
  }
  void TearDown() override {
    if (!shm_dir_.empty()) {
      std::string cmd = "rm -rf '" + shm_dir_ + "'";
      EXPECT_EQ(system(cmd.c_str()), 0);
    }
  }

  std::string shm_dir_;
};

TEST_F(CrossDeviceMoveTest, MoveCopiesEveryByteThenRemovesTheSourceOrKeepsIt) {
  std::string body;
  for (int i = 0; i < 300000; ++i) {
    body.push_back(static_cast<char>(i * 7));
  }
  WriteFile(shm_dir_ + "/file", body);
  EXPECT_TRUE(fs_.MoveFile(Pathname(shm_dir_ + "/file"), Pathname(Dir("moved"))));
  EXPECT_EQ(ReadFile(Dir("moved")), body);
  EXPECT_FALSE(Exists(shm_dir_ + "/file"));

  ASSERT_TRUE(fs_.CreateFolder(Folder(shm_dir_ + "/tree/sub")));
  WriteFile(shm_dir_ + "/tree/sub/f", "f");
  EXPECT_TRUE(fs_.MoveFolder(Folder(shm_dir_ + "/tree"), Folder(Dir("tree"))));
  EXPECT_EQ(ReadFile(Dir("tree/sub/f")), "f");
  EXPECT_FALSE(Exists(shm_dir_ + "/tree"));

  // A failed copy keeps the source.
  WriteFile(shm_dir_ + "/file", "source data");
  // The destination's parent is a file: the copy cannot even start.
  WriteFile(Dir("plain"), "x");
  EXPECT_FALSE(fs_.MoveFile(Pathname(shm_dir_ + "/file"), Pathname(Dir("plain/dest"))));
  EXPECT_EQ(ReadFile(shm_dir_ + "/file"), "source data");

  // Every write fails, though only when the buffered bytes are flushed.
  FullDiskFilesystem full;
  EXPECT_FALSE(full.MoveFile(Pathname(shm_dir_ + "/file"), Pathname(Dir("dest"))));
  EXPECT_EQ(ReadFile(shm_dir_ + "/file"), "source data");
  EXPECT_FALSE(full.CopyFile(Pathname(shm_dir_ + "/file"), Pathname(Dir("dest"))));
}

TEST_F(FileUtilsTest, UniqueNamesCountUpTo99) {
  Pathname path(Dir("name.txt"));
  ASSERT_TRUE(CreateUniqueFile(path, true));
  EXPECT_EQ(path.pathname(), Dir("name.txt"));
  ASSERT_TRUE(CreateUniqueFile(path, true));
  EXPECT_EQ(path.pathname(), Dir("name-1.txt"));
  for (int i = 2; i <= 99; ++i) {
    WriteFile(Dir("name-" + std::to_string(i) + ".txt"), "");
  }
  path.SetPathname(Dir("name.txt"));
  EXPECT_FALSE(CreateUniqueFile(path, true));
  EXPECT_FALSE(Exists(Dir("name-100.txt")));
}

TEST(PathnameTest, TextSplitsIntoFolderBaseNameAndExtension) {
  struct Case {
    const char* text;
    const char* folder;
    const char* basename;
    const char* extension;
    const char* pathname;
  } cases[] = {
      {"/a/b/c.txt", "/a/b/", "c", ".txt", "/a/b/c.txt"},
      {".profile", "", ".profile", "", ".profile"},
      {"archive.tar.gz", "", "archive.tar", ".gz", "archive.tar.gz"},
      {"dir\\file.", "dir\\", "file", ".", "dir\\file."},
      {"/a/b/", "/a/b/", "", "", "/a/b/"},
      {"", "", "", "", "./"},
  };
  for (const Case& c : cases) {
    Pathname path(c.text);
    EXPECT_EQ(path.folder(), c.folder) << c.text;
    EXPECT_EQ(path.basename(), c.basename) << c.text;
    EXPECT_EQ(path.extension(), c.extension) << c.text;
    EXPECT_EQ(path.pathname(), c.pathname) << c.text;
  }
  Pathname path("/a/b.txt");
  EXPECT_FALSE(path.SetExtension("x/y"));
  EXPECT_FALSE(path.SetBasename(std::string("c\0d", 3)));
  EXPECT_EQ(path.pathname(), "/a/b.txt");
}

}  // namespace
}  // namespace rtc
