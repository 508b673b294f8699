#include "rtc_base/http_base.h"

#include <errno.h>
#include <string.h>

#include <functional>
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

TEST_F(HttpBaseTest, BlockedDocumentAndStreamResumeOnTheirEvents) {
  HttpRequestData request;
  request.path = "/";
  UnsizedDocument* document = new UnsizedDocument(std::string(300, 'c'));
  document->piece = 200;
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
  // A body of unknown size goes in chunks ended by an empty one.
  EXPECT_EQ("GET / HTTP/1.1\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
            "000000c8\r\n" + std::string(200, 'c') + "\r\n00000064\r\n" +
                std::string(100, 'c') + "\r\n0\r\n\r\n",
            stream_.AllWritten());
}

// Requests that cannot be sent end the send with their error, and nothing of them leaves.
TEST_F(HttpBaseTest, SendsThatCannotSucceedEndWithTheirError) {
  struct Case {
    const char* what;
    std::function<void(HttpRequestData*, ScriptedStream*)> setup;
    HttpError error;
  } cases[] = {
      {"header that can never fit",
       [](HttpRequestData* r, ScriptedStream*) {
         r->setHeader("X-Huge", std::string(HttpBase::kBufferSize, 'h'));
       },
       HE_OVERFLOW},
      {"request line longer than the buffer",
       [](HttpRequestData* r, ScriptedStream*) {
         r->path = std::string(HttpBase::kBufferSize, 'p');
       },
       HE_OVERFLOW},
      {"both framing headers",
       [](HttpRequestData* r, ScriptedStream*) {
         r->setHeader(HH_CONTENT_LENGTH, "3");
         r->setHeader(HH_TRANSFER_ENCODING, "chunked");
       },
       HE_PROTOCOL},
      {"closed stream", [](HttpRequestData*, ScriptedStream* s) { s->state = SS_CLOSED; },
       HE_DISCONNECTED},
      {"write error",
       [](HttpRequestData*, ScriptedStream* s) { s->write_error = ECONNRESET; },
       HE_SOCKET_ERROR},
  };
  for (const Case& c : cases) {
    ScriptedStream stream;
    HttpBase base;
    Observer observer;
    base.notify(&observer);
    ASSERT_TRUE(base.attach(&stream));
    HttpRequestData request;
    request.path = "/";
    c.setup(&request, &stream);
    base.send(&request);
    ASSERT_EQ(1u, observer.completions.size()) << c.what;
    EXPECT_EQ(std::make_pair(HM_SEND, c.error), observer.completions[0]) << c.what;
    EXPECT_EQ(std::string::npos, stream.AllWritten().find("\r\n\r\n")) << c.what;
    base.detach();
  }
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
