#include "rtc_base/files/disk_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/files/file_utils.h"
#include "rtc_base/strings/string_encode.h"

namespace rtc {

namespace {

// Stream indexes a resource may use; the HTTP cache uses two.
constexpr size_t kMaxStreams = 256;

// The prefixes of the cache's log lines.
constexpr char kCheckLimit[] = "bool rtc::DiskCache::CheckLimit(): ";
constexpr char kPurge[] = "bool rtc::DiskCache::Purge(): ";
constexpr char kLockResource[] = "bool rtc::DiskCache::LockResource(const std::string &): ";
constexpr char kWriteResource[] =
    "rtc::StreamInterface *rtc::DiskCache::WriteResource(const std::string &, size_t): ";
constexpr char kDeleteResource[] = "bool rtc::DiskCache::DeleteResource(const std::string &): ";
constexpr char kReleaseResource[] =
    "void rtc::DiskCache::ReleaseResource(const std::string &, size_t) const: ";
constexpr mode_t kCacheFileMode = 0600;

std::string EscapeId(const std::string& id) {
  std::vector<char> buffer(id.size() * 3 + 1);
  size_t len =
      encode(buffer.data(), buffer.size(), id.data(), id.size(), unsafe_filename_characters(), '%');
  return std::string(buffer.data(), len);
}

FilesystemInterface* Fs() { return Filesystem::default_filesystem(); }

// Opens a cache file for writing (created for this user alone, then emptied) or for reading.
// Whoever can write the folder could plant a link at a cache file's name: a symbolic link is
// refused, and so is anything but a plain file with one name, so that nothing outside the
// cache is read or overwritten. A FIFO is refused without blocking. Null with errno set.
std::unique_ptr<FileStream> OpenCacheFile(const std::string& filename, bool write) {
  const int flags =
      (write ? O_WRONLY | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int fd = open(filename.c_str(), flags, kCacheFileMode);
  if (fd < 0) {
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    errno = EPERM;
    return nullptr;
  }
  if (write && ftruncate(fd, 0) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return nullptr;
  }
  auto stream = std::make_unique<FileStream>();
  if (!stream->OpenDescriptor(fd, filename, write ? "wb" : "rb")) {
    return nullptr;
  }
  return stream;
}

}  // namespace

// A stream of one cache file; tells the cache when it closes.
class DiskCache::Adapter : public StreamAdapterInterface {
 public:
  Adapter(const DiskCache* cache, const std::string& id, size_t index, StreamInterface* stream)
      : StreamAdapterInterface(stream), cache_(cache), id_(id), index_(index) {}
  ~Adapter() override {
    Close();
    cache_->ReleaseResource(id_, index_);
  }

