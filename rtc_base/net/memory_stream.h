#ifndef RTC_BASE_NET_MEMORY_STREAM_H_
#define RTC_BASE_NET_MEMORY_STREAM_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "rtc_base/net/stream.h"

namespace rtc {

// A stream over one contiguous buffer. position <= data length <= capacity.
class MemoryStreamBase : public StreamInterface {
 public:
  StreamState GetState() const override;
  StreamResult Read(void* buffer, size_t bytes, size_t* bytes_read, int* error) override;
  // Grows the buffer only when it is exactly full, so a write into a buffer
  // with less room than asked for is partial; WriteAll grows it next call.
  StreamResult Write(const void* buffer, size_t bytes, size_t* bytes_written, int* error) override;
  void Close() override;
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  bool GetSize(size_t* size) const override;
  bool GetAvailable(size_t* size) const override;
  bool ReserveSize(size_t size) override;

  char* GetBuffer() { return buffer_; }
  const char* GetBuffer() const { return buffer_; }

 protected:
  MemoryStreamBase();

  virtual StreamResult DoReserve(size_t size, int* error);
  // The largest capacity DoReserve can reach; growth stops there.
  virtual size_t MaxCapacity() const { return SIZE_MAX; }

  char* buffer_ = nullptr;
  size_t buffer_length_ = 0;
  size_t data_length_ = 0;
  size_t seek_position_ = 0;
};

// A growable stream that owns its 16-byte aligned buffer.
class MemoryStream : public MemoryStreamBase {
 public:
  MemoryStream();
  explicit MemoryStream(const char* data);
  MemoryStream(const void* data, size_t length);
  ~MemoryStream() override;

  // Replaces the contents; data may point into this stream's own buffer.
  void SetData(const void* data, size_t length);

  // Caps the capacity; a reserve beyond it fails with SR_ERROR and EFBIG.
  // SIZE_MAX (the default) means no cap.
  void set_max_size(size_t max_size) { max_size_ = max_size; }
  size_t max_size() const { return max_size_; }

 protected:
  StreamResult DoReserve(size_t size, int* error) override;
  size_t MaxCapacity() const override { return max_size_; }

 private:
  std::unique_ptr<char[]> allocation_;
  size_t max_size_ = SIZE_MAX;
};

// A stream over a caller's fixed buffer; writes past its end answer SR_EOS.
class ExternalMemoryStream : public MemoryStreamBase {
 public:
  ExternalMemoryStream();
  ExternalMemoryStream(void* data, size_t length);
  ~ExternalMemoryStream() override;

  void SetData(void* data, size_t length);
};

}  // namespace rtc

#endif  // RTC_BASE_NET_MEMORY_STREAM_H_
