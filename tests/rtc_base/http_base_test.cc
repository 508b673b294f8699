#include "rtc_base/http_base.h"

#include <errno.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

// A connected stream under the test's control: reads take what the test
// queued (blocking when there is none), writes are recorded call by call.
class ScriptedStream : public StreamInterface {
 public:
  StreamState GetState() const override { return state; }
  StreamResult Read(void* buffer, size_t len, size_t* read,
                    int* error) override {
    if (!incoming.empty()) {
      size_t n = std::min({len, incoming.size(), max_read});
      memcpy(buffer, incoming.data(), n);
      incoming.erase(0, n);
      if (read)
        *read = n;
      ++reads;
      return SR_SUCCESS;
    }
    if (read_error != 0) {
      if (error)
        *error = read_error;
      return SR_ERROR;
    }
    return peer_closed ? SR_EOS : SR_BLOCK;
  }
  StreamResult Write(const void* data, size_t len, size_t* written,
                     int* error) override {
    if (write_error != 0) {
      if (error)
        *error = write_error;
      return SR_ERROR;
    }
    size_t n = std::min(len, write_room);
    if (n == 0)
      return SR_BLOCK;
    write_room -= n;
    writes.emplace_back(static_cast<const char*>(data), n);
    if (written)
      *written = n;
    return SR_SUCCESS;
  }
  void Close() override {
    state = SS_CLOSED;
    ++closes;
  }
  void Fire(int events, int err = 0) { SignalEvent(this, events, err); }
  std::string AllWritten() const {
    std::string all;
    for (const auto& w : writes)
      all += w;
    return all;
  }

  StreamState state = SS_OPEN;
  std::string incoming;
  size_t max_read = SIZE_MAX;
  bool peer_closed = false;
  int read_error = 0;
  int write_error = 0;
  size_t write_room = SIZE_MAX;
  std::vector<std::string> writes;
  int reads = 0;
  int closes = 0;
};

// A document that does not know its size and hands out its bytes in
// pieces, blocking between them when asked to.
class UnsizedDocument : public StreamInterface {
 public:
  explicit UnsizedDocument(std::string data) : data_(std::move(data)) {}
  StreamState GetState() const override { return SS_OPEN; }
  StreamResult Read(void* buffer, size_t len, size_t* read, int*) override {
    if (blocked)
      return SR_BLOCK;
    if (data_.empty())
      return SR_EOS;
    size_t n = std::min({len, data_.size(), piece});
    memcpy(buffer, data_.data(), n);
    data_.erase(0, n);
    if (read)
      *read = n;
    return SR_SUCCESS;
  }
  StreamResult Write(const void*, size_t, size_t*, int* error) override {
    if (error)
      *error = -1;
    return SR_ERROR;
  }
  void Close() override {}
  void Fire(int events) { SignalEvent(this, events, 0); }

  bool blocked = false;
  size_t piece = SIZE_MAX;

 private:
  std::string data_;
};

class Observer : public IHttpNotify {
 public:
  HttpError onHttpHeaderComplete(bool chunked, size_t& data_size) override {
    ++headers_complete;
    header_chunked = chunked;
    header_data_size = data_size;
    if (make_document_stream)
      document_stream.reset(base->GetDocumentStream());
    return header_result;
  }
  void onHttpComplete(HttpMode mode, HttpError err) override {
    completions.emplace_back(mode, err);
  }
  void onHttpClosed(HttpError err) override { closed.push_back(err); }

  HttpBase* base = nullptr;
  int headers_complete = 0;
  bool header_chunked = false;
  size_t header_data_size = 0;
  HttpError header_result = HE_NONE;
  bool make_document_stream = false;
  std::unique_ptr<StreamInterface> document_stream;
  std::vector<std::pair<HttpMode, HttpError>> completions;
  std::vector<HttpError> closed;
};

class HttpBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    observer_.base = &base_;
    base_.notify(&observer_);
    ASSERT_TRUE(base_.attach(&stream_));
  }
  void TearDown() override { base_.detach(); }

  std::pair<HttpMode, HttpError> LastCompletion() {
    EXPECT_FALSE(observer_.completions.empty());
    return observer_.completions.empty()
               ? std::make_pair(HM_NONE, HE_DEFAULT)
               : observer_.completions.back();
  }

  ScriptedStream stream_;
  HttpBase base_;
  Observer observer_;
};

TEST_F(HttpBaseTest, SmallRequestLeavesInOneWriteWithSortedHeaders) {
  HttpRequestData request;
  request.verb = HV_POST;
  request.path = "/login";
  request.setHeader(HH_HOST, "127.0.0.1:7080");
  request.setContent("application/json",
                     new MemoryStream(std::string(200, 'j').data(), 200));
  base_.send(&request);

  ASSERT_EQ(1u, stream_.writes.size());
  EXPECT_EQ("POST /login HTTP/1.1\r\n"
            "Content-Length: 200\r\n"
            "Content-Type: application/json\r\n"
            "Host: 127.0.0.1:7080\r\n"
            "\r\n" +
                std::string(200, 'j'),
            stream_.writes[0]);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_NONE), LastCompletion());
  EXPECT_EQ(HM_NONE, base_.mode());
}

TEST_F(HttpBaseTest, UnsizedBodyIsSentInChunksEndedByAnEmptyOne) {
  HttpRequestData request;
  request.verb = HV_PUT;
  request.path = "/up";
  UnsizedDocument* document = new UnsizedDocument(std::string(300, 'c'));
  document->piece = 200;
  request.setContent("text/plain", document);
  base_.send(&request);

  EXPECT_EQ("PUT /up HTTP/1.1\r\n"
            "Content-Type: text/plain\r\n"
            "Transfer-Encoding: chunked\r\n"
            "\r\n"
            "000000c8\r\n" +
                std::string(200, 'c') +
                "\r\n"
                "00000064\r\n" +
                std::string(100, 'c') + "\r\n0\r\n\r\n",
            stream_.AllWritten());
  EXPECT_EQ(std::make_pair(HM_SEND, HE_NONE), LastCompletion());
}

TEST_F(HttpBaseTest, ChunkedHeaderWithoutDocumentStillEndsTheBody) {
  HttpRequestData request;
  request.setHeader(HH_TRANSFER_ENCODING, "Chunked");
  base_.send(&request);
  EXPECT_EQ("GET  HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n0\r\n\r\n",
            stream_.AllWritten());
  EXPECT_EQ(std::make_pair(HM_SEND, HE_NONE), LastCompletion());
}

TEST_F(HttpBaseTest, BlockedDocumentAndStreamResumeOnTheirEvents) {
  HttpRequestData request;
  request.path = "/";
  UnsizedDocument* document = new UnsizedDocument("abc");
  document->blocked = true;
  request.setContent("text/plain", document);
  stream_.write_room = 10;
  base_.send(&request);
  EXPECT_TRUE(observer_.completions.empty());
  EXPECT_EQ("GET / HTTP", stream_.AllWritten());

  stream_.write_room = SIZE_MAX;
  stream_.Fire(SE_WRITE);
  EXPECT_TRUE(observer_.completions.empty());
  document->blocked = false;
  document->Fire(SE_READ);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_NONE), LastCompletion());
  EXPECT_NE(std::string::npos,
            stream_.AllWritten().find("\r\n\r\n00000003\r\nabc\r\n0\r\n\r\n"));
}

TEST_F(HttpBaseTest, HeaderThatCanNeverFitFailsTheSend) {
  HttpRequestData request;
  request.path = "/";
  request.setHeader("X-Huge", std::string(HttpBase::kBufferSize, 'h'));
  base_.send(&request);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_OVERFLOW), LastCompletion());
  for (const std::string& w : stream_.writes)
    EXPECT_EQ(std::string::npos, w.find("X-Huge"));
}

