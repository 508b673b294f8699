#include "rtc_base/files/unix_file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"
#include "rtc_base/net/stream.h"

namespace rtc {

namespace {

constexpr mode_t kDefaultFolderMode = 0755;
constexpr mode_t kPrivateFolderMode = 0700;

Mutex g_folders_mutex;
// The data and temporary folders, with a trailing '/'; empty until found or provided.
std::string g_app_data_folder ABSL_GUARDED_BY(g_folders_mutex);
std::string g_app_temp_folder ABSL_GUARDED_BY(g_folders_mutex);

std::string WithTrailingDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != '/') {
    folder.push_back('/');
  }
  return folder;
}

// Fills the folders not provided yet from the environment.
void FindFoldersLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(g_folders_mutex) {
  if (g_app_data_folder.empty()) {
    const char* xdg = getenv("XDG_DATA_HOME");
    const char* home = getenv("HOME");
    // Relative XDG folders are to be ignored.
    if (xdg != nullptr && xdg[0] == '/') {
      g_app_data_folder = WithTrailingDelimiter(xdg);
    } else if (home != nullptr && home[0] != '\0') {
      g_app_data_folder = WithTrailingDelimiter(home) + ".local/share/";
    }
  }
  if (g_app_temp_folder.empty()) {
    const char* tmpdir = getenv("TMPDIR");
    g_app_temp_folder =
        WithTrailingDelimiter(tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp");
  }
}

std::string DataFolder() {
  MutexLock lock(&g_folders_mutex);
  FindFoldersLocked();
  return g_app_data_folder;
}

std::string TempFolder() {
  MutexLock lock(&g_folders_mutex);
  FindFoldersLocked();
  return g_app_temp_folder;
}

// A name that stays one folder below its parent.
bool IsPlainFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The path text of a folder without its trailing delimiter, as rmdir and rename want it.
std::string FolderText(const Pathname& folder) {
  std::string text = folder.pathname();
  if (text.size() > 1 && Pathname::IsFolderDelimiter(text.back())) {
    text.pop_back();
  }
  return text;
}

}  // namespace

UnixFilesystem::UnixFilesystem() {
  MutexLock lock(&g_folders_mutex);
  FindFoldersLocked();
}

UnixFilesystem::~UnixFilesystem() = default;

void UnixFilesystem::SetAppDataFolder(const std::string& folder) {
  MutexLock lock(&g_folders_mutex);
  g_app_data_folder = WithTrailingDelimiter(folder);
}

void UnixFilesystem::SetAppTempFolder(const std::string& folder) {
  MutexLock lock(&g_folders_mutex);
  g_app_temp_folder = WithTrailingDelimiter(folder);
}

std::unique_ptr<FileStream> UnixFilesystem::OpenFile(const Pathname& filename,
                                                     const std::string& mode) {
  auto stream = std::make_unique<FileStream>();
  if (!stream->Open(filename.pathname(), mode.c_str(), nullptr)) {
    return nullptr;
  }
  return stream;
}

bool UnixFilesystem::CreatePrivateFile(const Pathname& filename) {
  int fd = open(filename.pathname().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    RTC_LOG_ERR(LS_ERROR) << "open() failed.";
    return false;
  }
  if (close(fd) < 0) {
    RTC_LOG_ERR(LS_ERROR) << "close() failed.";
    return false;
  }
  return true;
}

