#include "rtc_base/files/file_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "rtc_base/base/logging.h"
#include "rtc_base/files/unix_file_system.h"
#include "rtc_base/net/stream.h"
#include "rtc_base/strings/string_encode.h"

namespace rtc {

namespace {

constexpr int kMaxUniqueFileSuffix = 99;
// Files are copied in blocks of this size.
constexpr size_t kCopyBlockSize = 64 * 1024;
constexpr mode_t kCopyFolderMode = 0755;
// A folder below one already open, entered only when it is a folder and not a link to one.
constexpr int kSubfolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::atomic<FilesystemInterface*> g_filesystem_override{nullptr};

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { reset(-1); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// A folder's path as open() takes it: a trailing delimiter would make it follow a link.
std::string FolderText(const Pathname& path) {
  std::string text = path.pathname();
  while (text.size() > 1 && Pathname::IsFolderDelimiter(text.back())) {
    text.pop_back();
  }
  return text;
}

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyBytes(int in, int out) {
  std::vector<char> block(kCopyBlockSize);
  while (true) {
    ssize_t n = read(in, block.data(), block.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n == 0) {
      return true;
    }
    if (n < 0 || !WriteAll(out, block.data(), static_cast<size_t>(n))) {
      return false;
    }
  }
}

// The names in the folder open at `dir`, "." and ".." left out.
bool ListFolder(int dir, std::vector<std::string>* names) {
  // A descriptor of its own, so that reading the folder leaves `dir` as it is.
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* handle = fd >= 0 ? fdopendir(fd) : nullptr;
  if (handle == nullptr) {
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  while (const dirent* entry = readdir(handle)) {
    if (!IsDotEntry(entry->d_name)) {
      names->push_back(entry->d_name);
    }
  }
  closedir(handle);
  return true;
}

// Empties the folder open at `dir` through descriptors alone: a link is removed as a link, and
// a folder swapped for a link meanwhile is not entered.
bool DeleteContentsAt(int dir) {
  std::vector<std::string> names;
  if (!ListFolder(dir, &names)) {
    return false;
  }
  bool success = true;
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      success = errno == ENOENT && success;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      ScopedFd subfolder(openat(dir, name.c_str(), kSubfolderFlags));
      success = subfolder.get() >= 0 && DeleteContentsAt(subfolder.get()) && success;
      success = unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && success;
    } else {
      success = unlinkat(dir, name.c_str(), 0) == 0 && success;
    }
  }
  return success;
}

// Copies the tree in the folder open at `from` into the folder open at `to`, neither entering a
// link nor writing through one: links are copied as links, files are created new.
bool CopyContentsAt(int from, int to) {
  std::vector<std::string> names;
  if (!ListFolder(from, &names)) {
    return false;
  }
  bool success = true;
  for (const std::string& name : names) {
    const char* entry = name.c_str();
    struct stat st;
    bool copied = fstatat(from, entry, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (copied && S_ISLNK(st.st_mode)) {
      copied = CopyLink(from, entry, to, entry);
    } else if (copied && S_ISDIR(st.st_mode)) {
      ScopedFd source(openat(from, entry, kSubfolderFlags));
      copied = source.get() >= 0 && (mkdirat(to, entry, kCopyFolderMode) == 0 || errno == EEXIST);
      ScopedFd dest(copied ? openat(to, entry, kSubfolderFlags) : -1);
      copied = dest.get() >= 0 && CopyContentsAt(source.get(), dest.get());
    } else if (copied) {
      copied = CopyRegularFile(from, entry, to, entry, true);
    }
    if (!copied) {
      RTC_LOG_ERR(LS_ERROR) << "Failed to copy " << name;
    }
    success = copied && success;
  }
  return success;
}

}  // namespace

DirectoryIterator::DirectoryIterator() = default;

DirectoryIterator::~DirectoryIterator() {
  if (dir_ != nullptr) {
    closedir(dir_);
  }
}

bool DirectoryIterator::Iterate(const Pathname& dir) {
  directory_ = dir.pathname();
  if (dir_ != nullptr) {
    closedir(dir_);
  }
  dir_ = opendir(directory_.c_str());
  if (dir_ == nullptr) {
    return false;
  }
  return Next();
}

bool DirectoryIterator::Next() {
  if (dir_ == nullptr) {
    return false;
  }
  dirent_ = readdir(dir_);
  if (dirent_ == nullptr) {
    return false;
  }
  return Describe();
}

bool DirectoryIterator::Describe() {
  std::string path = directory_;
  if (!path.empty() && !Pathname::IsFolderDelimiter(path.back())) {
    path.push_back('/');
  }
  path += dirent_->d_name;
  return lstat(path.c_str(), &stat_) == 0;
}

bool DirectoryIterator::IsDirectory() const { return S_ISDIR(stat_.st_mode); }

bool DirectoryIterator::IsSymbolicLink() const { return S_ISLNK(stat_.st_mode); }

std::string DirectoryIterator::Name() const { return dirent_ != nullptr ? dirent_->d_name : ""; }

size_t DirectoryIterator::FileSize() const { return static_cast<size_t>(stat_.st_size); }

std::unique_ptr<DirectoryIterator> FilesystemInterface::IterateDirectory() {
  return std::make_unique<DirectoryIterator>();
}

bool FilesystemInterface::ForEachEntry(const Pathname& folder,
                                       const std::function<bool(const DirectoryIterator&)>& visit) {
  std::unique_ptr<DirectoryIterator> it = IterateDirectory();
  if (!it) {
    return false;
  }
  Pathname dir;
  dir.SetFolder(folder.pathname());
  if (!it->Iterate(dir)) {
    return true;
  }
  bool success = true;
  do {
    if (!IsDotEntry(it->Name())) {
      success = visit(*it) && success;
    }
  } while (it->Next());
  return success;
}

bool FilesystemInterface::CopyFolder(const Pathname& old_path, const Pathname& new_path) {
  Pathname old_dir;
  old_dir.SetFolder(old_path.pathname());
  Pathname new_dir;
  new_dir.SetFolder(new_path.pathname());
  if (!CreateFolder(new_dir)) {
    return false;
  }
  ScopedFd from(open(FolderText(old_dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ScopedFd to(open(FolderText(new_dir).c_str(), kSubfolderFlags));
  return from.get() >= 0 && to.get() >= 0 && CopyContentsAt(from.get(), to.get());
}

bool FilesystemInterface::CopyFileOrFolder(const Pathname& old_path, const Pathname& new_path) {
  if (IsFile(old_path)) {
    return CopyFile(old_path, new_path);
  }
  return CopyFolder(old_path, new_path);
}

bool FilesystemInterface::DeleteFolderContents(const Pathname& folder) {
  Pathname dir;
  dir.SetFolder(folder.pathname());
  ScopedFd fd(open(FolderText(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) {
    // Nothing to delete in a folder that is not there.
    return errno == ENOENT;
  }
  return DeleteContentsAt(fd.get());
}

bool FilesystemInterface::DeleteFolderAndContents(const Pathname& folder) {
  Pathname dir;
  dir.SetFolder(folder.pathname());
  const std::string text = FolderText(dir);
  // The folder is opened without following a link: a link given as the folder goes as a link,
  // and what it points to is left as it is.
  ScopedFd fd(open(text.c_str(), kSubfolderFlags));
  if (fd.get() < 0) {
    struct stat st;
    if ((errno == ELOOP || errno == ENOTDIR) && lstat(text.c_str(), &st) == 0 &&
        S_ISLNK(st.st_mode)) {
      return DeleteFile(Pathname(text));
    }
    return false;
  }
  return DeleteContentsAt(fd.get()) && DeleteEmptyFolder(dir);
}

bool FilesystemInterface::CleanAppTempFolder() {
  Pathname path;
  Pathname temp;
  if (!GetAppTempFolder(&path) || !GetTemporaryFolder(temp, false, nullptr)) {
    return false;
  }
  const std::string text = path.pathname();
  const std::string base = temp.pathname();
  std::vector<std::string> components;
  if (!IsTemporaryPath(path) || text.compare(0, base.size(), base) != 0 ||
      tokenize(text.substr(base.size()), '/', &components) == 0) {
    return false;
  }
  // The temporary folder is the user's own setting and may be a link (/tmp often is). Below it,
  // where every user may write, each folder is entered only when it is no link and this user's.
  ScopedFd dir(open(FolderText(temp).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    return errno == ENOENT;
  }
  for (const std::string& name : components) {
    struct stat st;
    if (IsDotEntry(name)) {
      return false;
    }
    dir.reset(openat(dir.get(), name.c_str(), kSubfolderFlags));
    if (dir.get() < 0 && errno == ENOENT) {
      return true;
    }
    if (dir.get() < 0 || fstat(dir.get(), &st) != 0 || st.st_uid != geteuid()) {
      RTC_LOG(LS_WARNING) << "Not cleaning foreign temporary folder " << text;
      return false;
    }
  }
  return DeleteContentsAt(dir.get());
}

FilesystemInterface* Filesystem::default_filesystem() {
  FilesystemInterface* override_fs = g_filesystem_override.load(std::memory_order_acquire);
  if (override_fs != nullptr) {
    return override_fs;
  }
  // Made once, by whichever thread comes first, and kept until the process ends.
  static FilesystemInterface* const built_in = new UnixFilesystem();
  return built_in;
}

void Filesystem::set_default_filesystem(FilesystemInterface* filesystem) {
  g_filesystem_override.store(filesystem, std::memory_order_release);
}

bool CopyLink(int from_dir, const char* from, int to_dir, const char* to) {
  std::vector<char> target(PATH_MAX + 1, '\0');
  return readlinkat(from_dir, from, target.data(), target.size() - 1) >= 0 &&
         symlinkat(target.data(), to_dir, to) == 0;
}

bool CopyRegularFile(int from_dir, const char* from, int to_dir, const char* to, bool exclusive) {
  ScopedFd in(
      openat(from_dir, from, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_NOFOLLOW : 0)));
  struct stat in_st;
  if (in.get() < 0 || fstat(in.get(), &in_st) != 0 || !S_ISREG(in_st.st_mode)) {
    return false;
  }
  // A FIFO would block the open without O_NONBLOCK; it is refused just after.
  ScopedFd out(openat(
      to_dir, to,
      O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0), 0666));
  struct stat out_st;
  if (out.get() < 0 || fstat(out.get(), &out_st) != 0 || !S_ISREG(out_st.st_mode)) {
    RTC_LOG_ERR(LS_ERROR) << "Copy destination refused: " << to;
    return false;
  }
  // Truncating a file copied onto itself would lose it.
  if (in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
    return false;
  }
  if (ftruncate(out.get(), 0) != 0 || !CopyBytes(in.get(), out.get())) {
    RTC_LOG_ERR(LS_ERROR) << "Copy failed: " << to;
    unlinkat(to_dir, to, 0);
    return false;
  }
  return true;
}

bool CreateUniqueFile(Pathname& path, bool create_empty) {
  FilesystemInterface* fs = Filesystem::default_filesystem();
  if (path.folder().empty()) {
    Pathname temp;
    if (!fs->GetTemporaryFolder(temp, true, nullptr)) {
      RTC_LOG(LS_ERROR) << "Get temp failed";
      return false;
    }
    path.SetFolder(temp.folder());
  }

  if (path.filename().empty()) {
    std::string name = fs->TempFilename(Pathname(path.folder(), std::string()), "gt");
    if (name.empty()) {
      return false;
    }
    path.SetPathname(name);
    if (!create_empty) {
      fs->DeleteFile(path);
    }
    return true;
  }

  const std::string basename = path.basename();
  for (int i = 0; i <= kMaxUniqueFileSuffix; ++i) {
    if (i > 0) {
      path.SetBasename(basename + "-" + std::to_string(i));
    }
    if (!fs->IsAbsent(path)) {
      continue;
    }
    if (!create_empty) {
      return true;
    }
    // "x" refuses a name taken meanwhile, and a dangling link.
    std::unique_ptr<FileStream> file = fs->OpenFile(path, "wx");
    if (file) {
      return true;
    }
  }
  path.SetBasename(basename);
  return false;
}

}  // namespace rtc
