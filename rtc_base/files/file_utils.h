// The file-system layer: an interface over files and folders, a directory iterator, folder
// copy and delete operations built on them, unique file names, and the process's default file
// system. Folder paths are Pathnames whose folder is set and whose file name is empty.
//
// Symbolic links are never followed below the folder a folder operation is given, nor where a
// copy writes: a link inside a folder being deleted is removed as a link, one inside a folder
// being copied is copied as a link, and a link standing at a copy's destination fails the copy.
// The operations walk folders through open descriptors, so a folder swapped for a link
// meanwhile is not entered either.
#ifndef RTC_BASE_FILES_FILE_UTILS_H_
#define RTC_BASE_FILES_FILE_UTILS_H_

#include <dirent.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>

#include "rtc_base/files/pathname.h"

namespace rtc {

class FileStream;

enum FileTimeType { FTT_CREATED = 0, FTT_MODIFIED = 1, FTT_ACCESSED = 2 };

// Walks one folder's entries, "." and ".." included. Each entry is described as it is, not
// as what a symbolic link points to.
class DirectoryIterator {
 public:
  DirectoryIterator();
  virtual ~DirectoryIterator();

  // Starts over on `dir`; false when it cannot be opened or holds nothing readable.
  virtual bool Iterate(const Pathname& dir);
  // Moves to the next entry; false at the end.
  virtual bool Next();
  virtual bool IsDirectory() const;
  virtual std::string Name() const;
  virtual size_t FileSize() const;
  bool IsSymbolicLink() const;

 private:
  // Describes the current entry; false when it vanished meanwhile.
  bool Describe();

  std::string directory_;
  DIR* dir_ = nullptr;
  struct dirent* dirent_ = nullptr;
  struct stat stat_ = {};

  DirectoryIterator(const DirectoryIterator&) = delete;
  DirectoryIterator& operator=(const DirectoryIterator&) = delete;
};

class FilesystemInterface {
 public:
  virtual ~FilesystemInterface() = default;

  virtual std::unique_ptr<DirectoryIterator> IterateDirectory();

  // A file stream opened with the stdio mode text; null when the open fails.
  virtual std::unique_ptr<FileStream> OpenFile(const Pathname& filename,
                                               const std::string& mode) = 0;
  // Creates the file for this user alone; false when it exists or cannot be made.
  virtual bool CreatePrivateFile(const Pathname& filename) = 0;
  // Removes a file or a symbolic link, never a folder.
  virtual bool DeleteFile(const Pathname& filename) = 0;
  virtual bool DeleteEmptyFolder(const Pathname& folder) = 0;
  virtual bool DeleteFolderContents(const Pathname& folder);
  virtual bool DeleteFolderAndContents(const Pathname& folder);
  // Creates the folder and its missing parents; the path must end in a delimiter.
  virtual bool CreateFolder(const Pathname& pathname) = 0;
  // Moves across devices by copying; the source goes only after a complete copy.
  virtual bool MoveFolder(const Pathname& old_path, const Pathname& new_path) = 0;
  virtual bool MoveFile(const Pathname& old_path, const Pathname& new_path) = 0;
  // True only when every byte reached the destination; a failed copy leaves none.
  virtual bool CopyFile(const Pathname& old_path, const Pathname& new_path) = 0;
  virtual bool IsFolder(const Pathname& pathname) = 0;
  virtual bool IsFile(const Pathname& pathname) = 0;
  virtual bool IsAbsent(const Pathname& pathname) = 0;
  virtual bool IsTemporaryPath(const Pathname& pathname) = 0;
  // The temporary folder, with `append` (when given) as a subfolder, created when asked.
  virtual bool GetTemporaryFolder(Pathname& path, bool create, const std::string* append) = 0;
  // Creates a new, empty file named from the prefix in `dir`; empty when none could be made.
  virtual std::string TempFilename(const Pathname& dir, const std::string& prefix) = 0;
  virtual bool GetFileSize(const Pathname& path, size_t* size) = 0;
  virtual bool GetFileTime(const Pathname& path, FileTimeType which, time_t* time) = 0;
  virtual bool GetAppPathname(Pathname* path) = 0;
  // The application's private data folder, created with access for this user alone.
  virtual bool GetAppDataFolder(Pathname* path, bool per_user) = 0;
  // The application's own subfolder of the temporary folder.
  virtual bool GetAppTempFolder(Pathname* path) = 0;
  virtual bool GetDiskFreeSpace(const Pathname& path, int64_t* free_bytes) = 0;
  virtual bool GetDiskTotalSpace(const Pathname& path, int64_t* total_bytes) = 0;
  virtual Pathname GetCurrentDirectory() = 0;

  // Calls `visit` for each entry of the folder but "." and "..", and tells whether every call
  // returned true. A folder that cannot be read has no entries.
  bool ForEachEntry(const Pathname& folder,
                    const std::function<bool(const DirectoryIterator&)>& visit);

  // Copies the folder's tree into the destination folder, which may exist; files are created
  // new, so a name already taken there fails its copy. False when anything failed to copy.
  bool CopyFolder(const Pathname& old_path, const Pathname& new_path);
  bool CopyFileOrFolder(const Pathname& old_path, const Pathname& new_path);
  // Empties the application's temporary folder, and nothing outside it: every folder below the
  // temporary folder on the way must be this user's and no link. True when it is absent.
  bool CleanAppTempFolder();

  void SetOrganizationName(const std::string& organization) { organization_name_ = organization; }
  const std::string& organization_name() const { return organization_name_; }
  void SetApplicationName(const std::string& application) { application_name_ = application; }
  const std::string& application_name() const { return application_name_; }

 protected:
  std::string organization_name_;
  std::string application_name_;
};

// The process's default file system, a UnixFilesystem made on first use from any thread.
class Filesystem {
 public:
  static FilesystemInterface* default_filesystem();
  // Puts another file system in place of the default (null goes back to the built-in one);
  // the caller keeps ownership. Not for use while other threads use the file system.
  static void set_default_filesystem(FilesystemInterface* filesystem);

  static Pathname GetCurrentDirectory() { return default_filesystem()->GetCurrentDirectory(); }
};

// Copies the regular file `from` (relative to the folder open at `from_dir`, or AT_FDCWD) to
// `to`, never writing through a link that stands there. With `exclusive` the destination is
// created new and a source that is a link is refused; otherwise an existing file is
// overwritten. False for anything but regular files, for a file copied onto itself and for any
// failed read or write, after which the destination is removed.
bool CopyRegularFile(int from_dir, const char* from, int to_dir, const char* to, bool exclusive);

// Makes `to` (relative to `to_dir`, or AT_FDCWD) a symbolic link with the target of the link
// `from` (relative to `from_dir`), which is read, never followed. False when `from` is no link
// or `to` is taken.
bool CopyLink(int from_dir, const char* from, int to_dir, const char* to);

// Finds a file name that is not taken: an empty folder means the temporary folder, an empty
// file name a generated one; otherwise the name itself, then "<base>-1" ... "<base>-99" with
// the same extension. With `create_empty` the file is created. False when every name is taken
// or the folder cannot be had.
bool CreateUniqueFile(Pathname& path, bool create_empty);

}  // namespace rtc

#endif  // RTC_BASE_FILES_FILE_UTILS_H_
