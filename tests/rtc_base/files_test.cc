// Files, folders, the disk cache and streams, on real folders. Tests run as root, so no
// failure here relies on permissions: failures come from wrong file types, a full device and
// missing folders.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/files/disk_cache.h"
#include "rtc_base/files/file_utils.h"
#include "rtc_base/files/unix_file_system.h"
#include "rtc_base/net/memory_stream.h"
#include "rtc_base/net/stream.h"
#include "tests/support/peer_process.h"
#include "tests/support/temp_dir.h"

namespace rtc {
namespace {

using testing::ReadFile;
using testing::WriteFile;
using vy_test::TempDir;

Pathname Folder(const std::string& path) {
  Pathname folder;
  folder.SetFolder(path);
  return folder;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> FilesIn(const std::string& folder);

class FileUtilsTest : public ::testing::Test {
 protected:
  std::string Dir(const std::string& name = "") const { return dir_.path() + "/" + name; }

  TempDir dir_;
  UnixFilesystem fs_;
};

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

  // Links standing at a destination, for a file or a folder, are not written through: the copy
  // fails and what they point to stays as it was.
  WriteFile(Dir("victim"), "victim");
  ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("victims"))));
  ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("dst2"))));
  ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("dst3"))));
  ASSERT_EQ(symlink(Dir("victim").c_str(), Dir("file-link").c_str()), 0);
  ASSERT_EQ(symlink(Dir("missing").c_str(), Dir("dangling").c_str()), 0);
  ASSERT_EQ(symlink(Dir("victim").c_str(), Dir("dst2/top.txt").c_str()), 0);
  ASSERT_EQ(symlink(Dir("victims").c_str(), Dir("dst3/a").c_str()), 0);
  EXPECT_FALSE(fs_.CopyFile(Pathname(Dir("src/top.txt")), Pathname(Dir("file-link"))));
  EXPECT_FALSE(fs_.CopyFile(Pathname(Dir("src/top.txt")), Pathname(Dir("dangling"))));
  EXPECT_FALSE(fs_.CopyFolder(Pathname(Dir("src")), Pathname(Dir("dst2"))));
  EXPECT_FALSE(fs_.CopyFolder(Pathname(Dir("src")), Pathname(Dir("dst3"))));
  // Nor is a file copied onto itself, by its own name or a hard link's.
  ASSERT_EQ(link(Dir("victim").c_str(), Dir("hard-link").c_str()), 0);
  EXPECT_FALSE(fs_.CopyFile(Pathname(Dir("victim")), Pathname(Dir("victim"))));
  EXPECT_FALSE(fs_.CopyFile(Pathname(Dir("hard-link")), Pathname(Dir("victim"))));
  EXPECT_EQ(ReadFile(Dir("victim")), "victim");
  EXPECT_FALSE(Exists(Dir("missing")));
  EXPECT_FALSE(Exists(Dir("victims/b")) || Exists(Dir("victims/up")));
}

