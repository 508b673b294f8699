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

  bool operator==(const Outcome& o) const {
    return error == o.error && scode == o.scode && version == o.version &&
           message == o.message && body == o.body && headers == o.headers &&
           left_over == o.left_over;
  }
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

TEST(HttpParserTest, SplittingAtEveryByteGivesTheSameResult) {
  const std::string bytes = kChunkedResponse;
  Outcome whole = ParseWhole(bytes);
  EXPECT_EQ(HE_NONE, whole.error);
  EXPECT_EQ("hello, world", whole.body);
  for (size_t cut = 1; cut < bytes.size(); ++cut) {
    EXPECT_EQ(whole, ParseInPieces(bytes, {cut})) << "cut at " << cut;
  }
  std::vector<size_t> every_byte;
  for (size_t i = 1; i < bytes.size(); ++i)
    every_byte.push_back(i);
  EXPECT_EQ(whole, ParseInPieces(bytes, every_byte));
}

TEST(HttpParserTest, RandomSplitsOfSizedBodyGiveTheSameResult) {
  std::string body(3000, '\0');
  for (size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>(i * 7);
  const std::string bytes = "HTTP/1.0 201 Created\nContent-Length: 3000\n\n" +
                            body;
  Outcome whole = ParseWhole(bytes);
  ASSERT_EQ(HE_NONE, whole.error);
  EXPECT_EQ(body, whole.body);
  EXPECT_EQ(201u, whole.scode);
  EXPECT_EQ(HVER_1_0, whole.version);
  std::mt19937 rng(42);
  for (int round = 0; round < 50; ++round) {
    std::vector<size_t> cuts;
    size_t pos = 0;
    while (true) {
      pos += 1 + rng() % 200;
      if (pos >= bytes.size())
        break;
      cuts.push_back(pos);
    }
    EXPECT_EQ(whole, ParseInPieces(bytes, cuts)) << "round " << round;
  }
}

TEST(HttpParserTest, MutatedMessagesNeverCrashAndAlwaysEnd) {
  const std::string seeds[] = {
      kChunkedResponse,
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX: y\r\n\r\nhello",
      "HTTP/1.0 301 Moved\nLocation: http://127.0.0.1/\n\nbody",
  };
  const char kAlphabet[] = "0123456789abcdefABCDEF:;\r\n -+xX\tHTTP/.";
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = seeds[round % 3];
    int edits = 1 + rng() % 6;
    for (int e = 0; e < edits; ++e) {
      size_t pos = rng() % bytes.size();
      switch (rng() % 3) {
        case 0:
          bytes[pos] = kAlphabet[rng() % (sizeof(kAlphabet) - 1)];
          break;
        case 1:
          bytes.insert(pos, 1, kAlphabet[rng() % (sizeof(kAlphabet) - 1)]);
          break;
        default:
          bytes.erase(pos, 1);
          break;
      }
    }
    std::vector<size_t> cuts;
    for (size_t i = 1 + rng() % 7; i < bytes.size(); i += 1 + rng() % 7)
      cuts.push_back(i);
    Outcome o = ParseInPieces(bytes, cuts);
    EXPECT_NE(HE_DEFAULT, o.error) << bytes;
    EXPECT_LE(o.body.size(), bytes.size());
  }
}

TEST(HttpParserTest, CollapsibleHeadersJoinAndSetCookieStaysSeparate) {
  Outcome o = ParseWhole(kChunkedResponse);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"Cache-Control", "a,b"},
      {"Set-Cookie", "a=1"},
      {"Set-Cookie", "b=2"},
      {"Transfer-Encoding", "chunked"}};
  EXPECT_EQ(expected, o.headers);
}

