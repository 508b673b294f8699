#include "rtc_base/pathname.h"

#include <string>

#include "gtest/gtest.h"

namespace rtc {
namespace {

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
}

TEST(PathnameTest, NamesHoldingDelimitersOrExtraDotsAreRefused) {
  Pathname path("/a/b.txt");
  EXPECT_TRUE(path.SetExtension("gz"));
  EXPECT_EQ(path.extension(), ".gz");
  EXPECT_FALSE(path.SetExtension("a.b"));
  EXPECT_FALSE(path.SetExtension("x/y"));
  EXPECT_EQ(path.extension(), ".gz");
  EXPECT_FALSE(path.SetBasename("c/d"));
  EXPECT_FALSE(path.SetBasename(std::string("c\0d", 3)));
  EXPECT_EQ(path.basename(), "b");
  EXPECT_EQ(path.pathname(), "/a/b.gz");
}

TEST(PathnameTest, FolderNameAndParentFolder) {
  struct Case {
    const char* folder;
    const char* name;
    const char* parent;
  } cases[] = {
      {"/a/b/", "b/", "/a/"},
      {"/", "/", ""},
      {"a/", "a/", ""},
      {"/a/", "a/", "/"},
  };
  for (const Case& c : cases) {
    Pathname path;
    path.SetFolder(c.folder);
    EXPECT_EQ(path.folder_name(), c.name) << c.folder;
    EXPECT_EQ(path.parent_folder(), c.parent) << c.folder;
  }
}

TEST(PathnameTest, FoldersGainADelimiterAndAppendingReplacesTheFileName) {
  Pathname path("/base/old.txt");
  path.AppendFolder("sub");
  EXPECT_EQ(path.pathname(), "/base/sub/old.txt");
  path.AppendPathname("x\\y.z");
  EXPECT_EQ(path.folder(), "/base/sub/x\\");
  EXPECT_EQ(path.filename(), "y.z");
  path.Normalize();
  EXPECT_EQ(path.pathname(), "/base/sub/x/y.z");
}

}  // namespace
}  // namespace rtc
