#include "rtc_base/http/http_base.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <memory>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"

namespace rtc {

namespace {

// Close errors with a meaning of their own.
constexpr int kCloseErrorCertificateExpired = static_cast<int>(0x80090328);
constexpr int kCloseErrorAccessDenied = EACCES;

// A chunk's size is sent as this many hexadecimal digits.
constexpr size_t kChunkDigits = 8;

bool IsChunked(const HttpData& data) {
  std::string encoding;
  return data.hasHeader(HH_TRANSFER_ENCODING, &encoding) &&
         strcasecmp(encoding.c_str(), "chunked") == 0;
}

}  // namespace

//////////////////////////////////////////////////////////////////////
// BlockingMemoryStream
//////////////////////////////////////////////////////////////////////

BlockingMemoryStream::BlockingMemoryStream(char* buffer, size_t size)
    : ExternalMemoryStream(buffer, size) {}

StreamResult BlockingMemoryStream::DoReserve(size_t size, int* /*error*/) {
  return (buffer_length_ >= size) ? SR_SUCCESS : SR_BLOCK;
}

//////////////////////////////////////////////////////////////////////
// HttpBase::DocumentStream
//////////////////////////////////////////////////////////////////////

class HttpBase::DocumentStream : public StreamInterface {
 public:
  explicit DocumentStream(HttpBase* base) : base_(base), error_(HE_DEFAULT) {}
  ~DocumentStream() override {
    if (base_) Disconnect(HE_OPERATION_CANCELLED);
  }

  StreamState GetState() const override {
    if (nullptr == base_) return SS_CLOSED;
    if (HM_RECV == base_->mode_) return SS_OPEN;
    return SS_OPENING;
  }

  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override {
    if (!base_) {
      if (error) *error = error_;
      return (HE_NONE == error_) ? SR_EOS : SR_ERROR;
    }

    if (HM_RECV != base_->mode_) return SR_BLOCK;

    // The receive loop writes body bytes to the message's document. For the
    // length of one loop the caller's buffer stands in for that document, so
    // the bytes land there directly.
    std::unique_ptr<StreamInterface> stream(
        new BlockingMemoryStream(static_cast<char*>(buffer), buffer_len));
    HttpData* data = base_->data_;
    data->document.swap(stream);

    HttpError http_error;
    bool complete = base_->DoReceiveLoop(&http_error);

    data->document.swap(stream);

    StreamResult result = SR_BLOCK;
    if (complete) {
      HttpBase* base = Disconnect(http_error);
      if (error) *error = error_;
      result = (HE_NONE == error_) ? SR_EOS : SR_ERROR;
      // The observer may delete this stream from inside complete(); nothing
      // below touches its members.
      base->complete(http_error);
    }

    // Bytes placed in the buffer are reported even when the message ended;
    // later reads give the end or the error.
    size_t position = 0;
    stream->GetPosition(&position);
    if (position > 0) {
      if (read) *read = position;
      result = SR_SUCCESS;
    }
    return result;
  }

  StreamResult Write(const void* /*data*/, size_t /*data_len*/, size_t* /*written*/,
                     int* error) override {
    if (error) *error = -1;
    return SR_ERROR;
  }

  void Close() override {
    if (base_) {
      HttpBase* base = Disconnect(HE_NONE);
      // The base may have stalled waiting for this reader; it reads on by
      // itself once its stream's read event comes round.
      if (HM_RECV == base->mode_ && base->http_stream_) base->http_stream_->PostEvent(SE_READ, 0);
    }
  }

  bool GetAvailable(size_t* size) const override {
    if (!base_ || HM_RECV != base_->mode_) return false;
    size_t data_size = base_->GetDataRemaining();
    if (SIZE_MAX == data_size) return false;
    if (size) *size = data_size;
    return true;
  }

  HttpBase* Disconnect(HttpError error) {
    RTC_DCHECK(nullptr != base_);
    RTC_DCHECK(this == base_->doc_stream_);
    HttpBase* base = base_;
    base_->doc_stream_ = nullptr;
    base_ = nullptr;
    error_ = error;
    return base;
  }