TEST(HttpParserTest, SizedBodyStopsAtItsLengthWithMoreBytesBehindIt) {
  Outcome o = ParseWhole(
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", false);
  EXPECT_EQ(HE_NONE, o.error);
  EXPECT_EQ("hello", o.body);
  EXPECT_EQ(5u, o.left_over);
}

TEST(HttpParserTest, BodyWithoutLengthEndsWithTheStream) {
  Outcome o = ParseWhole("HTTP/1.1 200 OK\r\n\r\nuntil close");
  EXPECT_EQ(HE_NONE, o.error);
  EXPECT_EQ("until close", o.body);
}

TEST(HttpParserTest, StreamEndingInsideSizedBodyIsDisconnected) {
  EXPECT_EQ(HE_DISCONNECTED,
            ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc")
                .error);
}

TEST(HttpParserTest, StreamEndingInsideHeadersIsDisconnected) {
  EXPECT_EQ(HE_DISCONNECTED,
            ParseWhole("HTTP/1.1 200 OK\r\nContent-Len").error);
}

TEST(HttpParserTest, ChunkedBodyWithoutLastChunkIsDisconnected) {
  EXPECT_EQ(HE_DISCONNECTED,
            ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "5\r\nhello\r\n")
                .error);
}

TEST(HttpParserTest, ZeroLengthBodyCompletesAtTheHeaderEnd) {
  Outcome o =
      ParseWhole("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", false);
  EXPECT_EQ(HE_NONE, o.error);
  EXPECT_EQ(204u, o.scode);
  EXPECT_EQ("No Content", o.message);
}

TEST(HttpParserTest, StatusLineForms) {
  Outcome missing_version = ParseWhole("HTTP 200\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(HE_NONE, missing_version.error);
  EXPECT_EQ(HVER_UNKNOWN, missing_version.version);
  EXPECT_EQ(200u, missing_version.scode);

  for (const char* bad : {"HTTP/2.0 200 OK", "HTTP/1.2 200 OK",
                          "HTTP/1.1 -200 OK", "HTTP/1.1 2000 OK",
                          "HTTP/1.1 20 OK", "HTTP/1.1 099 OK", "HTTP/1.1",
                          "HTTP/1.1200 OK", "ICY 200 OK", "",
                          "HTTP/1.1 200\rOK"}) {
    std::string bytes = std::string(bad) + "\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(HE_PROTOCOL, ParseWhole(bytes).error) << bad;
  }
}

TEST(HttpParserTest, MalformedHeadersAreProtocolErrors) {
  const char* cases[] = {
      "Content-Length: -1",
      "Content-Length: +5",
      "Content-Length: 5x",
      "Content-Length: 0x10",
      "Content-Length:",
      "Content-Length: 1 2",
      "Content-Length: 99999999999999999999999",
      "Transfer-Encoding: gzip",
      "Transfer-Encoding: chunked, gzip",
      "No colon here",
      ": no name",
      "Bad Name: x",
      "X-Bare: a\rb",
  };
  for (const char* header : cases) {
    std::string bytes =
        std::string("HTTP/1.1 200 OK\r\n") + header + "\r\n\r\nbody";
    EXPECT_EQ(HE_PROTOCOL, ParseWhole(bytes).error) << header;
  }
  std::string with_nul("HTTP/1.1 200 OK\r\nX-A: a\0b\r\n\r\n", 30);
  EXPECT_EQ(HE_PROTOCOL, ParseWhole(with_nul).error);
}

TEST(HttpParserTest, ConflictingLengthsAreProtocolErrors) {
  EXPECT_EQ(HE_PROTOCOL,
            ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
                       "Content-Length: 6\r\n\r\nhello!")
                .error);
  EXPECT_EQ(HE_PROTOCOL,
            ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
                       "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
                .error);
  Outcome repeated = ParseWhole(
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello",
      false);
  EXPECT_EQ(HE_NONE, repeated.error);
  EXPECT_EQ("hello", repeated.body);
}

TEST(HttpParserTest, TransferEncodingIsRecognisedWithoutRegardToCase) {
  Outcome o = ParseWhole(
      "HTTP/1.1 200 OK\r\ntransfer-encoding: ChUnKeD\r\n\r\n"
      "3\r\nabc\r\n0\r\n\r\n",
      false);
  EXPECT_EQ(HE_NONE, o.error);
  EXPECT_EQ("abc", o.body);
}