TEST_F(HttpBaseTest, ManyHeadersSpanSeveralWrites) {
  HttpRequestData request;
  request.path = "/";
  for (int i = 0; i < 10; ++i)
    request.addHeader("X-H" + std::to_string(i), std::string(5000, 'a' + i));
  base_.send(&request);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_NONE), LastCompletion());
  EXPECT_EQ(2u, stream_.writes.size());
  std::string all = stream_.AllWritten();
  EXPECT_EQ("\r\n\r\n", all.substr(all.size() - 4));
  EXPECT_EQ(16 + 10 * (4 + 2 + 5000 + 2) + 2, all.size());
}

TEST_F(HttpBaseTest, OverlongRequestLineFailsTheSend) {
  HttpRequestData request;
  request.path = std::string(HttpBase::kBufferSize, 'p');
  base_.send(&request);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_OVERFLOW), LastCompletion());
  EXPECT_TRUE(stream_.writes.empty());
}

TEST_F(HttpBaseTest, BothFramingHeadersAreRefused) {
  HttpRequestData request;
  request.setHeader(HH_CONTENT_LENGTH, "3");
  request.setHeader(HH_TRANSFER_ENCODING, "chunked");
  base_.send(&request);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_PROTOCOL), LastCompletion());
  EXPECT_TRUE(stream_.writes.empty());
}

TEST_F(HttpBaseTest, TransferOnAClosedStreamIsReportedNotIgnored) {
  stream_.state = SS_CLOSED;
  HttpRequestData request;
  base_.send(&request);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_DISCONNECTED), LastCompletion());
  HttpResponseData response;
  base_.recv(&response);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_DISCONNECTED), LastCompletion());
}

TEST_F(HttpBaseTest, WriteErrorClosesWithSocketError) {
  stream_.write_error = ECONNRESET;
  HttpRequestData request;
  base_.send(&request);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_SOCKET_ERROR), LastCompletion());
  EXPECT_EQ(1, stream_.closes);
}

TEST_F(HttpBaseTest, ReceivesAResponseArrivingInPieces) {
  HttpResponseData response;
  response.document.reset(new MemoryStream());
  base_.recv(&response);
  EXPECT_TRUE(observer_.completions.empty());

  const std::string bytes =
      "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nX-A: 1\r\n\r\nhello world";
  for (size_t i = 0; i < bytes.size(); i += 7) {
    stream_.incoming += bytes.substr(i, 7);
    stream_.Fire(SE_READ);
  }
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
  EXPECT_EQ(1, observer_.headers_complete);
  EXPECT_EQ(11u, observer_.header_data_size);
  EXPECT_EQ(200u, response.scode);
  EXPECT_EQ("OK", response.message);
  MemoryStream* body = static_cast<MemoryStream*>(response.document.get());
  size_t size = 0;
  body->GetSize(&size);
  EXPECT_EQ("hello world", std::string(body->GetBuffer(), size));
}

TEST_F(HttpBaseTest, CloseErrorsMapToHttpErrors) {
  struct {
    int error;
    HttpError expected;
  } cases[] = {{0, HE_DISCONNECTED},
               {EACCES, HE_AUTH},
               {static_cast<int>(0x80090328), HE_CERTIFICATE_EXPIRED},
               {ECONNRESET, HE_SOCKET_ERROR}};
  for (const auto& c : cases) {
    observer_.completions.clear();
    stream_.state = SS_OPEN;
    HttpResponseData response;
    base_.recv(&response);
    stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    stream_.Fire(SE_READ);
    stream_.Fire(SE_CLOSE, c.error);
    EXPECT_EQ(std::make_pair(HM_RECV, c.expected), LastCompletion())
        << c.error;
  }
}

TEST_F(HttpBaseTest, CloseWhileConnectingIsConnectFailed) {
  base_.detach();
  stream_.state = SS_OPENING;
  ASSERT_TRUE(base_.attach(&stream_));
  EXPECT_EQ(HM_CONNECT, base_.mode());
  stream_.Fire(SE_CLOSE, ECONNREFUSED);
  EXPECT_EQ(std::make_pair(HM_CONNECT, HE_CONNECT_FAILED), LastCompletion());

  stream_.state = SS_OPENING;
  base_.detach();
  ASSERT_TRUE(base_.attach(&stream_));
  stream_.state = SS_OPEN;
  stream_.Fire(SE_OPEN | SE_READ | SE_WRITE);
  EXPECT_EQ(std::make_pair(HM_CONNECT, HE_NONE), LastCompletion());
}

