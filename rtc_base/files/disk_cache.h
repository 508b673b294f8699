// A size-limited cache of resources kept as files in one folder. A resource has numbered
// streams, each one file "<escaped id>.<index>". A resource is written while locked and read
// while unlocked; when the total size passes the limit, the least recently modified unlocked
// resources that nobody reads are evicted. The cache and its streams belong to one thread, and
// the cache must outlive the streams it hands out.
#ifndef RTC_BASE_FILES_DISK_CACHE_H_
#define RTC_BASE_FILES_DISK_CACHE_H_

#include <stddef.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>

#include "rtc_base/files/file_utils.h"
#include "rtc_base/http/http_client.h"
#include "rtc_base/net/stream.h"

namespace rtc {

class DiskCache : public HttpCacheStore {
 public:
  DiskCache();
  ~DiskCache() override;

  // Takes the folder (ending in a delimiter), creates it and loads what it holds. False when
  // already initialised or the folder cannot be had.
  bool Initialize(const std::string& folder, size_t size);
  // Removes every resource; false while streams are open.
  bool Purge();

  // HttpCacheStore. The streams are the caller's to delete.
  bool LockResource(const std::string& id) override;
  StreamInterface* WriteResource(const std::string& id, size_t index) override;
  bool UnlockResource(const std::string& id) override;
  StreamInterface* ReadResource(const std::string& id, size_t index) const override;
  bool HasResource(const std::string& id) const override;
  bool DeleteResource(const std::string& id) override;

  bool HasResourceStream(const std::string& id, size_t index) const;

  size_t total_size() const { return total_size_; }
  size_t max_size() const { return max_size_; }

 protected:
  enum LockState { LS_UNLOCKED, LS_LOCKED, LS_UNLOCKING };
  struct Entry {
    LockState lock_state = LS_UNLOCKED;
    size_t accessors = 0;
    size_t size = 0;
    // One more than the highest stream index written.
    size_t streams = 0;
    time_t last_modified = 0;
  };
  using EntryMap = std::map<std::string, Entry>;

  // The storage: a concrete cache fills the entries and total size from the folder, removes
  // every cache file, and tests and removes one file by the names IdToFilename makes.
  virtual bool LoadEntries() = 0;
  virtual bool RemoveAllFiles() = 0;
  virtual bool HasFile(const std::string& filename) const = 0;
  virtual bool RemoveFile(const std::string& filename) const = 0;

  // The file of a stream: the id with '%', path separators and control characters escaped
  // as "%xx", then "." and the index. Empty when the name would be too long for the system.
  std::string IdToFilename(const std::string& id, size_t index) const;
  // The id and index of a cache file name (without folder); false for any other name.
  static bool FilenameToId(const std::string& filename, std::string* id, size_t* index);

  Entry* GetOrCreateEntry(const std::string& id);
  const Entry* GetEntry(const std::string& id) const;
  // Evicts until the total size is within the limit.
  bool CheckLimit();
  // Called when a stream from this cache closes.
  void ReleaseResource(const std::string& id, size_t index) const;

  const std::string& folder() const { return folder_; }
  EntryMap& entries() { return map_; }
  void set_total_size(size_t size) { total_size_ = size; }

 private:
  class Adapter;

  std::string folder_;
  size_t max_size_ = 0;
  // Changed when a stream closes, which a const reader may cause.
  mutable size_t total_size_ = 0;
  mutable EntryMap map_;
  mutable size_t total_accessors_ = 0;
};

// A cache over a folder of its own: any file there whose name is a cache file name is an
// entry; other files are left alone.
class FolderDiskCache : public DiskCache {
 protected:
  // Calls `visit` with each cache file and the id and index its name stands for.
  bool ForEachCacheFile(
      const std::function<bool(const DirectoryIterator&, const std::string&, size_t)>& visit);

  bool LoadEntries() override;
  bool RemoveAllFiles() override;
  bool HasFile(const std::string& filename) const override;
  bool RemoveFile(const std::string& filename) const override;
};

}  // namespace rtc

#endif  // RTC_BASE_FILES_DISK_CACHE_H_