TEST(HttpParserTest, MalformedChunksAreProtocolErrors) {
  const char* cases[] = {
      "\r\n",                       // empty size line
      "g\r\nabc\r\n0\r\n\r\n",      // not hexadecimal
      "3x\r\nabc\r\n0\r\n\r\n",     // trailing junk
      "-3\r\nabc\r\n0\r\n\r\n",     // sign
      "3\r\nabcX\r\n0\r\n\r\n",     // terminator not empty
      "10000000000000000\r\n",      // does not fit 64 bits
  };
  for (const char* chunks : cases) {
    std::string bytes =
        std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
        chunks;
    EXPECT_EQ(HE_PROTOCOL, ParseWhole(bytes).error) << chunks;
  }
}

TEST(HttpParserTest, OversizedBodiesOverflowBeforeAnyAllocation) {
  EXPECT_EQ(HE_OVERFLOW, ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: "
                                    "16777217\r\n\r\n")
                             .error);
  EXPECT_EQ(HE_OVERFLOW,
            ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n")
                .error);
  EXPECT_EQ(HE_OVERFLOW,
            ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "ffffffffffffffff\r\n")
                .error);
}

TEST(HttpParserTest, ConfiguredBodyCapAppliesToEveryFraming) {
  auto parse = [](const std::string& bytes) {
    ResponseCollector c;
    c.set_max_body_size(4);
    c.Feed(bytes);
    c.End();
    return c.error_;
  };
  EXPECT_EQ(HE_NONE, parse("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd"));
  EXPECT_EQ(HE_OVERFLOW,
            parse("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcde"));
  EXPECT_EQ(HE_OVERFLOW, parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: "
                               "chunked\r\n\r\n2\r\nab\r\n3\r\nabc\r\n0\r\n\r\n"));
  EXPECT_EQ(HE_OVERFLOW, parse("HTTP/1.1 200 OK\r\n\r\nabcde"));
  EXPECT_EQ(HE_NONE, parse("HTTP/1.1 200 OK\r\n\r\nabcd"));
}

TEST(HttpParserTest, OversizedHeaderSectionOverflows) {
  std::string bytes = "HTTP/1.1 200 OK\r\n";
  std::string header = "X-Filler: " + std::string(1000, 'x') + "\r\n";
  while (bytes.size() <= kHttpMaxHeaderSectionSize)
    bytes += header;
  bytes += "\r\n";
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(bytes).error);
}

TEST(HttpParserTest, LineLongerThanTheBufferOverflows) {
  std::string bytes = "HTTP/1.1 200 OK\r\nX-Long: " + std::string(40000, 'y');
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(bytes).error);
}

TEST(HttpParserTest, CompleteParserAnswersCompleteAtOnce) {
  ResponseCollector c;
  c.Feed("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  ASSERT_TRUE(c.done_);
  size_t processed = 99;
  HttpError error = HE_DEFAULT;
  EXPECT_EQ(HttpParser::PR_COMPLETE, c.Process("x", 1, processed, &error));
  EXPECT_EQ(0u, processed);
  EXPECT_EQ(HE_NONE, error);
}


std::string ChunkedHead() {
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
}

TEST(HttpParserLimitsTest, ManySmallChunksAreABodyNotAnOversizedHeaderSection) {
  // 100000 one-byte chunks carry about 500 KB of framing, twice the header
  // cap, for a body well under the body cap.
  std::string bytes = ChunkedHead();
  for (int i = 0; i < 100000; ++i)
    bytes += "1\r\nz\r\n";
  bytes += "0\r\n\r\n";
  Outcome o = ParseWhole(bytes, false);
  EXPECT_EQ(HE_NONE, o.error);
  EXPECT_EQ(std::string(100000, 'z'), o.body);
}

TEST(HttpParserLimitsTest, BodyEndingWithTheStreamGetsNoBytePastTheCap) {
  for (size_t sent : {3u, 4u, 5u, 40u}) {
    ResponseCollector c;
    c.set_max_body_size(4);
    c.Feed("HTTP/1.1 200 OK\r\n\r\n" + std::string(sent, 'b'));
    c.End();
    EXPECT_EQ(sent <= 4 ? HE_NONE : HE_OVERFLOW, c.error_) << sent;
    EXPECT_EQ(std::min<size_t>(sent, 4), c.body.size()) << sent;
  }
}

TEST(HttpParserLimitsTest, PaddedChunkSizeLinesStopAtTheFramingCap) {
  // Each chunk carries one byte behind a size line of a thousand zeros; the
  // body stays under its cap while the framing grows without end.
  ResponseCollector c;
  c.set_max_body_size(100000);
  ASSERT_TRUE(c.Feed(ChunkedHead()));
  const std::string chunk = std::string(1000, '0') + "1\r\nq\r\n";
  int chunks = 0;
  while (c.Feed(chunk) && chunks < 1000)
    ++chunks;
  EXPECT_TRUE(c.done_);
  EXPECT_EQ(HE_OVERFLOW, c.error_);
  EXPECT_LE(c.body.size() * chunk.size(), 2 * kHttpMaxHeaderSectionSize);
}

TEST(HttpParserLimitsTest, TrailingWhiteSpaceCountsTowardsTheHeaderCap) {
  // Lines padded with white space up to just under the line limit: trimmed
  // they are tiny, on the wire they are far over the header cap.
  std::string bytes = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 12; ++i)
    bytes += "X-Pad: v" + std::string(30000, ' ') + "\r\n";
  bytes += "Content-Length: 0\r\n\r\n";
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(bytes, false).error);
}