TEST_F(HttpBaseTest, IdleCloseIsToldToTheObserver) {
  stream_.Fire(SE_CLOSE, 0);
  ASSERT_EQ(1u, observer_.closed.size());
  EXPECT_EQ(HE_DISCONNECTED, observer_.closed[0]);
}

TEST_F(HttpBaseTest, BodyEndingWithTheStreamCompletesCleanly) {
  HttpResponseData response;
  response.document.reset(new MemoryStream());
  stream_.incoming = "HTTP/1.0 200 OK\r\n\r\nall of it";
  stream_.peer_closed = true;
  base_.recv(&response);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
  size_t size = 0;
  response.document->GetSize(&size);
  EXPECT_EQ(9u, size);
}

TEST_F(HttpBaseTest, LineLongerThanTheBufferOverflows) {
  HttpResponseData response;
  stream_.incoming = "HTTP/1.1 200 OK\r\nX-Long: " +
                     std::string(HttpBase::kBufferSize + 10, 'l');
  base_.recv(&response);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_OVERFLOW), LastCompletion());
}

TEST_F(HttpBaseTest, FastStreamYieldsAfterBoundedPassesAndResumes) {
  const size_t kBody = 1024 * 1024;
  HttpResponseData response;
  response.document.reset(new MemoryStream());
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: " +
                     std::to_string(kBody) + "\r\n\r\n" +
                     std::string(kBody, 'b');
  base_.recv(&response);
  EXPECT_TRUE(observer_.completions.empty());
  EXPECT_EQ(static_cast<int>(HttpBase::kMaxReadPasses), stream_.reads);
  int events = 0;
  while (observer_.completions.empty() && events < 10) {
    stream_.Fire(SE_READ);
    ++events;
  }
  EXPECT_EQ(1, events);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
  size_t size = 0;
  response.document->GetSize(&size);
  EXPECT_EQ(kBody, size);
}

TEST_F(HttpBaseTest, CappedDocumentEndsWithOverflow) {
  HttpResponseData response;
  MemoryStream* document = new MemoryStream();
  document->set_max_size(1000);
  response.document.reset(document);
  stream_.incoming = "HTTP/1.1 200 OK\r\n\r\n" + std::string(5000, 'x');
  base_.recv(&response);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_OVERFLOW), LastCompletion());
}

TEST_F(HttpBaseTest, IgnoredBodyIsConsumedButNotStored) {
  class Ignorer : public Observer {
   public:
    HttpError onHttpHeaderComplete(bool chunked, size_t& size) override {
      base->set_ignore_data(true);
      return Observer::onHttpHeaderComplete(chunked, size);
    }
  } ignorer;
  ignorer.base = &base_;
  base_.notify(&ignorer);
  HttpResponseData response;
  response.document.reset(new MemoryStream());
  stream_.incoming =
      "HTTP/1.1 302 Found\r\nContent-Length: 4\r\n\r\nbody";
  base_.recv(&response);
  ASSERT_EQ(1u, ignorer.completions.size());
  EXPECT_EQ(HE_NONE, ignorer.completions[0].second);
  size_t size = 99;
  response.document->GetSize(&size);
  EXPECT_EQ(0u, size);
}

TEST_F(HttpBaseTest, ObserverErrorAtHeadersEndsTheReceive) {
  observer_.header_result = HE_CACHE;
  HttpResponseData response;
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
  base_.recv(&response);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_CACHE), LastCompletion());
}

