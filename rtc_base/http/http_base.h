#ifndef RTC_BASE_HTTP_HTTP_BASE_H_
#define RTC_BASE_HTTP_HTTP_BASE_H_

#include <stddef.h>

#include "rtc_base/http/http_common.h"
#include "rtc_base/http/http_parser.h"
#include "rtc_base/net/memory_stream.h"
#include "rtc_base/threads/sigslot.h"

namespace rtc {

class StreamInterface;

// An external memory stream that answers SR_BLOCK, not SR_EOS, when a write
// needs more room than it has.
class BlockingMemoryStream : public ExternalMemoryStream {
 public:
  BlockingMemoryStream(char* buffer, size_t size);

 protected:
  StreamResult DoReserve(size_t size, int* error) override;
};

enum HttpMode { HM_NONE, HM_CONNECT, HM_RECV, HM_SEND };

// The observer of an HttpBase.
class IHttpNotify {
 public:
  virtual ~IHttpNotify() {}
  virtual HttpError onHttpHeaderComplete(bool chunked, size_t& data_size) = 0;
  virtual void onHttpComplete(HttpMode mode, HttpError err) = 0;
  virtual void onHttpClosed(HttpError err) = 0;
};

// Sends or receives one HTTP message at a time over an attached stream. Its
// observer is told when a transfer completes; the observer may start the next
// transfer, abort, or detach from inside that call, but must not delete the
// HttpBase there.
class HttpBase : public HttpParser, public sigslot::has_slots<> {
 public:
  // The one buffer that serves both directions; a line of a received message
  // must fit in it.
  static constexpr size_t kBufferSize = 32768;
  // Receive passes per stream event, so that a fast stream cannot starve the
  // thread's other work.
  static constexpr size_t kMaxReadPasses = 21;

  HttpBase();
  ~HttpBase() override;

  void notify(IHttpNotify* notify) { notify_ = notify; }
  bool attach(StreamInterface* stream);
  StreamInterface* stream() { return http_stream_; }
  StreamInterface* detach();
  bool isConnected() const;

  void send(HttpData* data);
  void recv(HttpData* data);
  void abort(HttpError err);

  HttpMode mode() const { return mode_; }

  void set_ignore_data(bool ignore) { ignore_data_ = ignore; }
  bool ignore_data() const { return ignore_data_; }

  // A stream from which the body of the message being received can be
  // pulled, in place of its document. At most one exists at a time; the
  // caller owns it.
  StreamInterface* GetDocumentStream();

 protected:
  // Closes the stream and maps its close error to an HttpError.
  HttpError HandleStreamClose(int error);

  // Runs the receive passes; true when the message is finished, with the
  // result in *err.
  bool DoReceiveLoop(HttpError* err);

  void read_and_process_data();
  void flush_data();
  // Buffers headers; true when the buffer must be sent before more fit.
  bool queue_headers(HttpError* error);
  void do_complete(HttpError err = HE_NONE);

  void OnHttpStreamEvent(StreamInterface* stream, int events, int error);
  void OnDocumentEvent(StreamInterface* stream, int events, int error);

  // HttpParser Interface
  ProcessResult ProcessLeader(const char* line, size_t len, HttpError* error) override;
  ProcessResult ProcessHeader(const char* name, size_t nlen, const char* value, size_t vlen,
                              HttpError* error) override;
  ProcessResult ProcessHeaderComplete(bool chunked, size_t& data_size, HttpError* error) override;
  ProcessResult ProcessData(const char* data, size_t len, size_t& read, HttpError* error) override;
  void OnComplete(HttpError err) override;

 private:
  class DocumentStream;
  friend class DocumentStream;

  // Tells the observer that a transfer could not begin.
  void FailToStart(HttpMode mode, HttpError err);

  HttpMode mode_;
  HttpData* data_;
  IHttpNotify* notify_;
  StreamInterface* http_stream_;
  DocumentStream* doc_stream_;
  char buffer_[kBufferSize];
  size_t len_;

  bool ignore_data_, chunk_data_;
  // Bytes left in the buffer after a completed receive belong to the next
  // message on the connection (a final response after an interim one), so
  // the next receive starts with them.
  bool keep_buffer_;
  HttpData::const_iterator header_;
};

}  // namespace rtc

#endif  // RTC_BASE_HTTP_HTTP_BASE_H_
