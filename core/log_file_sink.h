// The file behind the library's log: spdlog's rotating scheme (a size limit and one backup,
// named as spdlog names it), written through a descriptor the library opens itself. The log
// holds message texts, so the file is the user's alone: created 0600 in folders made 0700, and
// never reached through a link someone else planted.
#ifndef CORE_LOG_FILE_SINK_H_
#define CORE_LOG_FILE_SINK_H_

#include <spdlog/sinks/base_sink.h>

#include <cstddef>
#include <mutex>
#include <string>

namespace vy {

class LogFileSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // Opens `path` for appending, making its missing folders (0700) and the file (0600). Throws
  // spdlog::spdlog_ex when the file cannot be opened, or is not a plain file of this user with
  // one name: a symbolic link, a second name of another file, a FIFO or another user's file.
  LogFileSink(std::string path, size_t max_bytes);
  ~LogFileSink() override;

  LogFileSink(const LogFileSink&) = delete;
  LogFileSink& operator=(const LogFileSink&) = delete;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  // Every line is written straight to the file; there is nothing to flush.
  void flush_() override {}

 private:
  // Moves the file to its backup name and starts an empty one. When that cannot be opened,
  // lines are dropped until the log is opened again.
  void Rotate();

  const std::string path_;
  const size_t max_bytes_;
  int fd_ = -1;
  size_t size_ = 0;
};

}  // namespace vy

#endif  // CORE_LOG_FILE_SINK_H_