bool UnixFilesystem::DeleteFile(const Pathname& filename) {
  RTC_LOG(LS_INFO) << "Deleting file:" << filename.pathname();
  // A symbolic link is removed itself, whatever it points to.
  struct stat st;
  if (lstat(filename.pathname().c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    return false;
  }
  return unlink(filename.pathname().c_str()) == 0;
}

bool UnixFilesystem::DeleteEmptyFolder(const Pathname& folder) {
  RTC_LOG(LS_INFO) << "Deleting folder" << folder.pathname();
  if (!IsFolder(folder)) {
    return false;
  }
  return rmdir(FolderText(folder).c_str()) == 0;
}

bool UnixFilesystem::CreateFolder(const Pathname& pathname) {
  return CreateFolder(pathname, kDefaultFolderMode);
}

bool UnixFilesystem::CreateFolder(const Pathname& pathname, mode_t mode) {
  std::string text = pathname.pathname();
  if (text.empty() || text.back() != '/') {
    return false;
  }
  struct stat st;
  if (stat(text.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode);
  }
  if (errno != ENOENT) {
    return false;
  }
  size_t pos = text.size() >= 2 ? text.rfind('/', text.size() - 2) : std::string::npos;
  Pathname parent;
  if (pos != std::string::npos) {
    parent.SetFolder(text.substr(0, pos + 1));
  }
  if (!CreateFolder(parent, mode)) {
    return false;
  }
  RTC_LOG(LS_INFO) << "Creating folder: " << text;
  if (mkdir(text.c_str(), mode) == 0) {
    return true;
  }
  // Made by someone else meanwhile: as good as made here.
  return errno == EEXIST && IsFolder(pathname);
}

bool UnixFilesystem::MoveFile(const Pathname& old_path, const Pathname& new_path) {
  if (!IsFile(old_path)) {
    return false;
  }
  RTC_LOG(LS_VERBOSE) << "Moving " << old_path.pathname() << " to " << new_path.pathname();
  if (rename(old_path.pathname().c_str(), new_path.pathname().c_str()) == 0) {
    return true;
  }
  if (errno != EXDEV) {
    return false;
  }
  return CopyFile(old_path, new_path) && DeleteFile(old_path);
}

bool UnixFilesystem::MoveFolder(const Pathname& old_path, const Pathname& new_path) {
  if (!IsFolder(old_path)) {
    return false;
  }
  RTC_LOG(LS_VERBOSE) << "Moving " << old_path.pathname() << " to " << new_path.pathname();
  const std::string from = FolderText(old_path);
  const std::string to = FolderText(new_path);
  if (rename(from.c_str(), to.c_str()) == 0) {
    return true;
  }
  if (errno != EXDEV) {
    return false;
  }
  // A link given as the folder moves as a link, as rename moves it on one device: its target
  // is neither copied nor emptied.
  struct stat st;
  if (lstat(from.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return CopyLink(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str()) && unlink(from.c_str()) == 0;
  }
  return CopyFolder(old_path, new_path) && DeleteFolderAndContents(old_path);
}

bool UnixFilesystem::CopyFile(const Pathname& old_path, const Pathname& new_path) {
  RTC_LOG(LS_VERBOSE) << "Copying " << old_path.pathname() << " to " << new_path.pathname();
  return CopyRegularFile(AT_FDCWD, old_path.pathname().c_str(), AT_FDCWD,
                         new_path.pathname().c_str(), false);
}

bool UnixFilesystem::IsFolder(const Pathname& pathname) {
  struct stat st;
  return stat(pathname.pathname().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool UnixFilesystem::IsFile(const Pathname& pathname) {
  struct stat st;
  return stat(pathname.pathname().c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool UnixFilesystem::IsAbsent(const Pathname& pathname) {
  struct stat st;
  return stat(pathname.pathname().c_str(), &st) != 0 && errno == ENOENT;
}

bool UnixFilesystem::IsTemporaryPath(const Pathname& pathname) {
  std::string temp = TempFolder();
  return pathname.pathname().compare(0, temp.size(), temp) == 0;
}

bool UnixFilesystem::GetTemporaryFolder(Pathname& path, bool create, const std::string* append) {
  path.SetPathname(TempFolder(), std::string());
  if (append != nullptr) {
    path.AppendFolder(*append);
  }
  return !create || CreateFolder(path);
}

std::string UnixFilesystem::TempFilename(const Pathname& dir, const std::string& prefix) {
  std::string name = dir.pathname();
  if (name.empty() || !Pathname::IsFolderDelimiter(name.back())) {
    name.push_back('/');
  }
  name += prefix + "XXXXXX";
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    RTC_LOG_ERR(LS_ERROR) << "mkstemp() failed";
    return std::string();
  }
  close(fd);
  return name;
}

bool UnixFilesystem::GetFileSize(const Pathname& path, size_t* size) {
  struct stat st;
  if (stat(path.pathname().c_str(), &st) != 0) {
    return false;
  }
  *size = static_cast<size_t>(st.st_size);
  return true;
}

bool UnixFilesystem::GetFileTime(const Pathname& path, FileTimeType which, time_t* time) {
  struct stat st;
  if (stat(path.pathname().c_str(), &st) != 0) {
    return false;
  }
  switch (which) {
    case FTT_CREATED:
      *time = st.st_ctime;
      return true;
    case FTT_MODIFIED:
      *time = st.st_mtime;
      return true;
    case FTT_ACCESSED:
      *time = st.st_atime;
      return true;
  }
  return false;
}

bool UnixFilesystem::GetAppPathname(Pathname* path) {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t len = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (len > 0) {
    path->SetPathname(std::string(buffer.data(), len));
  } else {
    path->SetPathname(program_invocation_name);
  }
  return true;
}

bool UnixFilesystem::GetAppDataFolder(Pathname* path, bool /*per_user*/) {
  std::string data = DataFolder();
  if (data.empty() || !IsPlainFolderName(organization_name_) ||
      !IsPlainFolderName(application_name_)) {
    return false;
  }
  path->SetPathname(data, std::string());
  path->AppendFolder(organization_name_);
  path->AppendFolder(application_name_);
  if (!CreateFolder(*path, kPrivateFolderMode)) {
    return false;
  }
  // The folder may have existed with a wider mode.
  if (chmod(path->pathname().c_str(), kPrivateFolderMode) != 0) {
    RTC_LOG_ERR(LS_ERROR) << "Can't set mode on " << path->pathname();
    return false;
  }
  return true;
}

bool UnixFilesystem::GetAppTempFolder(Pathname* path) {
  std::string application = application_name_;
  if (application.empty()) {
    Pathname app;
    GetAppPathname(&app);
    application = app.filename();
  }
  if (!IsPlainFolderName(application) ||
      (!organization_name_.empty() && !IsPlainFolderName(organization_name_))) {
    return false;
  }
  path->SetPathname(TempFolder(), std::string());
  if (!organization_name_.empty()) {
    path->AppendFolder(organization_name_);
  }
  path->AppendFolder(application);
  return true;
}

bool UnixFilesystem::StatDisk(const Pathname& path, struct statvfs* st) {
  Pathname folder;
  folder.SetFolder(path.folder());
  while (!folder.folder().empty() && IsAbsent(folder)) {
    folder.SetFolder(folder.parent_folder());
  }
  return statvfs(folder.pathname().c_str(), st) == 0;
}

bool UnixFilesystem::GetDiskFreeSpace(const Pathname& path, int64_t* free_bytes) {
  struct statvfs st;
  if (!StatDisk(path, &st)) {
    return false;
  }
  *free_bytes = static_cast<int64_t>(st.f_frsize) * static_cast<int64_t>(st.f_bavail);
  return true;
}

bool UnixFilesystem::GetDiskTotalSpace(const Pathname& path, int64_t* total_bytes) {
  struct statvfs st;
  if (!StatDisk(path, &st)) {
    return false;
  }
  *total_bytes = static_cast<int64_t>(st.f_frsize) * static_cast<int64_t>(st.f_blocks);
  return true;
}

Pathname UnixFilesystem::GetCurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) {
    RTC_LOG_ERR(LS_ERROR) << "getcwd() failed";
    return Pathname();
  }
  Pathname path;
  path.SetFolder(buffer.data());
  return path;
}

}  // namespace rtc
