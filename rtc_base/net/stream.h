#ifndef RTC_BASE_NET_STREAM_H_
#define RTC_BASE_NET_STREAM_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "rtc_base/base/critical_section.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/message_queue.h"
#include "rtc_base/threads/sigslot.h"

namespace rtc {

class Thread;

enum StreamState { SS_CLOSED = 0, SS_OPENING = 1, SS_OPEN = 2 };

enum StreamResult { SR_ERROR = 0, SR_SUCCESS = 1, SR_BLOCK = 2, SR_EOS = 3 };

enum StreamEvent { SE_OPEN = 1, SE_READ = 2, SE_WRITE = 4, SE_CLOSE = 8 };

// Message id under which streams post their events to a thread's loop.
constexpr uint32_t kStreamEventMessageId = 0xF1F1;

struct StreamEventData : public MessageData {
  StreamEventData(int ev, int er) : events(ev), error(er) {}
  int events;
  int error;
};

// A byte source or sink that may block. Every out-parameter may be null; the
// count is written only on SR_SUCCESS and the error only on SR_ERROR.
class StreamInterface : public MessageHandler {
 public:
  ~StreamInterface() override;

  // Emitted with (stream, events, error) when the stream becomes readable,
  // writable, opens or closes.
  sigslot::signal3<StreamInterface*, int, int, sigslot::single_threaded> SignalEvent;

  void OnMessage(Message* msg) override;

  virtual StreamState GetState() const = 0;
  virtual StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) = 0;
  virtual StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) = 0;
  virtual void Close() = 0;

  // Direct access to internal buffers, for streams that have them.
  virtual const void* GetReadData(size_t* data_len);
  virtual void ConsumeReadData(size_t /*used*/) {}
  virtual void* GetWriteBuffer(size_t* buf_len);
  virtual void ConsumeWriteBuffer(size_t /*used*/) {}

  virtual bool SetPosition(size_t position);
  virtual bool GetPosition(size_t* position) const;
  virtual bool GetSize(size_t* size) const;
  virtual bool GetAvailable(size_t* size) const;
  virtual bool GetWriteRemaining(size_t* size) const;
  virtual bool Flush();
  virtual bool ReserveSize(size_t size);

  // Raises an event on a thread's loop, never inside the calling function.
  void PostEvent(Thread* thread, int events, int err);
  void PostEvent(int events, int err);

  StreamResult WriteAll(const void* data, size_t data_len, size_t* written, int* error);
  StreamResult ReadAll(void* buffer, size_t buffer_len, size_t* read, int* error);
  // Reads up to '\n' (not stored; a '\r' before it is kept).
  StreamResult ReadLine(std::string* line);

 protected:
  StreamInterface();
  StreamInterface(const StreamInterface&) = delete;
  StreamInterface& operator=(const StreamInterface&) = delete;
};

// Forwards every operation to an inner stream and re-emits its events as its
// own. When it owns the inner stream it deletes it on replacement and in its
// destructor.
class StreamAdapterInterface : public StreamInterface, public sigslot::has_slots<> {
 public:
  explicit StreamAdapterInterface(StreamInterface* stream, bool owned = true);
  ~StreamAdapterInterface() override;

  StreamState GetState() const override;
  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  bool GetSize(size_t* size) const override;
  bool GetAvailable(size_t* size) const override;
  bool GetWriteRemaining(size_t* size) const override;
  bool ReserveSize(size_t size) override;
  bool Flush() override;

  void Attach(StreamInterface* stream, bool owned = true);
  StreamInterface* Detach();

 protected:
  virtual void OnEvent(StreamInterface* stream, int events, int err);
  StreamInterface* stream() const { return stream_; }

 private:
  StreamInterface* stream_;
  bool owned_;
};

// Copies every block read from or written to the stream into the tap, until
// the first tap write fails.
class StreamTap : public StreamAdapterInterface {
 public:
  StreamTap(StreamInterface* stream, StreamInterface* tap);
  ~StreamTap() override;

  void AttachTap(StreamInterface* tap);
  StreamInterface* DetachTap();
  StreamResult GetTapResult(int* error);

  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) override;

 private:
  void Copy(const void* data, size_t len);

  std::unique_ptr<StreamInterface> tap_;
  StreamResult tap_result_ = SR_SUCCESS;
  int tap_error_ = 0;
};

// Shares one stream between references; the last reference deletes it.
// References may be made and destroyed on different threads; the shared lock
// also guards their connections to the stream's event signal.
class StreamReference : public StreamAdapterInterface {
 public:
  explicit StreamReference(StreamInterface* stream);
  ~StreamReference() override;

  StreamInterface* GetStream() { return stream(); }
  StreamInterface* NewReference();

 private:
  struct StreamRefCount {
    explicit StreamRefCount(StreamInterface* stream) : stream(stream) {}
    StreamInterface* stream;
    CriticalSection cs;
    int64_t ref_count ABSL_GUARDED_BY(cs) = 1;
  };

  // Called with the count's lock held.
  StreamReference(StreamRefCount* ref_count, StreamInterface* stream);

  StreamRefCount* ref_count_;
};

// Dumps the traffic of the inner stream to the log.
class LoggingAdapter : public StreamAdapterInterface {
 public:
  LoggingAdapter(StreamInterface* stream, LoggingSeverity level, const std::string& label,
                 bool hex_mode = false);

  void set_label(const std::string& label);

  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;

 protected:
  void OnEvent(StreamInterface* stream, int events, int err) override;

 private:
  LoggingSeverity level_;
  std::string label_;
  bool hex_mode_;
  LogMultilineState lms_;
};

// Swallows every write and fails every read.
class NullStream : public StreamInterface {
 public:
  NullStream();
  ~NullStream() override;

  StreamState GetState() const override;
  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
};

// A stdio file.
class FileStream : public StreamInterface {
 public:
  FileStream();
  ~FileStream() override;

  virtual bool Open(const std::string& filename, const char* mode, int* error);
  virtual bool OpenShare(const std::string& filename, const char* mode, int shflag, int* error);
  // Takes over `fd`, a file the caller opened as `filename`, with the stdio `mode`; on failure
  // the descriptor is closed.
  bool OpenDescriptor(int fd, const std::string& filename, const char* mode);
  virtual bool DisableBuffering();

  StreamState GetState() const override;
  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  bool GetSize(size_t* size) const override;
  bool GetAvailable(size_t* size) const override;
  bool ReserveSize(size_t size) override;
  bool Flush() override;

  // An exclusive, non-blocking advisory lock on the open file.
  bool TryLock();
  bool Unlock();

  static bool GetSize(const std::string& filename, size_t* size);

 protected:
  virtual void DoClose();

  FILE* file_ = nullptr;
  std::string filename_;
};

// Reads from a string, or appends to a caller's string.
class StringStream : public StreamInterface {
 public:
  explicit StringStream(std::string* str);
  explicit StringStream(const std::string& str);

  StreamState GetState() const override;
  // Also answers SR_EOS to a read of 0 bytes.
  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  bool GetSize(size_t* size) const override;
  bool GetAvailable(size_t* size) const override;
  bool ReserveSize(size_t size) override;

 private:
  std::string& str_;
  size_t read_pos_ = 0;
  bool read_only_;
};

// Copies source to sink through the caller's buffer. data_len gives how many
// bytes the buffer holds on entry and receives how many it holds on return.
StreamResult Flow(StreamInterface* source, char* buffer, size_t buffer_len, StreamInterface* sink,
                  size_t* data_len = nullptr);

}  // namespace rtc

#endif  // RTC_BASE_NET_STREAM_H_
