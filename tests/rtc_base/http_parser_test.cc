#include "rtc_base/http_parser.h"

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/http_common.h"

namespace rtc {
namespace {

// Collects one response the way a stream engine would: the bytes that the
// parser leaves unconsumed are kept and offered again with the next piece.
class ResponseCollector : public HttpParser {
 public:
  static constexpr size_t kBufferLimit = 32768;

  // Feeds one piece; returns false once the message is complete.
  bool Feed(const std::string& piece) {
    if (done_)
      return false;
    pending_.append(piece);
    size_t processed = 0;
    HttpError error = HE_NONE;
    ProcessResult result =
        Process(pending_.data(), pending_.size(), processed, &error);
    pending_.erase(0, processed);
    if (result == PR_COMPLETE) {
      complete(error);
      return false;
    }
    if (pending_.size() >= kBufferLimit) {
      complete(HE_OVERFLOW);
      return false;
    }
    return true;
  }

  // The stream ended.
  void End() {
    if (!done_)
      complete(is_valid_end_of_input() ? HE_NONE : HE_DISCONNECTED);
  }

  HttpResponseData response;
  std::string body;
  bool done_ = false;
  HttpError error_ = HE_DEFAULT;
  bool chunked_seen_ = false;
  bool no_body_ = false;
  bool stalled_consumer_ = false;
  std::string pending_;

 protected:
  ProcessResult ProcessLeader(const char* line,
                              size_t len,
                              HttpError* error) override {
    *error = response.parseLeader(line, len);
    return (*error == HE_NONE) ? PR_CONTINUE : PR_COMPLETE;
  }
  ProcessResult ProcessHeader(const char* name,
                              size_t nlen,
                              const char* value,
                              size_t vlen,
                              HttpError* error) override {
    response.addHeader(std::string(name, nlen), std::string(value, vlen));
    return PR_CONTINUE;
  }
  ProcessResult ProcessHeaderComplete(bool chunked,
                                      size_t& data_size,
                                      HttpError* error) override {
    chunked_seen_ = chunked;
    // As a client does for an answer to HEAD, a 1xx, 204 or 304.
    if (no_body_)
      data_size = 0;
    return PR_CONTINUE;
  }
  ProcessResult ProcessData(const char* data,
                            size_t len,
                            size_t& read,
                            HttpError* error) override {
    if (stalled_consumer_) {
      read = 0;
      return PR_CONTINUE;
    }
    body.append(data, len);
    read = len;
    return PR_CONTINUE;
  }
  void OnComplete(HttpError err) override {
    done_ = true;
    error_ = err;
  }
};

struct Outcome {
  HttpError error;
  uint32_t scode;
  HttpVersion version;
  std::string message;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  size_t left_over;

