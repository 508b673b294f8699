#include "core/log_file_sink.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/common.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <utility>

namespace vy {

namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;

// Makes the missing folders above `path`, each 0700. Folders that exist are left as they are:
// they are the app's.
void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), kFolderMode) == 0) chmod(folder.c_str(), kFolderMode);
  }
}

// The descriptor of `path`, opened for appending (emptied with `truncate`), or -1 with errno
// set. O_NOFOLLOW refuses a symbolic link, O_NONBLOCK a FIFO nobody reads (which would block the
// open for ever); what is opened must be a plain file of this user with one name.
int OpenPrivate(const std::string& path, bool truncate) {
  int fd = open(path.c_str(),
                O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                kFileMode);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  // A file left by an earlier version, or made under a loose umask, becomes private too.
  if ((st.st_mode & 07777) != kFileMode) fchmod(fd, kFileMode);
  if (truncate && ftruncate(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  return fd;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

LogFileSink::LogFileSink(std::string path, size_t max_bytes)
    : path_(std::move(path)), max_bytes_(max_bytes) {
  MakeFolders(path_);
  fd_ = OpenPrivate(path_, false);
  if (fd_ < 0) spdlog::throw_spdlog_ex("Failed opening the log file " + path_, errno);
  struct stat st {};
  if (fstat(fd_, &st) == 0) size_ = static_cast<size_t>(st.st_size);
}

LogFileSink::~LogFileSink() {
  if (fd_ >= 0) close(fd_);
}

void LogFileSink::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t line;
  formatter_->format(msg, line);
  if (fd_ >= 0 && size_ + line.size() > max_bytes_) Rotate();
  if (fd_ < 0) return;
  if (WriteAll(fd_, line.data(), line.size())) size_ += line.size();
}

void LogFileSink::Rotate() {
  close(fd_);
  // The backup's name is spdlog's; a rename replaces whatever had that name without following
  // it. When the rename fails the file starts again empty, so it never grows past its limit.
  const std::string backup = spdlog::sinks::rotating_file_sink_mt::calc_filename(path_, 1);
  bool renamed = rename(path_.c_str(), backup.c_str()) == 0;
  fd_ = OpenPrivate(path_, !renamed);
  size_ = 0;
}

}  // namespace vy
