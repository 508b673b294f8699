// The POSIX file system. The application data folder is $XDG_DATA_HOME (else
// $HOME/.local/share) with the organisation and application names below it; the temporary
// folder is $TMPDIR (else /tmp), and the application's temporary folder a subfolder of it named
// after the application, so that cleaning it never touches other programs' files.
#ifndef RTC_BASE_FILES_UNIX_FILE_SYSTEM_H_
#define RTC_BASE_FILES_UNIX_FILE_SYSTEM_H_

#include <sys/statvfs.h>
#include <sys/types.h>

#include <string>

#include "rtc_base/files/file_utils.h"

namespace rtc {

class UnixFilesystem : public FilesystemInterface {
 public:
  UnixFilesystem();
  ~UnixFilesystem() override;

  // Replace the process-wide data and temporary folders found in the environment; an empty
  // text goes back to the environment's.
  static void SetAppDataFolder(const std::string& folder);
  static void SetAppTempFolder(const std::string& folder);

  std::unique_ptr<FileStream> OpenFile(const Pathname& filename, const std::string& mode) override;
  bool CreatePrivateFile(const Pathname& filename) override;
  bool DeleteFile(const Pathname& filename) override;
  bool DeleteEmptyFolder(const Pathname& folder) override;
  bool CreateFolder(const Pathname& pathname) override;
  bool CreateFolder(const Pathname& pathname, mode_t mode);
  bool MoveFolder(const Pathname& old_path, const Pathname& new_path) override;
  bool MoveFile(const Pathname& old_path, const Pathname& new_path) override;
  bool CopyFile(const Pathname& old_path, const Pathname& new_path) override;
  bool IsFolder(const Pathname& pathname) override;
  bool IsFile(const Pathname& pathname) override;
  bool IsAbsent(const Pathname& pathname) override;
  bool IsTemporaryPath(const Pathname& pathname) override;
  bool GetTemporaryFolder(Pathname& path, bool create, const std::string* append) override;
  std::string TempFilename(const Pathname& dir, const std::string& prefix) override;
  bool GetFileSize(const Pathname& path, size_t* size) override;
  bool GetFileTime(const Pathname& path, FileTimeType which, time_t* time) override;
  bool GetAppPathname(Pathname* path) override;
  bool GetAppDataFolder(Pathname* path, bool per_user) override;
  bool GetAppTempFolder(Pathname* path) override;
  bool GetDiskFreeSpace(const Pathname& path, int64_t* free_bytes) override;
  bool GetDiskTotalSpace(const Pathname& path, int64_t* total_bytes) override;
  Pathname GetCurrentDirectory() override;

 private:
  // The statvfs of the path's nearest existing folder.
  bool StatDisk(const Pathname& path, struct ::statvfs* st);
};

}  // namespace rtc

#endif  // RTC_BASE_FILES_UNIX_FILE_SYSTEM_H_