TEST(HttpParserLimitsTest, HeaderSectionJustUnderTheCapIsAccepted) {
  std::string head = "HTTP/1.1 200 OK\r\n";
  std::string tail = "Content-Length: 2\r\n\r\n";
  std::string bytes = head;
  size_t room = kHttpMaxHeaderSectionSize - head.size() - tail.size();
  const size_t kLine = 1000;  // "X: " + filler + "\r\n"
  while (room >= kLine) {
    bytes += "X: " + std::string(kLine - 5, 'h') + "\r\n";
    room -= kLine;
  }
  if (room > 0)
    bytes += "Y:" + std::string(room - 4, 'h') + "\r\n";
  ASSERT_EQ(kHttpMaxHeaderSectionSize, bytes.size() + tail.size());
  Outcome at_cap = ParseWhole(bytes + tail + "ok", false);
  EXPECT_EQ(HE_NONE, at_cap.error);
  EXPECT_EQ("ok", at_cap.body);
  // One byte more in any header line is one too many.
  bytes.insert(head.size() + 3, "h");
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(bytes + tail + "ok", false).error);
}

TEST(HttpParserLimitsTest, ManyHeadersAreKeptUpToTheCap) {
  std::string bytes = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 20000; ++i)
    bytes += "X-" + std::to_string(i) + ": v\r\n";
  bytes += "Content-Length: 0\r\n\r\n";
  Outcome o = ParseWhole(bytes, false);
  EXPECT_EQ(HE_NONE, o.error);
  EXPECT_EQ(20001u, o.headers.size());
}

TEST(HttpParserLimitsTest, ChunkSizesAtAndPastSixtyFourBits) {
  struct Case {
    const char* line;
    HttpError error;
  } cases[] = {
      {"ffffffffffffffff\r\n", HE_OVERFLOW},   // 2^64-1: over the body cap
      {"FFFFFFFFFFFFFFFF;x=1\r\n", HE_OVERFLOW},
      {"10000000000000000\r\n", HE_PROTOCOL},  // 2^64 does not fit
      {"fffffffffffffffff\r\n", HE_PROTOCOL},
      {"00000000000000000000000000000003\r\nabc\r\n0\r\n\r\n", HE_NONE},
      {"1000001\r\n", HE_OVERFLOW},  // one past the 16 MB cap
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error, ParseWhole(ChunkedHead() + c.line, false).error)
        << c.line;
  }
}

TEST(HttpParserLimitsTest, ContentLengthForms) {
  struct Case {
    const char* value;
    HttpError error;
    const char* body;
  } cases[] = {
      {"0005", HE_NONE, "hello"},
      {"  5", HE_NONE, "hello"},
      {"5   \t", HE_NONE, "hello"},
      {"\t5", HE_NONE, "hello"},
      {"+5", HE_PROTOCOL, ""},
      {"++5", HE_PROTOCOL, ""},
      {"5 ,5", HE_PROTOCOL, ""},
      {"5,5", HE_PROTOCOL, ""},
      {"5.0", HE_PROTOCOL, ""},
      {"18446744073709551615", HE_OVERFLOW, ""},
      {"18446744073709551616", HE_PROTOCOL, ""},
      {"00000000000000000000000000000000000000005", HE_NONE, "hello"},
  };
  for (const Case& c : cases) {
    Outcome o = ParseWhole(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") +
                               c.value + "\r\n\r\nhello",
                           false);
    EXPECT_EQ(c.error, o.error) << c.value;
    if (c.error == HE_NONE)
      EXPECT_EQ(c.body, o.body) << c.value;
  }
}