  bool operator==(const Outcome& o) const = default;
};

Outcome ParseInPieces(const std::string& bytes,
                      const std::vector<size_t>& cuts,
                      bool end_stream = true) {
  ResponseCollector c;
  size_t start = 0;
  for (size_t cut : cuts) {
    if (!c.Feed(bytes.substr(start, cut - start)))
      break;
    start = cut;
  }
  if (!c.done_)
    c.Feed(bytes.substr(start));
  if (end_stream)
    c.End();
  Outcome o{c.error_, c.response.scode, c.response.version,
            c.response.message, c.body, {}, c.pending_.size()};
  for (auto it = c.response.begin(); it != c.response.end(); ++it)
    o.headers.emplace_back(it->first, it->second);
  return o;
}

Outcome ParseWhole(const std::string& bytes, bool end_stream = true) {
  return ParseInPieces(bytes, {}, end_stream);
}

const char kChunkedResponse[] =
    "HTTP/1.1 200 OK\r\n"
    "Transfer-Encoding: chunked\r\n"
    "Set-Cookie: a=1\r\n"
    "Set-Cookie: b=2\r\n"
    "Cache-Control: a\r\n"
    "Cache-Control: b\r\n"
    "\r\n"
    "5\r\nhello\r\n"
    "7;ext=1\r\n, world\r\n"
    "0\r\n"
    "X-Trailer: yes\r\n"
    "\r\n";

std::string Chunked(const std::string& chunks) {
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks;
}
std::string WithHeader(const std::string& header, const std::string& rest = "\r\nhello") {
  return "HTTP/1.1 200 OK\r\n" + header + "\r\n" + rest;
}

// How one response ends: its error and body, for the framing, the status line, the headers,
// the chunk syntax, the limits and the end of the stream.
TEST(HttpParserTest, ResponsesEndWithTheirErrorAndBody) {
  const std::string nul_header("HTTP/1.1 200 OK\r\nX-A: a\0b\r\n\r\n", 30);
  struct Case {
    std::string bytes;
    HttpError error;
    std::string body;
    bool end_stream = true;
  } cases[] = {
      {kChunkedResponse, HE_NONE, "hello, world"},
      {WithHeader("Content-Length: 5", "\r\nhelloEXTRA"), HE_NONE, "hello", false},
      {"HTTP/1.1 200 OK\r\n\r\nuntil close", HE_NONE, "until close"},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", HE_NONE, "", false},
      {"HTTP 200\r\nContent-Length: 0\r\n\r\n", HE_NONE, ""},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding: ChUnKeD\r\n\r\n3\r\nabc\r\n0\r\n\r\n", HE_NONE,
       "abc", false},
      // The stream ends too early.
      {WithHeader("Content-Length: 10", "\r\nabc"), HE_DISCONNECTED, "abc"},
      {"HTTP/1.1 200 OK\r\nContent-Len", HE_DISCONNECTED, ""},
      {Chunked("5\r\nhello\r\n"), HE_DISCONNECTED, "hello"},
      // Conflicting or repeated lengths.
      {WithHeader("Content-Length: 5\r\nContent-Length: 6", "\r\nhello!"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 5\r\nTransfer-Encoding: chunked",
                  "\r\n5\r\nhello\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 5\r\nContent-Length: 5"), HE_NONE, "hello", false},
      // Status lines.
      {"HTTP/2.0 200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.2 200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1 -200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1 2000 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1 099 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"ICY 200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1 200\rOK\r\n\r\n", HE_PROTOCOL, ""},
      // Header syntax and Content-Length forms.
      {WithHeader("Content-Length: -1"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: +5"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 0x10"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length:"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 5,5"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 5.0"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 18446744073709551616"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 18446744073709551615"), HE_OVERFLOW, ""},
      {WithHeader("Content-Length: 16777217"), HE_OVERFLOW, ""},
      {WithHeader("Content-Length: \t0005   "), HE_NONE, "hello", false},
      {WithHeader("Transfer-Encoding: gzip"), HE_PROTOCOL, ""},
      {WithHeader("Transfer-Encoding: chunked, gzip"), HE_PROTOCOL, ""},
      {WithHeader("No colon here"), HE_PROTOCOL, ""},
      {WithHeader(": no name"), HE_PROTOCOL, ""},
      {WithHeader("Bad Name: x"), HE_PROTOCOL, ""},
      {WithHeader("X-Bare: a\rb"), HE_PROTOCOL, ""},
      {WithHeader("X-A: a\r\n\tcontinued"), HE_PROTOCOL, ""},
      {nul_header, HE_PROTOCOL, ""},
      // Chunk syntax and sizes.
      {Chunked("\r\n"), HE_PROTOCOL, ""},
      {Chunked("g\r\nabc\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      {Chunked("3x\r\nabc\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      {Chunked("-3\r\nabc\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      {Chunked("3\r\nabcX\r\n0\r\n\r\n"), HE_PROTOCOL, "abc"},
      {Chunked("10000000000000000\r\n"), HE_PROTOCOL, ""},
      {Chunked("ffffffffffffffff;x=1\r\n"), HE_OVERFLOW, ""},
      {Chunked("1000001\r\n"), HE_OVERFLOW, ""},
      {Chunked("00000000000000000000000000000003\r\nabc\r\n0\r\n\r\n"), HE_NONE, "abc", false},
      // A line longer than the buffer.
      {"HTTP/1.1 200 OK\r\nX-Long: " + std::string(40000, 'y'), HE_OVERFLOW, ""},
  };
  for (const Case& c : cases) {
    Outcome o = ParseWhole(c.bytes, c.end_stream);
    EXPECT_EQ(c.error, o.error) << c.bytes.substr(0, 120);
    EXPECT_EQ(c.body, o.body) << c.bytes.substr(0, 120);
  }
  Outcome sample = ParseWhole(kChunkedResponse);
  std::vector<std::pair<std::string, std::string>> joined = {
      {"Cache-Control", "a,b"}, {"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"},
      {"Transfer-Encoding", "chunked"}};
  EXPECT_EQ(joined, sample.headers);
}

TEST(HttpParserTest, HeaderSectionUpToTheCapIsAcceptedAndOneByteMoreOverflows) {
  std::string head = "HTTP/1.1 200 OK\r\n";
  std::string tail = "Content-Length: 2\r\n\r\n";
  std::string bytes = head;
  size_t room = kHttpMaxHeaderSectionSize - head.size() - tail.size();
  const size_t kLine = 1000;  // "X: " + filler + "\r\n"
  for (; room >= kLine; room -= kLine)
    bytes += "X: " + std::string(kLine - 5, 'h') + "\r\n";
  if (room > 0)
    bytes += "Y:" + std::string(room - 4, 'h') + "\r\n";
  ASSERT_EQ(kHttpMaxHeaderSectionSize, bytes.size() + tail.size());
  Outcome at_cap = ParseWhole(bytes + tail + "ok", false);
  EXPECT_EQ(HE_NONE, at_cap.error);
  EXPECT_EQ("ok", at_cap.body);
  bytes.insert(head.size() + 3, "h");
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(bytes + tail + "ok", false).error);

  // Padding that trims away still counts; chunk framing is body, not header section.
  std::string padded = head;
  for (int i = 0; i < 12; ++i)
    padded += "X-Pad: v" + std::string(30000, ' ') + "\r\n";
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(padded + tail, false).error);
  std::string chunks;
  for (int i = 0; i < 100000; ++i)
    chunks += "1\r\nz\r\n";
  Outcome many = ParseWhole(Chunked(chunks + "0\r\n\r\n"), false);
  EXPECT_EQ(HE_NONE, many.error);
  EXPECT_EQ(100000u, many.body.size());
}

TEST(HttpParserTest, ConfiguredBodyCapAndConsumerLimitsApplyToEveryFraming) {
  struct Case {
    std::string bytes;
    HttpError error;
    size_t body;
  } cases[] = {
      {WithHeader("Content-Length: 4", "\r\nabcd"), HE_NONE, 4},
      {WithHeader("Content-Length: 5", "\r\nabcde"), HE_OVERFLOW, 0},
      {Chunked("2\r\nab\r\n3\r\nabc\r\n0\r\n\r\n"), HE_OVERFLOW, 2},
      {"HTTP/1.1 200 OK\r\n\r\nabcd", HE_NONE, 4},
      {"HTTP/1.1 200 OK\r\n\r\n" + std::string(40, 'b'), HE_OVERFLOW, 4},
  };
  for (const Case& c : cases) {
    ResponseCollector collector;
    collector.set_max_body_size(4);
    collector.Feed(c.bytes);
    collector.End();
    EXPECT_EQ(c.error, collector.error_) << c.bytes;
    EXPECT_EQ(c.body, collector.body.size()) << c.bytes;
  }
  // Size lines padded with zeros stop at the framing cap though the body stays small.
  ResponseCollector padded;
  padded.set_max_body_size(100000);
  ASSERT_TRUE(padded.Feed(Chunked("")));
  const std::string chunk = std::string(1000, '0') + "1\r\nq\r\n";
  for (int i = 0; i < 1000 && padded.Feed(chunk); ++i) {
  }
  EXPECT_EQ(HE_OVERFLOW, padded.error_);
  // Answers without a body (HEAD, 204, 304) end at their headers whatever they announce;
  // a consumer that takes no byte ends the message with a stream error.
  for (const std::string& bytes : {Chunked(""), WithHeader("Content-Length: 18446744073709551615", "\r\n")}) {
    ResponseCollector no_body;
    no_body.no_body_ = true;
    no_body.Feed(bytes);
    EXPECT_TRUE(no_body.done_);
    EXPECT_EQ(HE_NONE, no_body.error_) << bytes;
  }
  for (const std::string& bytes : {WithHeader("Content-Length: 3", "\r\nabc"),
                                   std::string("HTTP/1.1 200 OK\r\n\r\nabc"),
                                   Chunked("3\r\nabc\r\n")}) {
    ResponseCollector stalled;
    stalled.stalled_consumer_ = true;
    stalled.Feed(bytes);
    EXPECT_EQ(HE_STREAM, stalled.error_) << bytes;
  }
}

// The same bytes cut anywhere give the same outcome, and every message ends with a result:
// the sample at every byte, then random and mutated messages in random pieces.
TEST(HttpParserTest, WhereverTheBytesAreCutTheOutcomeIsTheSame) {
  const std::string sample = kChunkedResponse;
  Outcome whole = ParseWhole(sample);
  std::vector<size_t> every_byte;
  for (size_t cut = 1; cut < sample.size(); ++cut) {
    EXPECT_EQ(whole, ParseInPieces(sample, {cut})) << "cut at " << cut;
    every_byte.push_back(cut);
  }
  EXPECT_EQ(whole, ParseInPieces(sample, every_byte));
  size_t body_start = sample.find("\r\n\r\n") + 4;
  for (size_t cut = body_start; cut <= sample.find("0\r\nX-Trailer"); ++cut)
    EXPECT_EQ(HE_DISCONNECTED, ParseWhole(sample.substr(0, cut)).error) << cut;

  std::mt19937 rng(20261206);
  const char* kLeaders[] = {"HTTP/1.1 200 OK", "HTTP/1.0 404 Not Found",
                            "HTTP/1.1 100 Continue", "HTTP 200",
                            "HTTP/1.1 2x0 OK", "HTTP/1.1 999 "};
  const char* kHeaders[] = {"Content-Length: 3", "Content-Length: 0",
                            "Content-Length: 00", "Content-Length: +3",
                            "Transfer-Encoding: chunked", "Transfer-Encoding: x",
                            "X-A: b", " folded", "X-Nul: a", "NoColon",
                            "Content-Length: 18446744073709551615"};
  const char* kBodies[] = {"abc", "3\r\nabc\r\n0\r\n\r\n",
                           "ffffffffffffffff\r\n", "1\r\na\r\n",
                           "0\r\nT: t\r\n\r\n", "", "\r\n\r\n"};
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    if (round % 4 == 0) {
      for (size_t i = rng() % 200; i > 0; --i)
        bytes.push_back(static_cast<char>(rng() & 0xff));
    } else {
      bytes = kLeaders[rng() % 6];
      bytes += (rng() % 5 == 0) ? "\n" : "\r\n";
      for (int h = rng() % 5; h > 0; --h)
        bytes += std::string(kHeaders[rng() % 11]) + "\r\n";
      bytes += "\r\n";
      bytes += kBodies[rng() % 7];
      if (rng() % 3 == 0)
        bytes[rng() % bytes.size()] = static_cast<char>(rng() & 0xff);
    }
    bool end_stream = rng() % 2 == 0;
    Outcome whole = ParseWhole(bytes, end_stream);
    std::vector<size_t> cuts;
    for (size_t i = 1 + rng() % 5; i < bytes.size(); i += 1 + rng() % 5)
      cuts.push_back(i);
    Outcome pieces = ParseInPieces(bytes, cuts, end_stream);
    // What is left unread after an error depends on where the pieces ended.
    pieces.left_over = whole.left_over;
    EXPECT_EQ(whole, pieces) << round;
    if (end_stream)
      EXPECT_NE(HE_DEFAULT, whole.error) << round;
    EXPECT_LE(whole.body.size(), bytes.size());
  }
}

}  // namespace
}  // namespace rtc
