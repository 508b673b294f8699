#include "rtc_base/disk_cache.h"

#include <sys/time.h>
#include <time.h>

#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/file_utils.h"
#include "rtc_base/temp_dir.h"

namespace rtc {
namespace {

using vy_test::TempDir;

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

// A cache file written behind the cache's back, modified `age` seconds ago.
void PlantFile(const std::string& path, const std::string& body, int age) {
  std::ofstream(path, std::ios::binary) << body;
  timeval times[2];
  times[0].tv_sec = times[1].tv_sec = time(nullptr) - age;
  times[0].tv_usec = times[1].tv_usec = 0;
  utimes(path.c_str(), times);
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

TEST_F(DiskCacheTest, ResourceUnlockedWithAWriterOpenStaysUnreadableUntilItCloses) {
  ASSERT_TRUE(cache_.Initialize(folder(), 1000));
  ASSERT_TRUE(cache_.LockResource("a%b"));
  EXPECT_FALSE(cache_.LockResource("a%b"));
  std::unique_ptr<StreamInterface> out(cache_.WriteResource("a%b", 3));
  ASSERT_TRUE(out);
  ASSERT_TRUE(Write(out.get(), "hello"));
  EXPECT_EQ(FilesIn(dir_.path()), std::set<std::string>{"a%25b.3"});

  ASSERT_TRUE(cache_.UnlockResource("a%b"));
  EXPECT_EQ(cache_.ReadResource("a%b", 3), nullptr);
  EXPECT_FALSE(cache_.LockResource("a%b"));
  out.reset();

  EXPECT_TRUE(cache_.HasResource("a%b"));
  EXPECT_TRUE(cache_.HasResourceStream("a%b", 3));
  EXPECT_FALSE(cache_.HasResourceStream("a%b", 0));
  EXPECT_EQ(cache_.total_size(), 5u);
  std::unique_ptr<StreamInterface> in(cache_.ReadResource("a%b", 3));
  ASSERT_TRUE(in);
  EXPECT_EQ(ReadAll(in.get()), "hello");
  EXPECT_FALSE(cache_.DeleteResource("a%b"));
  in.reset();
  EXPECT_TRUE(cache_.DeleteResource("a%b"));
  EXPECT_EQ(cache_.total_size(), 0u);
  EXPECT_TRUE(FilesIn(dir_.path()).empty());
}

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

}  // namespace
}  // namespace rtc
