#include "rtc_base/file_utils.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "rtc_base/logging.h"
#include "rtc_base/stream.h"
#include "rtc_base/unix_file_system.h"

namespace rtc {

namespace {

constexpr int kMaxUniqueFileSuffix = 99;

std::atomic<FilesystemInterface*> g_filesystem_override{nullptr};

bool IsDotEntry(const std::string& name) {
  return name == "." || name == "..";
}

// Recreates the link itself, so that a copy never walks into what it points to.
bool CopySymbolicLink(const Pathname& old_path, const Pathname& new_path) {
  std::vector<char> target(PATH_MAX + 1);
  ssize_t len = readlink(old_path.pathname().c_str(), target.data(), target.size() - 1);
  if (len < 0) {
    RTC_LOG_ERR(LS_ERROR) << "readlink() failed: " << old_path.pathname();
    return false;
  }
  target[len] = '\0';
  if (symlink(target.data(), new_path.pathname().c_str()) != 0) {
    RTC_LOG_ERR(LS_ERROR) << "symlink() failed: " << new_path.pathname();
    return false;
  }
  return true;
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

bool DirectoryIterator::IsDirectory() const {
  return S_ISDIR(stat_.st_mode);
}

bool DirectoryIterator::IsSymbolicLink() const {
  return S_ISLNK(stat_.st_mode);
}

std::string DirectoryIterator::Name() const {
  return dirent_ != nullptr ? dirent_->d_name : "";
}

size_t DirectoryIterator::FileSize() const {
  return static_cast<size_t>(stat_.st_size);
}

std::unique_ptr<DirectoryIterator> FilesystemInterface::IterateDirectory() {
  return std::make_unique<DirectoryIterator>();
}

bool FilesystemInterface::ForEachEntry(
    const Pathname& folder,
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
  return ForEachEntry(old_dir, [&](const DirectoryIterator& entry) {
    Pathname source(old_dir.folder(), entry.Name());
    Pathname target(new_dir.folder(), entry.Name());
    if (entry.IsSymbolicLink()) {
      return CopySymbolicLink(source, target);
    }
    if (entry.IsDirectory()) {
      return CopyFolder(source, target);
    }
    return CopyFile(source, target);
  });
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
  return ForEachEntry(dir, [&](const DirectoryIterator& entry) {
    if (entry.IsDirectory()) {
      Pathname subdir;
      subdir.SetFolder(dir.folder() + entry.Name());
      return DeleteFolderAndContents(subdir);
    }
    return DeleteFile(Pathname(dir.folder(), entry.Name()));
  });
}

bool FilesystemInterface::DeleteFolderAndContents(const Pathname& folder) {
  return DeleteFolderContents(folder) && DeleteEmptyFolder(folder);
}

bool FilesystemInterface::CleanAppTempFolder() {
  Pathname path;
  if (!GetAppTempFolder(&path)) {
    return false;
  }
  if (IsAbsent(path)) {
    return true;
  }
  Pathname temp;
  if (!IsTemporaryPath(path) || !GetTemporaryFolder(temp, false, nullptr) ||
      path.pathname() == temp.pathname()) {
    return false;
  }
  // The folder sits in a place every user can write to: clean it only when it is a real
  // folder of this user's, not a link someone left there.
  std::string text = path.pathname();
  while (text.size() > 1 && Pathname::IsFolderDelimiter(text.back())) {
    text.pop_back();
  }
  struct stat st;
  if (lstat(text.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    RTC_LOG(LS_WARNING) << "Not cleaning foreign temporary folder " << path.pathname();
    return false;
  }
  return DeleteFolderContents(path);
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