// The application's temporary folder lies in a folder every user may write to: nothing is
// cleaned through a link, nor below a folder of another user's. Links inside are removed as
// links, here and when a folder is deleted or moved to another device; a link given as the
// folder goes as a link.
TEST_F(FileUtilsTest, RemovingFoldersFollowsNoLinkAndEntersNoForeignFolder) {
  UnixFilesystem::SetAppTempFolder(Dir("tmp"));
  std::shared_ptr<void> restore(nullptr, [](void*) { UnixFilesystem::SetAppTempFolder(""); });
  fs_.SetOrganizationName("org");
  fs_.SetApplicationName("app");
  auto link = [&](const char* target, const char* name) {
    ASSERT_EQ(symlink(Dir(target).c_str(), Dir(name).c_str()), 0);
  };
  auto own_tree = [&] {
    ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("tmp/org/app/sub"))));
    WriteFile(Dir("tmp/org/app/sub/deep"), "x");
    link("outside", "tmp/org/app/link");
    link("missing", "tmp/org/app/sub/dangling");
  };
  const struct {
    const char* what;
    std::function<void()> plant;
    bool result;
  } cases[] = {
      {"absent", [] {}, true},
      {"organisation folder a link", [&] { link("outside", "tmp/org"); }, false},
      {"application folder a link",
       [&] {
         ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("tmp/org"))));
         link("outside/app", "tmp/org/app");
       },
       false},
      {"organisation folder of another user",
       [&] {
         own_tree();
         ASSERT_EQ(chown(Dir("tmp/org").c_str(), 12345, 12345), 0);
       },
       false},
      {"own folders", own_tree, true},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(Dir("tmp"));
    ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("tmp"))));
    ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("outside/app"))));
    WriteFile(Dir("outside/app/precious"), "data");
    c.plant();
    EXPECT_EQ(c.result, fs_.CleanAppTempFolder()) << c.what;
    EXPECT_EQ(ReadFile(Dir("outside/app/precious")), "data") << c.what;
    if (Exists(Dir("tmp/org/app/sub"))) {
      EXPECT_FALSE(c.result) << c.what;
      EXPECT_EQ(ReadFile(Dir("tmp/org/app/sub/deep")), "x") << c.what;
    }
  }
  EXPECT_TRUE(fs_.IsFolder(Folder(Dir("tmp/org/app"))));
  EXPECT_TRUE(std::filesystem::is_empty(Dir("tmp/org/app")));
  // A whole tree goes the same way: links removed as links.
  own_tree();
  EXPECT_TRUE(fs_.DeleteFolderAndContents(Folder(Dir("tmp"))));
  EXPECT_FALSE(Exists(Dir("tmp")));
  EXPECT_EQ(ReadFile(Dir("outside/app/precious")), "data");
  link("outside/app", "folder-link");
  EXPECT_TRUE(fs_.DeleteFolderAndContents(Folder(Dir("folder-link"))));
  EXPECT_FALSE(Exists(Dir("folder-link")));
  EXPECT_EQ(ReadFile(Dir("outside/app/precious")), "data");

  // A move to another file system copies, then deletes the source: a tree goes with its links
  // as links, and a link goes as a link, its target left whole. /dev/shm is a tmpfs of its own.
  std::string shm = "/dev/shm/vortm_XXXXXX";
  ASSERT_NE(mkdtemp(shm.data()), nullptr) << "no /dev/shm to move from";
  std::shared_ptr<void> remove_shm(nullptr, [shm](void*) { std::filesystem::remove_all(shm); });
  struct stat from_st, to_st;
  ASSERT_EQ(stat(shm.c_str(), &from_st), 0);
  ASSERT_EQ(stat(Dir().c_str(), &to_st), 0);
  ASSERT_NE(from_st.st_dev, to_st.st_dev) << "/dev/shm and " << Dir() << " share a file system";
  ASSERT_TRUE(fs_.CreateFolder(Folder(shm + "/tree/sub")));
  WriteFile(shm + "/tree/sub/deep", "x");
  ASSERT_EQ(symlink(Dir("outside").c_str(), (shm + "/tree/link").c_str()), 0);
  ASSERT_TRUE(fs_.CreateFolder(Folder(Dir("kept"))));
  WriteFile(Dir("kept/file"), "whole");
  ASSERT_EQ(symlink(Dir("kept").c_str(), (shm + "/folder-link").c_str()), 0);
  EXPECT_TRUE(fs_.MoveFolder(Folder(shm + "/tree"), Folder(Dir("moved"))));
  EXPECT_TRUE(fs_.MoveFolder(Folder(shm + "/folder-link"), Folder(Dir("moved-link"))));
  EXPECT_EQ(FilesIn(shm), std::set<std::string>{});
  EXPECT_EQ(ReadFile(Dir("moved/sub/deep")), "x");
  std::error_code not_a_link;
  EXPECT_EQ(std::filesystem::read_symlink(Dir("moved/link"), not_a_link), Dir("outside"));
  EXPECT_EQ(std::filesystem::read_symlink(Dir("moved-link"), not_a_link), Dir("kept"));
  EXPECT_EQ(ReadFile(Dir("kept/file")), "whole");
  EXPECT_EQ(ReadFile(Dir("outside/app/precious")), "data");
}

TEST(PathnameTest, BaseNamesHoldingASlashABackslashOrANulAreRefused) {
  const struct {
    std::string name;
    bool ok;
  } cases[] = {{"other", true}, {"a/b", false}, {"a\\b", false}, {std::string("a\0b", 3), false}};
  for (const auto& c : cases) {
    Pathname path("/folder/file.txt");
    EXPECT_EQ(c.ok, path.SetBasename(c.name)) << c.name;
    EXPECT_EQ(c.ok ? "/folder/" + c.name + ".txt" : "/folder/file.txt", path.pathname()) << c.name;
  }
}

// A cache file written behind the cache's back, modified `age` seconds ago.
void PlantFile(const std::string& path, const std::string& body, int age) {
  std::ofstream(path, std::ios::binary) << body;
  timeval times[2];
  times[0].tv_sec = times[1].tv_sec = time(nullptr) - age;
  times[0].tv_usec = times[1].tv_usec = 0;
  utimes(path.c_str(), times);
}

