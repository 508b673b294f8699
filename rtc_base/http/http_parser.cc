#include "rtc_base/http/http_parser.h"

#include <string.h>
#include <strings.h>

#include <algorithm>

#include "rtc_base/base/logging.h"

namespace rtc {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Content-Length: decimal digits only, no sign, no trailing text.
bool ParseContentLength(const char* value, size_t len, uint64_t* length) {
  if (len == 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < len; ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
    unsigned digit = value[i] - '0';
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *length = v;
  return true;
}

// A chunk-size line: hexadecimal digits, then optionally white space and
// chunk extensions after ';', which carry nothing we use.
bool ParseChunkSize(const char* line, size_t len, uint64_t* size) {
  size_t i = 0;
  uint64_t v = 0;
  for (; i < len; ++i) {
    int digit = HexValue(line[i]);
    if (digit < 0) break;
    if (v > (UINT64_MAX >> 4)) return false;
    v = (v << 4) | static_cast<unsigned>(digit);
  }
  if (i == 0) return false;
  while (i < len && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i < len && line[i] != ';') return false;
  *size = v;
  return true;
}

}  // namespace

HttpParser::HttpParser() { reset(); }

HttpParser::~HttpParser() = default;

void HttpParser::reset() {
  state_ = ST_LEADER;
  chunked_ = false;
  data_size_ = SIZE_MAX;
  has_content_length_ = false;
  content_length_ = 0;
  header_bytes_ = 0;
  framing_bytes_ = 0;
  body_bytes_ = 0;
  has_pending_header_ = false;
  pending_header_.clear();
}

HttpParser::ProcessResult HttpParser::Process(const char* buffer, size_t len, size_t& processed,
                                              HttpError* error) {
  processed = 0;
  *error = HE_NONE;

  if (state_ >= ST_COMPLETE) return PR_COMPLETE;

  while (true) {
    if (state_ < ST_DATA) {
      if (processed == len) return PR_CONTINUE;
      const char* line = buffer + processed;
      const char* newline = static_cast<const char*>(memchr(line, '\n', len - processed));
      if (!newline) return PR_CONTINUE;
      size_t line_len = newline - line;
      processed += line_len + 1;
      // Every byte on the wire counts, trailing white space included, so
      // that padding cannot stretch a section past its cap.
      if (state_ == ST_CHUNKSIZE || state_ == ST_CHUNKTERM) {
        // Chunk framing grows with the body, not with the headers; it has
        // a budget of its own as large as the body's.
        framing_bytes_ += line_len + 1;
        size_t framing_cap = std::max(max_body_size_, kHttpMaxHeaderSectionSize);
        if (framing_bytes_ > framing_cap) {
          RTC_LOG(LS_WARNING) << "HTTP chunk framing exceeds " << framing_cap << " bytes";
          *error = HE_OVERFLOW;
          return PR_COMPLETE;
        }
      } else {
        header_bytes_ += line_len + 1;
        if (header_bytes_ > kHttpMaxHeaderSectionSize) {
          RTC_LOG(LS_WARNING) << "HTTP header section exceeds " << kHttpMaxHeaderSectionSize
                              << " bytes";
          *error = HE_OVERFLOW;
          return PR_COMPLETE;
        }
      }
      // Both "\r\n" and a bare "\n" end a line.
      while (line_len > 0 && IsSpace(line[line_len - 1])) --line_len;
      ProcessResult result = ProcessLine(line, line_len, error);
      RTC_LOG(LS_VERBOSE) << "Processed line, result=" << result;
      if (result != PR_CONTINUE) return result;
    } else if (data_size_ == 0) {
      if (chunked_) {
        state_ = ST_CHUNKTERM;
      } else {
        return PR_COMPLETE;
      }
    } else {
      if (processed == len) return PR_CONTINUE;
      size_t available = std::min(data_size_, len - processed);
      if (data_size_ == SIZE_MAX) {
        // A body that ends with the stream gets no byte past its cap.
        size_t room = max_body_size_ - body_bytes_;
        if (room == 0) {
          RTC_LOG(LS_WARNING) << "HTTP body exceeds " << max_body_size_ << " bytes";
          *error = HE_OVERFLOW;
          return PR_COMPLETE;
        }
        available = std::min(available, room);
      }
      size_t read = 0;
      ProcessResult result = ProcessData(buffer + processed, available, read, error);
      RTC_LOG(LS_VERBOSE) << "Processed data, result: " << result << " read: " << read
                          << " err: " << *error;
      if (read > available) {
        // The hook claims more than it was given; do not trust it.
        *error = HE_STREAM;
        return PR_COMPLETE;
      }
      if (read == 0 && result == PR_CONTINUE) {
        // Taking nothing and asking for more would spin here for ever.
        RTC_LOG(LS_ERROR) << "HTTP body consumer took no bytes";
        *error = HE_STREAM;
        return PR_COMPLETE;
      }
      processed += read;
      if (data_size_ != SIZE_MAX) {
        data_size_ -= read;
      } else {
        body_bytes_ += read;
        if (body_bytes_ > max_body_size_) {
          RTC_LOG(LS_WARNING) << "HTTP body exceeds " << max_body_size_ << " bytes";
          *error = HE_OVERFLOW;
          return PR_COMPLETE;
        }
      }
      if (result != PR_CONTINUE) return result;
    }
  }
}

HttpParser::ProcessResult HttpParser::ProcessLine(const char* line, size_t len, HttpError* error) {
  switch (state_) {
    case ST_LEADER:
      if (memchr(line, '\r', len) || memchr(line, '\0', len)) {
        *error = HE_PROTOCOL;
        return PR_COMPLETE;
      }
      state_ = ST_HEADERS;
      return ProcessLeader(line, len, error);

    case ST_HEADERS:
      if (len > 0) {
        // A bare CR or a NUL inside a header could split it in two for
        // another reader; refuse the message.
        if (memchr(line, '\r', len) || memchr(line, '\0', len)) {
          *error = HE_PROTOCOL;
          return PR_COMPLETE;
        }
        if (line[0] == ' ' || line[0] == '\t') {
          // An obsolete folded line continues the header before it; the
          // fold reads as one space. Before any header it continues nothing.
          if (!has_pending_header_) {
            *error = HE_PROTOCOL;
            return PR_COMPLETE;
          }
          size_t start = 0;
          while (start < len && IsSpace(line[start])) ++start;
          pending_header_.push_back(' ');
          pending_header_.append(line + start, len - start);
          return PR_CONTINUE;
        }
        // A header is passed on once the next line shows it is not folded.
        ProcessResult result = FlushPendingHeader(error);
        if (result != PR_CONTINUE) return result;
        pending_header_.assign(line, len);
        has_pending_header_ = true;
        return PR_CONTINUE;
      } else {
        ProcessResult flushed = FlushPendingHeader(error);
        if (flushed != PR_CONTINUE) return flushed;
        // Both framings at once would let two readers disagree on where
        // the body ends.
        if (chunked_ && has_content_length_) {
          *error = HE_PROTOCOL;
          return PR_COMPLETE;
        }
        if (has_content_length_) {
          // The cap is checked once the observer has had its say, as an
          // answer to HEAD or a 304 announces a length but carries no body.
          // Observers check the size before they allocate for it.
          data_size_ = static_cast<size_t>(std::min<uint64_t>(content_length_, SIZE_MAX - 1));
        }
        state_ = chunked_ ? ST_CHUNKSIZE : ST_DATA;
        header_bytes_ = 0;
        ProcessResult result = ProcessHeaderComplete(chunked_, data_size_, error);
        if (result != PR_COMPLETE && chunked_ && data_size_ == 0) {
          // The observer knows this message has no body (an answer to HEAD,
          // 1xx, 204, 304) whatever its framing says; waiting for chunks
          // would stall the connection.
          chunked_ = false;
          state_ = ST_DATA;
        }
        if (result != PR_COMPLETE && !chunked_ && data_size_ != SIZE_MAX &&
            data_size_ > max_body_size_) {
          RTC_LOG(LS_WARNING) << "HTTP body of " << data_size_ << " bytes exceeds "
                              << max_body_size_;
          *error = HE_OVERFLOW;
          return PR_COMPLETE;
        }
        return result;
      }

    case ST_CHUNKSIZE: {
      uint64_t size;
      if (!ParseChunkSize(line, len, &size)) {
        *error = HE_PROTOCOL;
        return PR_COMPLETE;
      }
      if (size > max_body_size_ - body_bytes_) {
        RTC_LOG(LS_WARNING) << "HTTP chunked body exceeds " << max_body_size_ << " bytes";
        *error = HE_OVERFLOW;
        return PR_COMPLETE;
      }
      body_bytes_ += static_cast<size_t>(size);
      data_size_ = static_cast<size_t>(size);
      state_ = (data_size_ == 0) ? ST_TRAILERS : ST_DATA;
      return PR_CONTINUE;
    }

    case ST_CHUNKTERM:
      if (len > 0) {
        *error = HE_PROTOCOL;
        return PR_COMPLETE;
      }
      state_ = chunked_ ? ST_CHUNKSIZE : ST_DATA;
      return PR_CONTINUE;

    case ST_TRAILERS:
      if (len == 0) return PR_COMPLETE;
      return PR_CONTINUE;

    default:
      break;
  }

  *error = HE_PROTOCOL;
  return PR_COMPLETE;
}

HttpParser::ProcessResult HttpParser::FlushPendingHeader(HttpError* error) {
  if (!has_pending_header_) return PR_CONTINUE;
  has_pending_header_ = false;
  const char* line = pending_header_.data();
  size_t len = pending_header_.size();
  const char* colon = static_cast<const char*>(memchr(line, ':', len));
  if (!colon || colon == line) {
    *error = HE_PROTOCOL;
    return PR_COMPLETE;
  }
  size_t nlen = colon - line;
  for (size_t i = 0; i < nlen; ++i) {
    if (IsSpace(line[i])) {
      *error = HE_PROTOCOL;
      return PR_COMPLETE;
    }
  }
  const char* value = colon + 1;
  const char* end = line + len;
  while (value < end && IsSpace(*value)) ++value;
  size_t vlen = end - value;
  if (MatchHeader(line, nlen, HH_CONTENT_LENGTH)) {
    uint64_t length;
    if (!ParseContentLength(value, vlen, &length) ||
        (has_content_length_ && length != content_length_)) {
      *error = HE_PROTOCOL;
      return PR_COMPLETE;
    }
    has_content_length_ = true;
    content_length_ = length;
  } else if (MatchHeader(line, nlen, HH_TRANSFER_ENCODING)) {
    if (vlen == 8 && strncasecmp(value, "identity", 8) == 0) {
      chunked_ = false;
    } else if (vlen == 7 && strncasecmp(value, "chunked", 7) == 0) {
      chunked_ = true;
    } else {
      *error = HE_PROTOCOL;
      return PR_COMPLETE;
    }
  }
  return ProcessHeader(line, nlen, value, vlen, error);
}

bool HttpParser::is_valid_end_of_input() const {
  return (state_ == ST_DATA) && (data_size_ == SIZE_MAX);
}

void HttpParser::complete(HttpError error) {
  if (state_ < ST_COMPLETE) {
    state_ = ST_COMPLETE;
    OnComplete(error);
  }
}

}  // namespace rtc