TEST_F(HttpBaseTest, AbortFromInsideHeaderCallbackIsSafe) {
  class Aborter : public Observer {
   public:
    HttpError onHttpHeaderComplete(bool, size_t&) override {
      base->abort(HE_OPERATION_CANCELLED);
      return HE_NONE;
    }
  } aborter;
  aborter.base = &base_;
  base_.notify(&aborter);
  HttpResponseData response;
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
  base_.recv(&response);
  ASSERT_EQ(1u, aborter.completions.size());
  EXPECT_EQ(HE_OPERATION_CANCELLED, aborter.completions[0].second);
  EXPECT_EQ(HM_NONE, base_.mode());
}

TEST_F(HttpBaseTest, FinalResponseArrivingWithAnInterimOneIsKept) {
  class Interim : public Observer {
   public:
    HttpError onHttpHeaderComplete(bool chunked, size_t& size) override {
      if (HttpCodeIsInformational(response->scode))
        size = 0;
      return Observer::onHttpHeaderComplete(chunked, size);
    }
    void onHttpComplete(HttpMode mode, HttpError err) override {
      Observer::onHttpComplete(mode, err);
      if (err == HE_NONE && HttpCodeIsInformational(response->scode)) {
        response->clear(false);
        base->recv(response);
      }
    }
    HttpResponseData* response = nullptr;
  } interim;
  HttpResponseData response;
  response.document.reset(new MemoryStream());
  interim.base = &base_;
  interim.response = &response;
  base_.notify(&interim);
  stream_.incoming =
      "HTTP/1.1 100 Continue\r\n\r\n"
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  base_.recv(&response);
  ASSERT_EQ(2u, interim.completions.size());
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), interim.completions[1]);
  EXPECT_EQ(200u, response.scode);
  size_t size = 0;
  response.document->GetSize(&size);
  EXPECT_EQ(2u, size);
}

TEST_F(HttpBaseTest, SendDropsBytesLeftFromTheLastResponse) {
  HttpResponseData response;
  stream_.incoming =
      "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nJUNK";
  base_.recv(&response);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
  HttpRequestData request;
  request.path = "/";
  base_.send(&request);
  EXPECT_EQ(std::make_pair(HM_SEND, HE_NONE), LastCompletion());
  EXPECT_EQ(std::string::npos, stream_.AllWritten().find("JUNK"));
  stream_.incoming = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n";
  base_.recv(&response);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
  EXPECT_EQ(204u, response.scode);
}

// Writes a message with one engine into a memory stream and reads it back
// with another.
template <class Message>
void RoundTrip(Message* out, Message* in) {
  MemoryStream wire;
  Observer sender, receiver;
  HttpBase writer, reader;
  writer.notify(&sender);
  reader.notify(&receiver);
  ASSERT_TRUE(writer.attach(&wire));
  writer.send(out);
  ASSERT_EQ(1u, sender.completions.size());
  ASSERT_EQ(HE_NONE, sender.completions[0].second);
  writer.detach();
  wire.SetPosition(0);
  ASSERT_TRUE(reader.attach(&wire));
  in->document.reset(new MemoryStream());
  reader.recv(in);
  ASSERT_EQ(1u, receiver.completions.size());
  EXPECT_EQ(HE_NONE, receiver.completions[0].second);
  reader.detach();
}

std::string Body(HttpData& data) {
  MemoryStream* body = static_cast<MemoryStream*>(data.document.get());
  size_t size = 0;
  body->GetSize(&size);
  return std::string(body->GetBuffer() ? body->GetBuffer() : "", size);
}