TEST(HttpParserLimitsTest, FoldedHeadersAreRefused) {
  for (const char* fold : {" continued", "\tcontinued"}) {
    std::string bytes = std::string("HTTP/1.1 200 OK\r\nX-A: a\r\n") + fold +
                        "\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(HE_PROTOCOL, ParseWhole(bytes, false).error) << fold;
  }
}

TEST(HttpParserLimitsTest, NulBytesAnywhereInTheHeadIsRefused) {
  const std::string clean =
      "HTTP/1.1 200 OK\r\nX-A: abc\r\nContent-Length: 0\r\n\r\n";
  size_t head_end = clean.size() - 4;
  for (size_t pos = 0; pos < head_end; ++pos) {
    if (clean[pos] == '\r' || clean[pos] == '\n')
      continue;
    std::string bytes = clean;
    bytes.insert(pos, 1, '\0');
    Outcome o = ParseWhole(bytes, false);
    EXPECT_NE(HE_NONE, o.error) << "NUL at " << pos;
    EXPECT_NE(HE_DEFAULT, o.error) << "NUL at " << pos;
  }
}

TEST(HttpParserLimitsTest, ChunkedAnswerWithoutABodyEndsAtTheHeaders) {
  ResponseCollector c;
  c.no_body_ = true;
  c.Feed("HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n");
  EXPECT_TRUE(c.done_);
  EXPECT_EQ(HE_NONE, c.error_);
  EXPECT_TRUE(c.pending_.empty());
}

TEST(HttpParserLimitsTest, AnnouncedLengthOfAnAnswerWithoutABodyIsNotCapped) {
  for (const char* length : {"16777217", "18446744073709551615"}) {
    ResponseCollector c;
    c.no_body_ = true;
    c.Feed(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + length +
           "\r\n\r\n");
    EXPECT_TRUE(c.done_) << length;
    EXPECT_EQ(HE_NONE, c.error_) << length;
  }
}

TEST(HttpParserLimitsTest, ConsumerThatTakesNoBodyBytesEndsTheMessage) {
  for (const char* bytes :
       {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc",
        "HTTP/1.1 200 OK\r\n\r\nabc",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"}) {
    ResponseCollector c;
    c.stalled_consumer_ = true;
    c.Feed(bytes);
    EXPECT_TRUE(c.done_) << bytes;
    EXPECT_EQ(HE_STREAM, c.error_) << bytes;
  }
}

TEST(HttpParserLimitsTest, StreamEndingMidChunkIsDisconnectedAtEveryCut) {
  const std::string bytes = kChunkedResponse;
  size_t body_start = bytes.find("\r\n\r\n") + 4;
  size_t last_chunk_end = bytes.find("0\r\nX-Trailer");
  for (size_t cut = body_start; cut <= last_chunk_end; ++cut) {
    Outcome o = ParseWhole(bytes.substr(0, cut));
    EXPECT_EQ(HE_DISCONNECTED, o.error) << "cut at " << cut;
  }
}

// Random bytes and random structure-aware messages, fed in random pieces:
// every run ends with a result, never more body than was sent, and the
// same input cut differently gives the same outcome.
TEST(HttpParserLimitsTest, RandomMessagesEndTheSameWhereverTheyAreCut) {
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
      size_t n = rng() % 200;
      for (size_t i = 0; i < n; ++i)
        bytes.push_back(static_cast<char>(rng() & 0xff));
    } else {
      bytes = kLeaders[rng() % 6];
      bytes += (rng() % 5 == 0) ? "\n" : "\r\n";
      for (int h = rng() % 5; h > 0; --h) {
        bytes += kHeaders[rng() % 11];
        bytes += "\r\n";
      }
      bytes += "\r\n";
      bytes += kBodies[rng() % 7];
      if (rng() % 3 == 0 && !bytes.empty())
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