bool Write(StreamInterface* stream, const std::string& text) {
  return stream->WriteAll(text.data(), text.size(), nullptr, nullptr) == SR_SUCCESS;
}

std::string ReadAll(StreamInterface* stream) {
  std::string text;
  char buf[256];
  size_t read = 0;
  while (stream->Read(buf, sizeof(buf), &read, nullptr) == SR_SUCCESS) {
    text.append(buf, read);
  }
  return text;
}

std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  DirectoryIterator it;
  if (it.Iterate(Pathname(folder + "/"))) {
    do {
      if (it.Name() != "." && it.Name() != "..") {
        names.insert(it.IsDirectory() ? it.Name() + "/" : it.Name());
      }
    } while (it.Next());
  }
  return names;
}

class DiskCacheTest : public ::testing::Test {
 protected:
  std::string folder() const { return dir_.path() + "/"; }

  // Locks, writes one stream and unlocks.
  void Store(const std::string& id, const std::string& body, size_t index = 0) {
    ASSERT_TRUE(cache_.LockResource(id)) << id;
    std::unique_ptr<StreamInterface> out(cache_.WriteResource(id, index));
    ASSERT_TRUE(out);
    ASSERT_TRUE(Write(out.get(), body));
    out.reset();
    ASSERT_TRUE(cache_.UnlockResource(id));
  }

  TempDir dir_;
  FolderDiskCache cache_;
  CapturingSink log_;
};

TEST_F(DiskCacheTest, UrlIdsKeepTheirOwnFilesInsideTheFolderAcrossReloads) {
  ASSERT_FALSE(cache_.Initialize(dir_.path(), 1000)) << "a folder without its delimiter";
  ASSERT_TRUE(cache_.Initialize(folder(), 1000));
  Store("GET_http://host:80/a", "body of a", 1);
  Store("GET_http://host:80/b", "body of b", 1);
  Store("GET_http://host:80/../../escape", "x", 1);
  EXPECT_FALSE(cache_.LockResource(std::string(300, 'x')));
  EXPECT_EQ(FilesIn(dir_.path()).size(), 3u);
  for (const std::string& name : FilesIn(dir_.path())) {
    EXPECT_EQ(name.find('/'), std::string::npos) << name;
  }
  // Files that are not the cache's own stay out of it, and in place.
  std::ofstream(folder() + "notes.txt") << "unrelated";
  std::ofstream(folder() + "A%2F.0") << "not a name the cache makes";

  FolderDiskCache reloaded;
  ASSERT_TRUE(reloaded.Initialize(folder(), 1000));
  EXPECT_EQ(reloaded.total_size(), 19u);
  std::unique_ptr<StreamInterface> a(reloaded.ReadResource("GET_http://host:80/a", 1));
  std::unique_ptr<StreamInterface> b(reloaded.ReadResource("GET_http://host:80/b", 1));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(ReadAll(a.get()), "body of a");
  EXPECT_EQ(ReadAll(b.get()), "body of b");

  EXPECT_FALSE(reloaded.Purge());
  EXPECT_TRUE(log_.Contains("bool rtc::DiskCache::Purge(): Cache files open"));
  a.reset();
  b.reset();
  EXPECT_TRUE(reloaded.Purge());
  EXPECT_EQ(FilesIn(dir_.path()), (std::set<std::string>{"notes.txt", "A%2F.0"}));
  EXPECT_FALSE(reloaded.HasResource("GET_http://host:80/a"));
}

TEST_F(DiskCacheTest, EvictionTakesTheOldestEntryNobodyHolds) {
  PlantFile(folder() + "a.0", "0123456789", 300);
  PlantFile(folder() + "b.0", "0123456789", 100);
  PlantFile(folder() + "c.0", "0123456789", 200);
  ASSERT_TRUE(cache_.Initialize(folder(), 35));
  // The oldest entry is locked; of the others the older goes.
  ASSERT_TRUE(cache_.LockResource("a"));
  Store("d", "0123456789");
  EXPECT_EQ(FilesIn(dir_.path()), (std::set<std::string>{"a.0", "b.0", "d.0"}));

  // An entry being read is kept too.
  std::unique_ptr<StreamInterface> reader(cache_.ReadResource("b", 0));
  ASSERT_TRUE(reader);
  Store("e", "0123456789");
  EXPECT_EQ(FilesIn(dir_.path()), (std::set<std::string>{"a.0", "b.0", "e.0"}));
  EXPECT_EQ(cache_.total_size(), 30u);

  // Over the limit with every entry held: nothing can be locked.
  ASSERT_TRUE(cache_.LockResource("e"));
  ASSERT_TRUE(cache_.LockResource("f"));
  std::unique_ptr<StreamInterface> out(cache_.WriteResource("f", 0));
  ASSERT_TRUE(Write(out.get(), "0123456789"));
  out.reset();
  EXPECT_FALSE(cache_.LockResource("g"));
  EXPECT_TRUE(log_.Contains("bool rtc::DiskCache::CheckLimit(): All resources are locked!"));
  EXPECT_TRUE(
      log_.Contains("bool rtc::DiskCache::LockResource(const std::string &): Cache overfull"));
  EXPECT_FALSE(cache_.HasResource("g"));

  // Released, the entries can go again.
  reader.reset();
  EXPECT_TRUE(cache_.LockResource("g"));
  EXPECT_EQ(FilesIn(dir_.path()), (std::set<std::string>{"a.0", "e.0", "f.0"}));
}