TEST(HttpBaseRoundTripTest, RequestsAndResponsesSurviveAMemoryStream) {
  std::string payload;
  for (int i = 0; i < 70000; ++i)
    payload.push_back(static_cast<char>(i % 256));

  HttpRequestData request;
  request.verb = HV_PUT;
  request.path = "/a/b?c=d";
  request.addHeader("X-Multi", "one", false);
  request.addHeader("X-Multi", "two", false);
  request.setContent("application/octet-stream",
                     new UnsizedDocument(payload));
  HttpRequestData parsed_request;
  RoundTrip(&request, &parsed_request);
  EXPECT_EQ(HV_PUT, parsed_request.verb);
  EXPECT_EQ("/a/b?c=d", parsed_request.path);
  EXPECT_EQ(HVER_1_1, parsed_request.version);
  std::string value;
  ASSERT_TRUE(parsed_request.hasHeader("x-multi", &value));
  EXPECT_EQ("one,two", value);  // Collapsed on the way in.
  EXPECT_EQ(payload, Body(parsed_request));

  HttpResponseData response;
  response.version = HVER_1_0;
  response.scode = 404;
  response.message = "Not Found Here";
  response.setContent("text/plain",
                      new MemoryStream(payload.data(), payload.size()));
  HttpResponseData parsed_response;
  RoundTrip(&response, &parsed_response);
  EXPECT_EQ(404u, parsed_response.scode);
  EXPECT_EQ("Not Found Here", parsed_response.message);
  EXPECT_EQ(HVER_1_0, parsed_response.version);
  ASSERT_TRUE(parsed_response.hasHeader(HH_CONTENT_LENGTH, &value));
  EXPECT_EQ(std::to_string(payload.size()), value);
  EXPECT_EQ(payload, Body(parsed_response));
}

TEST_F(HttpBaseTest, DocumentStreamPullsTheBodyInSmallReads) {
  observer_.make_document_stream = true;
  HttpResponseData response;
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 26\r\n\r\n"
                     "abcdefghijklmnopqrstuvwxyz";
  base_.recv(&response);
  ASSERT_TRUE(observer_.document_stream);
  EXPECT_TRUE(observer_.completions.empty());
  EXPECT_EQ(nullptr, base_.GetDocumentStream());  // Only one at a time.

  StreamInterface* doc = observer_.document_stream.get();
  EXPECT_EQ(SS_OPEN, doc->GetState());
  size_t available = 0;
  EXPECT_TRUE(doc->GetAvailable(&available));
  EXPECT_EQ(26u, available);
  std::string body;
  char buffer[5];
  size_t read = 0;
  StreamResult result;
  while ((result = doc->Read(buffer, sizeof(buffer), &read, nullptr)) ==
         SR_SUCCESS) {
    body.append(buffer, read);
  }
  EXPECT_EQ(SR_EOS, result);
  EXPECT_EQ("abcdefghijklmnopqrstuvwxyz", body);
  EXPECT_EQ(SS_CLOSED, doc->GetState());
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
}

TEST_F(HttpBaseTest, DocumentStreamReportsTheReceiveError) {
  observer_.make_document_stream = true;
  HttpResponseData response;
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 26\r\n\r\nabc";
  stream_.peer_closed = true;
  base_.recv(&response);
  StreamInterface* doc = observer_.document_stream.get();
  ASSERT_TRUE(doc);
  char buffer[64];
  size_t read = 0;
  EXPECT_EQ(SR_SUCCESS, doc->Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(3u, read);
  int error = 0;
  EXPECT_EQ(SR_ERROR, doc->Read(buffer, sizeof(buffer), &read, &error));
  EXPECT_EQ(HE_DISCONNECTED, error);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_DISCONNECTED), LastCompletion());
}

TEST_F(HttpBaseTest, ClosedDocumentStreamLetsTheBaseReadOnByItself) {
  Thread* thread = ThreadManager::Instance()->WrapCurrentThread();
  observer_.make_document_stream = true;
  HttpResponseData response;
  response.document.reset(new MemoryStream());
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nabcdef";
  base_.recv(&response);
  ASSERT_TRUE(observer_.document_stream);
  char buffer[2];
  size_t read = 0;
  EXPECT_EQ(SR_SUCCESS, observer_.document_stream->Read(buffer, 2, &read,
                                                       nullptr));
  observer_.document_stream->Close();
  // The wake-up is posted, never delivered inside Close.
  EXPECT_TRUE(observer_.completions.empty());
  thread->ProcessMessages(0);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
  size_t size = 0;
  response.document->GetSize(&size);
  EXPECT_EQ("cdef", std::string(static_cast<MemoryStream*>(
                                    response.document.get())->GetBuffer(),
                                size));
  ThreadManager::Instance()->UnwrapCurrentThread();
}

}  // namespace
}  // namespace rtc