 private:
  HttpBase* base_;
  HttpError error_;
};

//////////////////////////////////////////////////////////////////////
// HttpBase
//////////////////////////////////////////////////////////////////////

HttpBase::HttpBase()
    : mode_(HM_NONE),
      data_(nullptr),
      notify_(nullptr),
      http_stream_(nullptr),
      doc_stream_(nullptr),
      len_(0),
      ignore_data_(false),
      chunk_data_(false),
      keep_buffer_(false) {}

HttpBase::~HttpBase() {
  if (doc_stream_) doc_stream_->Disconnect(HE_SHUTDOWN);
}

bool HttpBase::isConnected() const {
  return (http_stream_ != nullptr) && (http_stream_->GetState() == SS_OPEN);
}

bool HttpBase::attach(StreamInterface* stream) {
  if ((mode_ != HM_NONE) || (http_stream_ != nullptr) || (stream == nullptr)) return false;
  http_stream_ = stream;
  len_ = 0;
  keep_buffer_ = false;
  http_stream_->SignalEvent.connect(this, &HttpBase::OnHttpStreamEvent);
  mode_ = (http_stream_->GetState() == SS_OPENING) ? HM_CONNECT : HM_NONE;
  return true;
}

StreamInterface* HttpBase::detach() {
  if (mode_ != HM_NONE) return nullptr;
  StreamInterface* stream = http_stream_;
  http_stream_ = nullptr;
  if (stream) stream->SignalEvent.disconnect(this);
  return stream;
}

void HttpBase::FailToStart(HttpMode mode, HttpError err) {
  // The observer learns that the transfer never began; an ignored call
  // would leave it waiting.
  if (notify_) notify_->onHttpComplete(mode, err);
}

void HttpBase::send(HttpData* data) {
  if (mode_ != HM_NONE) return;
  if (!isConnected()) {
    FailToStart(HM_SEND, HE_DISCONNECTED);
    return;
  }

  mode_ = HM_SEND;
  data_ = data;
  len_ = 0;
  keep_buffer_ = false;
  ignore_data_ = chunk_data_ = false;

  if (data_->document) data_->document->SignalEvent.connect(this, &HttpBase::OnDocumentEvent);

  chunk_data_ = IsChunked(*data_);
  if (chunk_data_ && data_->hasHeader(HH_CONTENT_LENGTH, nullptr)) {
    RTC_LOG(LS_ERROR) << "Message carries both Content-Length and chunked";
    do_complete(HE_PROTOCOL);
    return;
  }

  // The leader, its line end and the end of the headers must always fit.
  len_ = data_->formatLeader(buffer_, sizeof(buffer_));
  if (len_ + 4 >= sizeof(buffer_)) {
    RTC_LOG(LS_ERROR) << "Request line too long: " << len_;
    len_ = 0;
    do_complete(HE_OVERFLOW);
    return;
  }
  memcpy(buffer_ + len_, "\r\n", 2);
  len_ += 2;

  header_ = data_->begin();
  if (header_ == data_->end()) {
    // With no headers at all the end of the headers is queued at once.
    HttpError error = HE_NONE;
    queue_headers(&error);
  }

  flush_data();
}

void HttpBase::recv(HttpData* data) {
  if (mode_ != HM_NONE) return;
  if (!isConnected()) {
    FailToStart(HM_RECV, HE_DISCONNECTED);
    return;
  }

  mode_ = HM_RECV;
  data_ = data;
  if (!keep_buffer_) len_ = 0;
  keep_buffer_ = false;
  ignore_data_ = chunk_data_ = false;

  reset();
  if (doc_stream_) {
    // The reader of the document stream pulls the message.
    doc_stream_->SignalEvent(doc_stream_, SE_OPEN | SE_READ, 0);
  } else {
    read_and_process_data();
  }
}

void HttpBase::abort(HttpError err) {
  if (mode_ != HM_NONE) {
    if (http_stream_ != nullptr) http_stream_->Close();
    do_complete(err);
  }
}

StreamInterface* HttpBase::GetDocumentStream() {
  if (doc_stream_) return nullptr;
  doc_stream_ = new DocumentStream(this);
  return doc_stream_;
}

HttpError HttpBase::HandleStreamClose(int error) {
  if (http_stream_ != nullptr) http_stream_->Close();
  if (error == 0) {
    if ((mode_ == HM_RECV) && is_valid_end_of_input()) return HE_NONE;
    return HE_DISCONNECTED;
  }
  if (error == kCloseErrorCertificateExpired) return HE_CERTIFICATE_EXPIRED;
  // EACCES is what a proxy that refused our credentials closes with; a
  // plain EACCES from the socket reads the same way.
  if (error == kCloseErrorAccessDenied) return HE_AUTH;
  RTC_LOG_F(LS_ERROR) << "(" << error << ")";
  return (HM_CONNECT == mode_) ? HE_CONNECT_FAILED : HE_SOCKET_ERROR;
}

bool HttpBase::DoReceiveLoop(HttpError* error) {
  RTC_DCHECK(HM_RECV == mode_);

  bool process_requires_more_data = false;
  for (size_t pass = 0; pass < kMaxReadPasses; ++pass) {
    bool stream_ended = false;
    int close_error = 0;
    if (len_ < sizeof(buffer_)) {
      size_t read = 0;
      int read_error = 0;
      StreamResult read_result =
          http_stream_->Read(buffer_ + len_, sizeof(buffer_) - len_, &read, &read_error);
      switch (read_result) {
        case SR_SUCCESS:
          RTC_DCHECK(len_ + read <= sizeof(buffer_));
          len_ += read;
          break;
        case SR_BLOCK:
          if (process_requires_more_data) {
            // No progress until more data arrives.
            return false;
          }
          // What is buffered may still complete a step.
          break;
        case SR_EOS:
          stream_ended = true;
          break;
        case SR_ERROR:
        default:
          stream_ended = true;
          close_error = read_error;
          break;
      }
    } else if (process_requires_more_data) {
      // A single line fills the whole buffer.
      RTC_LOG(LS_WARNING) << "HTTP line longer than " << sizeof(buffer_) << " bytes";
      *error = HE_OVERFLOW;
      return true;
    }

    if (stream_ended && process_requires_more_data) {
      *error = HandleStreamClose(close_error);
      return true;
    }

    // Process only consumes whole lines and the body bytes it can place;
    // the rest stays at the start of the buffer. Bytes buffered before the
    // stream ended are processed before the end is reported.
    size_t processed = 0;
    ProcessResult process_result = Process(buffer_, len_, processed, error);
    RTC_DCHECK(processed <= len_);
    len_ -= processed;
    memmove(buffer_, buffer_ + processed, len_);
    switch (process_result) {
      case PR_CONTINUE:
        if (stream_ended) {
          *error = HandleStreamClose(close_error);
          return true;
        }
        process_requires_more_data = true;
        break;
      case PR_BLOCK:
        // Stalled on the document or on a new reader.
        return false;
      case PR_COMPLETE:
        return true;
    }
  }

  RTC_LOG_F(LS_WARNING) << "danger of starvation";
  return false;
}

void HttpBase::read_and_process_data() {
  HttpError error;
  if (DoReceiveLoop(&error)) complete(error);
}

void HttpBase::flush_data() {
  RTC_DCHECK(HM_SEND == mode_);

  // Sends are put off until the buffer is as full as it can get, so that a
  // small message leaves in one write.
  bool send_required = (len_ >= sizeof(buffer_));

  while (true) {
    RTC_DCHECK(len_ <= sizeof(buffer_));

    if (!send_required && (header_ != data_->end())) {
      HttpError error = HE_NONE;
      send_required = queue_headers(&error);
      if (error != HE_NONE) {
        do_complete(error);
        return;
      }
    }

    if (!send_required && header_ == data_->end() && !data_->document && chunk_data_) {
      // Chunked without a body: send the last chunk at once.
      if (len_ + 5 <= sizeof(buffer_)) {
        memcpy(buffer_ + len_, "0\r\n\r\n", 5);
        len_ += 5;
        chunk_data_ = false;
      } else {
        send_required = true;
      }
    }

    if (!send_required && header_ == data_->end() && data_->document) {
      size_t offset, reserve;
      if (chunk_data_) {
        // Room for the size digits and "\r\n" before the data, and "\r\n"
        // after it.
        offset = len_ + kChunkDigits + 2;
        reserve = offset + 2;
      } else {
        offset = len_;
        reserve = offset;
      }

      if (reserve >= sizeof(buffer_)) {
        send_required = true;
      } else {
        size_t read = 0;
        int error = 0;
        StreamResult result =
            data_->document->Read(buffer_ + offset, sizeof(buffer_) - reserve, &read, &error);
        if (result == SR_SUCCESS && read == 0) {
          // Nothing to add; a chunk of 0 would end the body early.
          result = SR_BLOCK;
        }
        if (result == SR_SUCCESS) {
          RTC_DCHECK(reserve + read <= sizeof(buffer_));
          if (chunk_data_) {
            // The size as lower-case hexadecimal, zero-filled.
            static const char kHex[] = "0123456789abcdef";
            for (size_t i = 0; i < kChunkDigits; ++i) {
              buffer_[len_ + i] = kHex[(read >> (4 * (kChunkDigits - 1 - i))) & 0xF];
            }
            memcpy(buffer_ + len_ + kChunkDigits, "\r\n", 2);
            memcpy(buffer_ + offset + read, "\r\n", 2);
          }
          len_ = reserve + read;
        } else if (result == SR_BLOCK) {
          send_required = true;
        } else if (result == SR_EOS) {
          if (chunk_data_) {
            RTC_DCHECK(len_ + 5 <= sizeof(buffer_));
            memcpy(buffer_ + len_, "0\r\n\r\n", 5);
            len_ += 5;
            chunk_data_ = false;
          } else if (0 == len_) {
            do_complete();
            return;
          }
          // The body is read; what is buffered still has to go out.
          send_required = true;
        } else {
          RTC_LOG_F(LS_ERROR) << "Read error: " << error;
          do_complete(HE_STREAM);
          return;
        }
      }
    }

    if (0 == len_) {
      if (!data_->document) do_complete();
      return;
    }

    size_t written = 0;
    int error = 0;
    StreamResult result = http_stream_->Write(buffer_, len_, &written, &error);
    if (result == SR_SUCCESS) {
      RTC_DCHECK(written <= len_);
      len_ -= written;
      memmove(buffer_, buffer_ + written, len_);
      send_required = false;
    } else if (result == SR_BLOCK) {
      if (send_required) {
        // The stream's write event resumes the flush.
        return;
      }
    } else {
      RTC_LOG_F(LS_ERROR) << "error";
      OnHttpStreamEvent(http_stream_, SE_CLOSE, error);
      return;
    }
  }
}

bool HttpBase::queue_headers(HttpError* error) {
  RTC_DCHECK(HM_SEND == mode_);
  while (header_ != data_->end()) {
    const std::string& name = header_->first;
    const std::string& value = header_->second;
    // "name: value\r\n"; 4 bytes stay free for the end of the headers.
    size_t len = name.size() + 2 + value.size() + 2;
    if (len_ + len < sizeof(buffer_) - 3) {
      memcpy(buffer_ + len_, name.data(), name.size());
      memcpy(buffer_ + len_ + name.size(), ": ", 2);
      memcpy(buffer_ + len_ + name.size() + 2, value.data(), value.size());
      memcpy(buffer_ + len_ + len - 2, "\r\n", 2);
      len_ += len;
      ++header_;
    } else if (len_ == 0) {
      // It can never fit; sending the message without it would send
      // something else than was asked for.
      RTC_LOG(LS_ERROR) << "header too long to send: " << name;
      *error = HE_OVERFLOW;
      return false;
    } else {
      // Send what is buffered first.
      return true;
    }
  }
  memcpy(buffer_ + len_, "\r\n", 2);
  len_ += 2;
  return false;
}

void HttpBase::do_complete(HttpError err) {
  RTC_DCHECK(mode_ != HM_NONE);
  HttpMode mode = mode_;
  mode_ = HM_NONE;
  keep_buffer_ = (HM_RECV == mode) && (HE_NONE == err);
  if (data_ && data_->document) data_->document->SignalEvent.disconnect(this);
  data_ = nullptr;
  if ((HM_RECV == mode) && doc_stream_) {
    DocumentStream* ds = doc_stream_;
    ds->Disconnect(err);
    ds->SignalEvent(ds, SE_CLOSE, err);
  }
  if (notify_) notify_->onHttpComplete(mode, err);
}

void HttpBase::OnHttpStreamEvent(StreamInterface* stream, int events, int error) {
  RTC_DCHECK(stream == http_stream_);
  if ((events & SE_OPEN) && (mode_ == HM_CONNECT)) {
    do_complete();
    return;
  }

  if ((events & SE_WRITE) && (mode_ == HM_SEND)) {
    flush_data();
    return;
  }

  if ((events & SE_READ) && (mode_ == HM_RECV)) {
    if (doc_stream_) {
      doc_stream_->SignalEvent(doc_stream_, SE_READ, 0);
    } else {
      read_and_process_data();
    }
    return;
  }

  if ((events & SE_CLOSE) == 0) return;

  HttpError http_error = HandleStreamClose(error);
  if (mode_ == HM_RECV) {
    complete(http_error);
  } else if (mode_ != HM_NONE) {
    do_complete(http_error);
  } else if (notify_) {
    notify_->onHttpClosed(http_error);
  }
}

void HttpBase::OnDocumentEvent(StreamInterface* stream, int events, int error) {
  RTC_DCHECK(data_ && stream == data_->document.get());
  if ((events & SE_WRITE) && (mode_ == HM_RECV)) {
    read_and_process_data();
    return;
  }

  if ((events & SE_READ) && (mode_ == HM_SEND)) {
    flush_data();
    return;
  }

  if ((events & SE_CLOSE) && mode_ != HM_NONE) {
    RTC_LOG_F(LS_ERROR) << "Read error: " << error;
    do_complete(HE_STREAM);
    return;
  }
}

//
// HttpParser Implementation
//

HttpParser::ProcessResult HttpBase::ProcessLeader(const char* line, size_t len, HttpError* error) {
  *error = data_->parseLeader(line, len);
  return (HE_NONE == *error) ? PR_CONTINUE : PR_COMPLETE;
}

HttpParser::ProcessResult HttpBase::ProcessHeader(const char* name, size_t nlen, const char* value,
                                                  size_t vlen, HttpError* /*error*/) {
  std::string sname(name, nlen), svalue(value, vlen);
  data_->addHeader(sname, svalue);
  return PR_CONTINUE;
}

HttpParser::ProcessResult HttpBase::ProcessHeaderComplete(bool chunked, size_t& data_size,
                                                          HttpError* error) {
  StreamInterface* old_docstream = doc_stream_;
  if (notify_) *error = notify_->onHttpHeaderComplete(chunked, data_size);
  if (mode_ != HM_RECV || !data_) {
    // The observer ended the transfer from inside the call.
    return PR_BLOCK;
  }
  if (HE_NONE != *error) return PR_COMPLETE;
  if (data_->document) data_->document->SignalEvent.connect(this, &HttpBase::OnDocumentEvent);
  if (old_docstream != doc_stream_) {
    // A reader now pulls the body; leave the loop to it.
    return PR_BLOCK;
  }
  return PR_CONTINUE;
}

HttpParser::ProcessResult HttpBase::ProcessData(const char* data, size_t len, size_t& read,
                                                HttpError* error) {
  if (ignore_data_ || !data_->document) {
    read = len;
    return PR_CONTINUE;
  }
  int write_error = 0;
  switch (data_->document->Write(data, len, &read, &write_error)) {
    case SR_SUCCESS:
      return PR_CONTINUE;
    case SR_BLOCK:
      return PR_BLOCK;
    case SR_EOS:
      RTC_LOG_F(LS_ERROR) << "Unexpected EOS";
      *error = HE_STREAM;
      return PR_COMPLETE;
    case SR_ERROR:
    default:
      RTC_LOG_F(LS_ERROR) << "Write error: " << write_error;
      // A capped document that is full means the body is too large.
      *error = (write_error == EFBIG) ? HE_OVERFLOW : HE_STREAM;
      return PR_COMPLETE;
  }
}

void HttpBase::OnComplete(HttpError err) {
  RTC_LOG_F(LS_VERBOSE);
  do_complete(err);
}

}  // namespace rtc