// The size the cache counts is what its files hold on disk after every write, rewrite and
// removal; a stream closed after its entry was unlocked counts too, and may evict.
TEST_F(DiskCacheTest, SizeIsWhatTheFilesHoldThroughRewritesAndRemovals) {
  ASSERT_TRUE(cache_.Initialize(folder(), 100));
  const struct {
    const char* what;
    char op;  // 'w' writes a stream, 'l' writes one that closes after the unlock, 'd' deletes
    const char* id;
    size_t index;
    size_t bytes;
    size_t total;
  } steps[] = {
      {"first write", 'w', "a", 0, 60, 60},
      {"rewritten smaller", 'w', "a", 0, 30, 30},
      {"another entry", 'w', "b", 0, 40, 70},
      {"a second stream", 'w', "a", 1, 20, 90},
      {"first stream rewritten", 'w', "a", 0, 10, 70},
      {"removed", 'd', "a", 0, 0, 40},
      {"a third entry", 'w', "c", 0, 50, 90},
      {"closed after the unlock, over the limit: the oldest goes", 'l', "d", 0, 30, 80},
  };
  for (const auto& s : steps) {
    if (s.op == 'd') {
      EXPECT_TRUE(cache_.DeleteResource(s.id)) << s.what;
    } else {
      ASSERT_TRUE(cache_.LockResource(s.id)) << s.what;
      std::unique_ptr<StreamInterface> out(cache_.WriteResource(s.id, s.index));
      ASSERT_TRUE(out) << s.what;
      if (s.op == 'l') ASSERT_TRUE(cache_.UnlockResource(s.id));
      ASSERT_TRUE(Write(out.get(), std::string(s.bytes, 'x')));
      out.reset();
      if (s.op == 'w') ASSERT_TRUE(cache_.UnlockResource(s.id));
    }
    size_t on_disk = 0;
    for (const std::string& name : FilesIn(dir_.path())) {
      on_disk += std::filesystem::file_size(folder() + name);
    }
    EXPECT_EQ(s.total, cache_.total_size()) << s.what;
    EXPECT_EQ(s.total, on_disk) << s.what;
  }
  EXPECT_EQ(FilesIn(dir_.path()), (std::set<std::string>{"c.0", "d.0"}));
}

