#ifndef RTC_BASE_HTTP_HTTP_PARSER_H_
#define RTC_BASE_HTTP_HTTP_PARSER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "rtc_base/http/http_common.h"

namespace rtc {

// The total size of the leader and headers, or of the trailers, that a
// message may carry; beyond it the message ends with HE_OVERFLOW.
constexpr size_t kHttpMaxHeaderSectionSize = 256 * 1024;

// An incremental HTTP/1.x message parser. It does no I/O: the caller feeds
// bytes to Process(), which consumes whole lines and body bytes and reports
// them through the virtual hooks. Bytes of an unfinished line are left
// unconsumed; the caller keeps them and offers them again with more data.
class HttpParser {
 public:
  enum ProcessResult { PR_CONTINUE, PR_BLOCK, PR_COMPLETE };

  HttpParser();
  virtual ~HttpParser();

  void reset();
  ProcessResult Process(const char* buffer, size_t len, size_t& processed, HttpError* error);
  // True while a body that ends with the connection is being read.
  bool is_valid_end_of_input() const;
  void complete(HttpError err);

  // Body bytes still expected; SIZE_MAX means until the stream closes.
  size_t GetDataRemaining() const { return data_size_; }

  // A body larger than this ends with HE_OVERFLOW. Defaults to
  // kHttpMaxBodySize.
  void set_max_body_size(size_t size) { max_body_size_ = size; }
  size_t max_body_size() const { return max_body_size_; }

 protected:
  ProcessResult ProcessLine(const char* line, size_t len, HttpError* error);
  // Checks the header held back for a folded continuation and passes it on.
  ProcessResult FlushPendingHeader(HttpError* error);

  // HttpParser Interface
  virtual ProcessResult ProcessLeader(const char* line, size_t len, HttpError* error) = 0;
  virtual ProcessResult ProcessHeader(const char* name, size_t nlen, const char* value, size_t vlen,
                                      HttpError* error) = 0;
  virtual ProcessResult ProcessHeaderComplete(bool chunked, size_t& data_size,
                                              HttpError* error) = 0;
  virtual ProcessResult ProcessData(const char* data, size_t len, size_t& read,
                                    HttpError* error) = 0;
  virtual void OnComplete(HttpError err) = 0;

 private:
  enum State {
    ST_LEADER,
    ST_HEADERS,
    ST_CHUNKSIZE,
    ST_CHUNKTERM,
    ST_TRAILERS,
    ST_DATA,
    ST_COMPLETE
  } state_;
  bool chunked_;
  size_t data_size_;

  // Framing seen among the headers, checked when they end.
  bool has_content_length_;
  uint64_t content_length_;
  size_t header_bytes_;
  // The last header line, with any folded lines joined to it.
  std::string pending_header_;
  bool has_pending_header_ = false;
  // Chunk-size lines and chunk ends, which grow with the body.
  size_t framing_bytes_;
  size_t body_bytes_;
  size_t max_body_size_ = kHttpMaxBodySize;
};

}  // namespace rtc

#endif  // RTC_BASE_HTTP_HTTP_PARSER_H_
