#include "rtc_base/net/stream.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "rtc_base/base/checks.h"
#include "rtc_base/threads/thread.h"

namespace rtc {

// StreamInterface

StreamInterface::StreamInterface() = default;

StreamInterface::~StreamInterface() = default;

void StreamInterface::OnMessage(Message* msg) {
  if (msg->message_id != kStreamEventMessageId) return;
  std::unique_ptr<StreamEventData> pe(static_cast<StreamEventData*>(msg->pdata));
  msg->pdata = nullptr;
  SignalEvent(this, pe->events, pe->error);
}

const void* StreamInterface::GetReadData(size_t* /*data_len*/) { return nullptr; }

void* StreamInterface::GetWriteBuffer(size_t* /*buf_len*/) { return nullptr; }

bool StreamInterface::SetPosition(size_t /*position*/) { return false; }

bool StreamInterface::GetPosition(size_t* /*position*/) const { return false; }

bool StreamInterface::GetSize(size_t* /*size*/) const { return false; }

bool StreamInterface::GetAvailable(size_t* /*size*/) const { return false; }

bool StreamInterface::GetWriteRemaining(size_t* /*size*/) const { return false; }

bool StreamInterface::Flush() { return false; }

bool StreamInterface::ReserveSize(size_t /*size*/) { return true; }

void StreamInterface::PostEvent(Thread* thread, int events, int err) {
  if (!thread) {
    // Only a thread of the runtime has a loop to deliver the event on.
    RTC_LOG(LS_ERROR) << "Stream event " << events << " posted without a thread; dropped";
    return;
  }
  thread->Post(RTC_FROM_HERE, this, kStreamEventMessageId, new StreamEventData(events, err));
}

void StreamInterface::PostEvent(int events, int err) { PostEvent(Thread::Current(), events, err); }

StreamResult StreamInterface::WriteAll(const void* data, size_t data_len, size_t* written,
                                       int* error) {
  StreamResult result = SR_SUCCESS;
  size_t total_written = 0, current_written;
  while (total_written < data_len) {
    result = Write(static_cast<const char*>(data) + total_written, data_len - total_written,
                   &current_written, error);
    if (result != SR_SUCCESS) break;
    total_written += current_written;
  }
  if (written) *written = total_written;
  return result;
}

StreamResult StreamInterface::ReadAll(void* buffer, size_t buffer_len, size_t* read, int* error) {
  StreamResult result = SR_SUCCESS;
  size_t total_read = 0, current_read;
  while (total_read < buffer_len) {
    result = Read(static_cast<char*>(buffer) + total_read, buffer_len - total_read, &current_read,
                  error);
    if (result != SR_SUCCESS) break;
    total_read += current_read;
  }
  if (read) *read = total_read;
  return result;
}

StreamResult StreamInterface::ReadLine(std::string* line) {
  line->clear();
  StreamResult result = SR_SUCCESS;
  while (true) {
    char ch;
    result = Read(&ch, sizeof(ch), nullptr, nullptr);
    if (result != SR_SUCCESS) break;
    if (ch == '\n') break;
    line->push_back(ch);
  }
  if (!line->empty()) result = SR_SUCCESS;
  return result;
}

// StreamAdapterInterface

StreamAdapterInterface::StreamAdapterInterface(StreamInterface* stream, bool owned)
    : stream_(stream), owned_(owned) {
  if (stream_) stream_->SignalEvent.connect(this, &StreamAdapterInterface::OnEvent);
}

StreamAdapterInterface::~StreamAdapterInterface() {
  if (owned_) delete stream_;
}

StreamState StreamAdapterInterface::GetState() const { return stream_->GetState(); }

StreamResult StreamAdapterInterface::Read(void* buffer, size_t buffer_len, size_t* read,
                                          int* error) {
  return stream_->Read(buffer, buffer_len, read, error);
}

StreamResult StreamAdapterInterface::Write(const void* data, size_t data_len, size_t* written,
                                           int* error) {
  return stream_->Write(data, data_len, written, error);
}

void StreamAdapterInterface::Close() { stream_->Close(); }

bool StreamAdapterInterface::SetPosition(size_t position) { return stream_->SetPosition(position); }

bool StreamAdapterInterface::GetPosition(size_t* position) const {
  return stream_->GetPosition(position);
}

bool StreamAdapterInterface::GetSize(size_t* size) const { return stream_->GetSize(size); }

bool StreamAdapterInterface::GetAvailable(size_t* size) const {
  return stream_->GetAvailable(size);
}

bool StreamAdapterInterface::GetWriteRemaining(size_t* size) const {
  return stream_->GetWriteRemaining(size);
}

bool StreamAdapterInterface::ReserveSize(size_t size) { return stream_->ReserveSize(size); }

bool StreamAdapterInterface::Flush() { return stream_->Flush(); }

void StreamAdapterInterface::Attach(StreamInterface* stream, bool owned) {
  if (stream_) stream_->SignalEvent.disconnect(this);
  if (owned_) delete stream_;
  stream_ = stream;
  owned_ = owned;
  if (stream_) stream_->SignalEvent.connect(this, &StreamAdapterInterface::OnEvent);
}

StreamInterface* StreamAdapterInterface::Detach() {
  if (stream_) stream_->SignalEvent.disconnect(this);
  StreamInterface* stream = stream_;
  stream_ = nullptr;
  return stream;
}

void StreamAdapterInterface::OnEvent(StreamInterface* /*stream*/, int events, int err) {
  SignalEvent(this, events, err);
}

// StreamTap

StreamTap::StreamTap(StreamInterface* stream, StreamInterface* tap)
    : StreamAdapterInterface(stream), tap_(tap) {}

StreamTap::~StreamTap() = default;

void StreamTap::AttachTap(StreamInterface* tap) { tap_.reset(tap); }

StreamInterface* StreamTap::DetachTap() { return tap_.release(); }

StreamResult StreamTap::GetTapResult(int* error) {
  if (error) *error = tap_error_;
  return tap_result_;
}

void StreamTap::Copy(const void* data, size_t len) {
  if (tap_ && tap_result_ == SR_SUCCESS && len > 0)
    tap_result_ = tap_->WriteAll(data, len, nullptr, &tap_error_);
}

StreamResult StreamTap::Read(void* buffer, size_t buffer_len, size_t* read, int* error) {
  size_t backup_read;
  if (!read) read = &backup_read;
  StreamResult res = StreamAdapterInterface::Read(buffer, buffer_len, read, error);
  if (res == SR_SUCCESS) Copy(buffer, *read);
  return res;
}

StreamResult StreamTap::Write(const void* data, size_t data_len, size_t* written, int* error) {
  size_t backup_written;
  if (!written) written = &backup_written;
  StreamResult res = StreamAdapterInterface::Write(data, data_len, written, error);
  if (res == SR_SUCCESS) Copy(data, *written);
  return res;
}

// StreamReference

StreamReference::StreamReference(StreamInterface* stream)
    : StreamAdapterInterface(nullptr, false), ref_count_(new StreamRefCount(stream)) {
  CritScope lock(&ref_count_->cs);
  Attach(stream, false);
}

StreamReference::StreamReference(StreamRefCount* ref_count, StreamInterface* stream)
    : StreamAdapterInterface(nullptr, false), ref_count_(ref_count) {
  Attach(stream, false);
}

StreamReference::~StreamReference() {
  bool last;
  {
    CritScope lock(&ref_count_->cs);
    Detach();
    last = (--ref_count_->ref_count == 0);
  }
  if (last) {
    delete ref_count_->stream;
    delete ref_count_;
  }
}

StreamInterface* StreamReference::NewReference() {
  CritScope lock(&ref_count_->cs);
  ++ref_count_->ref_count;
  return new StreamReference(ref_count_, stream());
}

// LoggingAdapter

LoggingAdapter::LoggingAdapter(StreamInterface* stream, LoggingSeverity level,
                               const std::string& label, bool hex_mode)
    : StreamAdapterInterface(stream), level_(level), hex_mode_(hex_mode) {
  set_label(label);
}

void LoggingAdapter::set_label(const std::string& label) {
  label_.clear();
  label_.reserve(label.size() + 2);
  label_.push_back('[');
  label_.append(label);
  label_.push_back(']');
}

StreamResult LoggingAdapter::Read(void* buffer, size_t buffer_len, size_t* read, int* error) {
  size_t local_read;
  if (!read) read = &local_read;
  StreamResult result = StreamAdapterInterface::Read(buffer, buffer_len, read, error);
  if (result == SR_SUCCESS) {
    LogMultiline(level_, label_.c_str(), true, buffer, *read, hex_mode_, &lms_);
  }
  return result;
}

StreamResult LoggingAdapter::Write(const void* data, size_t data_len, size_t* written, int* error) {
  size_t local_written;
  if (!written) written = &local_written;
  StreamResult result = StreamAdapterInterface::Write(data, data_len, written, error);
  if (result == SR_SUCCESS) {
    LogMultiline(level_, label_.c_str(), false, data, *written, hex_mode_, &lms_);
  }
  return result;
}

void LoggingAdapter::Close() {
  LogMultiline(level_, label_.c_str(), false, nullptr, 0, hex_mode_, &lms_);
  LogMultiline(level_, label_.c_str(), true, nullptr, 0, hex_mode_, &lms_);
  RTC_LOG_V(level_) << label_ << " Closed locally";
  StreamAdapterInterface::Close();
}

void LoggingAdapter::OnEvent(StreamInterface* stream, int events, int err) {
  if (events & SE_OPEN) {
    RTC_LOG_V(level_) << label_ << " Open";
  } else if (events & SE_CLOSE) {
    LogMultiline(level_, label_.c_str(), false, nullptr, 0, hex_mode_, &lms_);
    LogMultiline(level_, label_.c_str(), true, nullptr, 0, hex_mode_, &lms_);
    RTC_LOG_V(level_) << label_ << " Closed with error: " << err;
  }
  StreamAdapterInterface::OnEvent(stream, events, err);
}

// NullStream

NullStream::NullStream() = default;

NullStream::~NullStream() = default;

StreamState NullStream::GetState() const { return SS_OPEN; }

StreamResult NullStream::Read(void* /*buffer*/, size_t /*buffer_len*/, size_t* /*read*/,
                              int* error) {
  if (error) *error = -1;
  return SR_ERROR;
}

StreamResult NullStream::Write(const void* /*data*/, size_t data_len, size_t* written,
                               int* /*error*/) {
  if (written) *written = data_len;
  return SR_SUCCESS;
}

void NullStream::Close() {}

// FileStream

FileStream::FileStream() = default;

FileStream::~FileStream() { FileStream::Close(); }

bool FileStream::Open(const std::string& filename, const char* mode, int* error) {
  Close();
  filename_ = filename;
  file_ = fopen(filename.c_str(), mode);
  if (!file_ && error) *error = errno;
  if (file_) {
    // Descriptors do not leak into child processes.
    int fd = fileno(file_);
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  return file_ != nullptr;
}

bool FileStream::OpenDescriptor(int fd, const std::string& filename, const char* mode) {
  Close();
  filename_ = filename;
  file_ = fdopen(fd, mode);
  if (!file_) close(fd);
  return file_ != nullptr;
}

bool FileStream::OpenShare(const std::string& filename, const char* mode, int /*shflag*/,
                           int* error) {
  return Open(filename, mode, error);
}

bool FileStream::DisableBuffering() {
  if (!file_) return false;
  return setvbuf(file_, nullptr, _IONBF, 0) == 0;
}

StreamState FileStream::GetState() const { return file_ ? SS_OPEN : SS_CLOSED; }

StreamResult FileStream::Read(void* buffer, size_t buffer_len, size_t* read, int* error) {
  if (!file_) return SR_EOS;
  size_t result = fread(buffer, 1, buffer_len, file_);
  if (result == 0 && buffer_len > 0) {
    if (feof(file_)) return SR_EOS;
    if (error) *error = errno;
    return SR_ERROR;
  }
  if (read) *read = result;
  return SR_SUCCESS;
}

StreamResult FileStream::Write(const void* data, size_t data_len, size_t* written, int* error) {
  if (!file_) return SR_EOS;
  size_t result = fwrite(data, 1, data_len, file_);
  if (result == 0 && data_len > 0) {
    if (error) *error = errno;
    return SR_ERROR;
  }
  if (written) *written = result;
  return SR_SUCCESS;
}

void FileStream::Close() {
  if (file_) {
    DoClose();
    fclose(file_);
    file_ = nullptr;
  }
}

bool FileStream::SetPosition(size_t position) {
  if (!file_ || position > static_cast<size_t>(INT64_MAX)) return false;
  return fseeko(file_, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool FileStream::GetPosition(size_t* position) const {
  if (!file_) return false;
  off_t result = ftello(file_);
  if (result < 0) return false;
  if (position) *position = static_cast<size_t>(result);
  return true;
}

bool FileStream::GetSize(size_t* size) const {
  if (!file_) return false;
  // Bytes still in stdio's buffer count too.
  fflush(file_);
  struct stat file_stats;
  if (fstat(fileno(file_), &file_stats) != 0) return false;
  if (size) *size = static_cast<size_t>(file_stats.st_size);
  return true;
}

bool FileStream::GetAvailable(size_t* size) const {
  size_t file_size, position;
  if (!GetSize(&file_size) || !GetPosition(&position)) return false;
  if (size) *size = file_size > position ? file_size - position : 0;
  return true;
}

bool FileStream::ReserveSize(size_t /*size*/) { return file_ != nullptr; }

bool FileStream::Flush() {
  if (!file_) return false;
  return fflush(file_) == 0;
}

bool FileStream::TryLock() {
  if (!file_) return false;
  return flock(fileno(file_), LOCK_EX | LOCK_NB) == 0;
}

bool FileStream::Unlock() {
  if (!file_) return false;
  return flock(fileno(file_), LOCK_UN) == 0;
}

bool FileStream::GetSize(const std::string& filename, size_t* size) {
  struct stat file_stats;
  if (stat(filename.c_str(), &file_stats) != 0) return false;
  if (size) *size = static_cast<size_t>(file_stats.st_size);
  return true;
}

void FileStream::DoClose() {}

// StringStream

StringStream::StringStream(std::string* str) : str_(*str), read_only_(false) {}

StringStream::StringStream(const std::string& str)
    : str_(const_cast<std::string&>(str)), read_only_(true) {}

StreamState StringStream::GetState() const { return SS_OPEN; }

StreamResult StringStream::Read(void* buffer, size_t buffer_len, size_t* read, int* /*error*/) {
  size_t available = std::min(buffer_len, str_.size() - read_pos_);
  if (!available) return SR_EOS;
  memcpy(buffer, str_.data() + read_pos_, available);
  read_pos_ += available;
  if (read) *read = available;
  return SR_SUCCESS;
}

StreamResult StringStream::Write(const void* data, size_t data_len, size_t* written, int* error) {
  if (read_only_) {
    if (error) *error = -1;
    return SR_ERROR;
  }
  str_.append(static_cast<const char*>(data), data_len);
  if (written) *written = data_len;
  return SR_SUCCESS;
}

void StringStream::Close() {}

bool StringStream::SetPosition(size_t position) {
  if (position > str_.size()) return false;
  read_pos_ = position;
  return true;
}

bool StringStream::GetPosition(size_t* position) const {
  if (position) *position = read_pos_;
  return true;
}

bool StringStream::GetSize(size_t* size) const {
  if (size) *size = str_.size();
  return true;
}

bool StringStream::GetAvailable(size_t* size) const {
  if (size) *size = str_.size() - read_pos_;
  return true;
}

bool StringStream::ReserveSize(size_t size) {
  if (read_only_) return false;
  str_.reserve(size);
  return true;
}

// Flow

StreamResult Flow(StreamInterface* source, char* buffer, size_t buffer_len, StreamInterface* sink,
                  size_t* data_len /* = nullptr */) {
  RTC_DCHECK(buffer_len > 0);

  StreamResult result;
  size_t count, read_pos, write_pos;
  if (data_len) {
    read_pos = *data_len;
  } else {
    read_pos = 0;
  }

  bool end_of_stream = false;
  do {
    // Read until the buffer is full, or the source blocks or ends.
    while (!end_of_stream && (read_pos < buffer_len)) {
      result = source->Read(buffer + read_pos, buffer_len - read_pos, &count, nullptr);
      if (result == SR_EOS) {
        end_of_stream = true;
      } else if (result != SR_SUCCESS) {
        if (data_len) *data_len = read_pos;
        return result;
      } else {
        read_pos += count;
      }
    }

    // Write until the buffer is empty, or the sink blocks.
    write_pos = 0;
    while (write_pos < read_pos) {
      result = sink->Write(buffer + write_pos, read_pos - write_pos, &count, nullptr);
      if (result != SR_SUCCESS) {
        if (data_len) {
          *data_len = read_pos - write_pos;
          if (write_pos > 0) memmove(buffer, buffer + write_pos, *data_len);
        }
        return result;
      }
      write_pos += count;
    }

    read_pos = 0;
  } while (!end_of_stream);

  if (data_len) *data_len = 0;
  return SR_SUCCESS;
}

}  // namespace rtc