// Whoever may write the cache folder could plant a link at a cache file's name: nothing is
// read or written through it, and what it points to stays as it was.
TEST_F(DiskCacheTest, NothingIsReadOrWrittenThroughALinkAtACacheFileName) {
  TempDir outside;
  const std::string victim = outside.File("victim");
  const std::string missing = outside.File("missing");
  const std::string name = folder() + "a.0";
  const struct {
    const char* what;
    std::function<int()> plant;
  } cases[] = {
      {"a symbolic link", [&] { return symlink(victim.c_str(), name.c_str()); }},
      {"a dangling symbolic link", [&] { return symlink(missing.c_str(), name.c_str()); }},
      {"a hard link", [&] { return link(victim.c_str(), name.c_str()); }},
      {"a FIFO", [&] { return mkfifo(name.c_str(), 0600); }},
  };
  ASSERT_TRUE(cache_.Initialize(folder(), 1000));
  for (const auto& c : cases) {
    WriteFile(victim, "precious");
    Store("a", "cached");
    ASSERT_EQ(unlink(name.c_str()), 0);
    ASSERT_EQ(c.plant(), 0) << c.what;
    std::unique_ptr<StreamInterface> in(cache_.ReadResource("a", 0));
    EXPECT_FALSE(in) << c.what;
    in.reset();
    ASSERT_TRUE(cache_.LockResource("a"));
    std::unique_ptr<StreamInterface> out(cache_.WriteResource("a", 0));
    EXPECT_FALSE(out) << c.what;
    out.reset();
    ASSERT_TRUE(cache_.UnlockResource("a"));
    EXPECT_EQ(ReadFile(victim), "precious") << c.what;
    EXPECT_FALSE(Exists(missing)) << c.what;
    EXPECT_TRUE(cache_.DeleteResource("a")) << c.what;
    unlink(name.c_str());
  }
  EXPECT_EQ(log_.Count("Couldn't create cache file"), 4);
  // A file the cache writes itself is this user's alone.
  Store("b", "mine");
  struct stat st;
  ASSERT_EQ(lstat((folder() + "b.0").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(MemoryStreamTest, GrowsOnlyWhenFullAndNeverPastItsCapOrTheAddressSpace) {
  MemoryStream stream;
  char data[10] = {0};
  size_t written = 0;
  std::string content;  // Each write's own bytes, which growth must keep.
  auto write = [&](int i) {
    memset(data, i, sizeof(data));
    ASSERT_EQ(SR_SUCCESS, stream.Write(data, 10, &written, nullptr));
    content.append(data, written);
  };
  // Writes 1 to 25 fit in the first 256 bytes; the 26th stores the 6 bytes left.
  for (int i = 1; i <= 26; ++i) write(i);
  EXPECT_EQ(6u, written);
  // Exactly full, it doubles, and again after.
  write(27);
  EXPECT_EQ(10u, written);
  for (int i = 28; i <= 60; ++i) write(i);
  ASSERT_TRUE(stream.SetPosition(0));
  EXPECT_TRUE(ReadAll(&stream) == content);

  MemoryStream capped;
  capped.set_max_size(300);
  std::string big(1000, 'z');
  int error = 0;
  EXPECT_EQ(SR_ERROR, capped.WriteAll(big.data(), big.size(), &written, &error));
  EXPECT_EQ(300u, written);
  EXPECT_EQ(EFBIG, error);

  MemoryStream full("full");
  full.SetPosition(4);
  written = 7;
  // The data is never read: the size alone is refused.
  EXPECT_EQ(SR_ERROR, full.Write("x", SIZE_MAX - 2, &written, &error));
  EXPECT_EQ(7u, written);
  EXPECT_FALSE(full.ReserveSize(SIZE_MAX - 4));
}

TEST(StreamTest, ReadLineKeepsCarriageReturnAndEndsAtEndOfStream) {
  MemoryStream stream("ab\r\ncd");
  std::string line;
  EXPECT_EQ(SR_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("ab\r", line);
  EXPECT_EQ(SR_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("cd", line);
  EXPECT_EQ(SR_EOS, stream.ReadLine(&line));
  EXPECT_TRUE(line.empty());
}

// Appends at most `take` bytes a write, and blocks on every `block_every`-th write (0: never).
class TrickleSink : public StringStream {
 public:
  TrickleSink(std::string* out, size_t take, int block_every)
      : StringStream(out), take_(take), block_every_(block_every) {}
  StreamResult Write(const void* data, size_t len, size_t* written, int* error) override {
    if (block_every_ > 0 && ++writes_ % block_every_ == 0) return SR_BLOCK;
    return StringStream::Write(data, std::min(len, take_), written, error);
  }

 private:
  size_t take_;
  int block_every_;
  int writes_ = 0;
};

TEST(StreamTest, WriteAllAndFlowDeliverEveryByteOnceInOrderIntoSinksThatTakeLittle) {
  std::string source(1000, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i % 251);
  for (size_t take : {1, 7, 300}) {
    std::string out;
    TrickleSink sink(&out, take, 0);
    size_t written = 0;
    EXPECT_EQ(SR_SUCCESS, sink.WriteAll(source.data(), source.size(), &written, nullptr));
    EXPECT_EQ(source.size(), written);
    EXPECT_TRUE(out == source) << take;
    // Resumed after each block with what the buffer still holds.
    std::string flowed;
    TrickleSink blocking(&flowed, take, 3);
    StringStream in(source);
    char buffer[64];
    size_t held = 0;
    StreamResult result = SR_BLOCK;
    for (int pass = 0; result == SR_BLOCK && pass < 5000; ++pass) {
      result = Flow(&in, buffer, sizeof(buffer), &blocking, &held);
    }
    EXPECT_EQ(SR_SUCCESS, result);
    EXPECT_EQ(0u, held);
    EXPECT_TRUE(flowed == source) << take;
  }
}

}  // namespace
}  // namespace rtc