 private:
  const DiskCache* const cache_;
  const std::string id_;
  const size_t index_;
};

DiskCache::DiskCache() = default;

DiskCache::~DiskCache() {
  RTC_DCHECK_EQ(total_accessors_, 0u) << "cache streams outlive their cache";
}

bool DiskCache::Initialize(const std::string& folder, size_t size) {
  if (!folder_.empty() || !Fs()->CreateFolder(Pathname(folder))) {
    return false;
  }
  folder_ = folder;
  max_size_ = size;
  if (!LoadEntries()) {
    return false;
  }
  CheckLimit();
  return true;
}

bool DiskCache::Purge() {
  if (folder_.empty()) {
    return false;
  }
  if (total_accessors_ > 0) {
    RTC_LOG(LS_WARNING) << kPurge << "Cache files open";
    return false;
  }
  if (!RemoveAllFiles()) {
    return false;
  }
  map_.clear();
  total_size_ = 0;
  return true;
}

bool DiskCache::LockResource(const std::string& id) {
  if (IdToFilename(id, kMaxStreams - 1).empty()) {
    RTC_LOG(LS_WARNING) << kLockResource << "Cache id too long";
    return false;
  }
  const bool existed = GetEntry(id) != nullptr;
  Entry* entry = GetOrCreateEntry(id);
  if (entry->lock_state != LS_UNLOCKED || entry->accessors > 0) {
    return false;
  }
  if (total_size_ > max_size_ && !CheckLimit()) {
    RTC_LOG(LS_WARNING) << kLockResource << "Cache overfull";
    if (!existed) {
      map_.erase(id);
    }
    return false;
  }
  // Eviction may have taken this very entry.
  entry = GetOrCreateEntry(id);
  entry->lock_state = LS_LOCKED;
  return true;
}

StreamInterface* DiskCache::WriteResource(const std::string& id, size_t index) {
  auto it = map_.find(id);
  if (it == map_.end() || it->second.lock_state != LS_LOCKED || index >= kMaxStreams) {
    return nullptr;
  }
  Entry& entry = it->second;
  std::string filename = IdToFilename(id, index);
  size_t previous_size = 0;
  FileStream::GetSize(filename, &previous_size);
  previous_size = std::min(previous_size, entry.size);

  std::unique_ptr<FileStream> file = OpenCacheFile(filename, true);
  if (!file) {
    RTC_LOG(LS_ERROR) << kWriteResource << "Couldn't create cache file";
    return nullptr;
  }
  entry.streams = std::max(entry.streams, index + 1);
  entry.size -= previous_size;
  total_size_ -= previous_size;
  ++entry.accessors;
  ++total_accessors_;
  return new Adapter(this, id, index, file.release());
}

bool DiskCache::UnlockResource(const std::string& id) {
  auto it = map_.find(id);
  if (it == map_.end() || it->second.lock_state != LS_LOCKED) {
    return false;
  }
  Entry& entry = it->second;
  if (entry.accessors > 0) {
    entry.lock_state = LS_UNLOCKING;
    return true;
  }
  entry.lock_state = LS_UNLOCKED;
  entry.last_modified = time(nullptr);
  CheckLimit();
  return true;
}

StreamInterface* DiskCache::ReadResource(const std::string& id, size_t index) const {
  auto it = map_.find(id);
  if (it == map_.end() || it->second.lock_state != LS_UNLOCKED || index >= it->second.streams) {
    return nullptr;
  }
  const std::string filename = IdToFilename(id, index);
  std::unique_ptr<FileStream> file = OpenCacheFile(filename, false);
  if (!file) {
    RTC_LOG_ERR(LS_WARNING) << "Couldn't open cache file " << filename;
    return nullptr;
  }
  ++it->second.accessors;
  ++total_accessors_;
  return new Adapter(this, id, index, file.release());
}

bool DiskCache::HasResource(const std::string& id) const {
  const Entry* entry = GetEntry(id);
  return entry != nullptr && entry->streams > 0;
}

bool DiskCache::HasResourceStream(const std::string& id, size_t index) const {
  const Entry* entry = GetEntry(id);
  return entry != nullptr && index < entry->streams && HasFile(IdToFilename(id, index));
}

bool DiskCache::DeleteResource(const std::string& id) {
  auto it = map_.find(id);
  if (it == map_.end()) {
    return true;
  }
  Entry& entry = it->second;
  if (entry.lock_state != LS_UNLOCKED || entry.accessors > 0) {
    return false;
  }
  bool success = true;
  for (size_t index = 0; index < entry.streams; ++index) {
    std::string filename = IdToFilename(id, index);
    if (HasFile(filename) && !RemoveFile(filename)) {
      RTC_LOG(LS_ERROR) << kDeleteResource << "Couldn't remove cache file: " << filename;
      success = false;
    }
  }
  // An entry whose files are not all gone stays counted, so the disk never holds more than
  // the cache believes.
  if (success) {
    total_size_ -= std::min(total_size_, entry.size);
    map_.erase(it);
  }
  return success;
}

std::string DiskCache::IdToFilename(const std::string& id, size_t index) const {
  std::string name = EscapeId(id) + "." + std::to_string(index);
  if (name.size() > NAME_MAX) {
    return std::string();
  }
  return folder_ + name;
}

bool DiskCache::FilenameToId(const std::string& filename, std::string* id, size_t* index) {
  size_t dot = filename.rfind('.');
  if (dot == std::string::npos || dot + 1 == filename.size() || filename.size() - dot - 1 > 3) {
    return false;
  }
  size_t value = 0;
  for (size_t i = dot + 1; i < filename.size(); ++i) {
    char ch = filename[i];
    if (ch < '0' || ch > '9') {
      return false;
    }
    value = value * 10 + (ch - '0');
  }
  if (value >= kMaxStreams) {
    return false;
  }
  std::string base = filename.substr(0, dot);
  std::vector<char> buffer(base.size() + 1);
  size_t len = decode(buffer.data(), buffer.size(), base.data(), base.size(), '%');
  std::string decoded(buffer.data(), len);
  // Only names this cache would make: a file named otherwise is not one of its own.
  if (EscapeId(decoded) != base) {
    return false;
  }
  *id = decoded;
  *index = value;
  return true;
}

DiskCache::Entry* DiskCache::GetOrCreateEntry(const std::string& id) {
  auto it = map_.find(id);
  if (it != map_.end()) {
    return &it->second;
  }
  Entry& entry = map_[id];
  entry.last_modified = time(nullptr);
  return &entry;
}

const DiskCache::Entry* DiskCache::GetEntry(const std::string& id) const {
  auto it = map_.find(id);
  return it != map_.end() ? &it->second : nullptr;
}

bool DiskCache::CheckLimit() {
  while (total_size_ > max_size_) {
    // The least recently modified of the entries that nobody holds.
    auto oldest = map_.end();
    for (auto it = map_.begin(); it != map_.end(); ++it) {
      const Entry& entry = it->second;
      if (entry.lock_state != LS_UNLOCKED || entry.accessors > 0) {
        continue;
      }
      if (oldest == map_.end() || entry.last_modified < oldest->second.last_modified) {
        oldest = it;
      }
    }
    if (oldest == map_.end()) {
      RTC_LOG(LS_WARNING) << kCheckLimit << "All resources are locked!";
      return false;
    }
    if (!DeleteResource(oldest->first)) {
      RTC_LOG(LS_ERROR) << kCheckLimit << "Couldn't delete from cache!";
      return false;
    }
  }
  return true;
}

void DiskCache::ReleaseResource(const std::string& id, size_t index) const {
  auto it = map_.find(id);
  if (it == map_.end()) {
    RTC_LOG(LS_WARNING) << kReleaseResource << "Missing cache entry";
    return;
  }
  Entry& entry = it->second;
  --entry.accessors;
  --total_accessors_;
  if (entry.lock_state == LS_UNLOCKED) {
    return;
  }
  size_t size = 0;
  FileStream::GetSize(IdToFilename(id, index), &size);
  entry.size += size;
  total_size_ += size;
  if (entry.lock_state == LS_UNLOCKING && entry.accessors == 0) {
    entry.lock_state = LS_UNLOCKED;
    entry.last_modified = time(nullptr);
    // The written size may have taken the cache over its limit.
    const_cast<DiskCache*>(this)->CheckLimit();
  }
}

bool FolderDiskCache::ForEachCacheFile(
    const std::function<bool(const DirectoryIterator&, const std::string&, size_t)>& visit) {
  Pathname dir;
  dir.SetFolder(folder());
  return Fs()->ForEachEntry(dir, [&](const DirectoryIterator& entry) {
    std::string id;
    size_t index = 0;
    if (entry.IsDirectory() || entry.IsSymbolicLink() || !FilenameToId(entry.Name(), &id, &index)) {
      return true;
    }
    return visit(entry, id, index);
  });
}

bool FolderDiskCache::LoadEntries() {
  size_t total = 0;
  ForEachCacheFile([&](const DirectoryIterator& file, const std::string& id, size_t index) {
    const bool first_file = GetEntry(id) == nullptr;
    Entry* entry = GetOrCreateEntry(id);
    entry->size += file.FileSize();
    entry->streams = std::max(entry->streams, index + 1);
    // An entry is as old as its newest file.
    time_t modified = 0;
    if (Fs()->GetFileTime(Pathname(folder() + file.Name()), FTT_MODIFIED, &modified) &&
        (first_file || modified > entry->last_modified)) {
      entry->last_modified = modified;
    }
    total += file.FileSize();
    return true;
  });
  set_total_size(total);
  return true;
}

bool FolderDiskCache::RemoveAllFiles() {
  return ForEachCacheFile([&](const DirectoryIterator& file, const std::string&, size_t) {
    return Fs()->DeleteFile(Pathname(folder() + file.Name()));
  });
}

bool FolderDiskCache::HasFile(const std::string& filename) const {
  return Fs()->IsFile(Pathname(filename));
}

bool FolderDiskCache::RemoveFile(const std::string& filename) const {
  return Fs()->DeleteFile(Pathname(filename));
}

}  // namespace rtc
