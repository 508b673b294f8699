// Cross-checks the HTTP engine against nginx on loopback: what we send must
// decode there, and what nginx sends must parse here.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "http_test_server.h"
#include "rtc_base/http_base.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/socket_pool.h"
#include "rtc_base/thread.h"
#include "rtc_base/time_utils.h"

namespace rtc {
namespace {

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  timeval timeout = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  return fd;
}

// A blocking socket as a stream; a read that times out is an error.
class BlockingSocketStream : public StreamInterface {
 public:
  explicit BlockingSocketStream(int fd) : fd_(fd) {}
  ~BlockingSocketStream() override { Close(); }
  StreamState GetState() const override {
    return fd_ >= 0 ? SS_OPEN : SS_CLOSED;
  }
  StreamResult Read(void* buffer, size_t len, size_t* read,
                    int* error) override {
    ssize_t n = recv(fd_, buffer, len, 0);
    if (n > 0) {
      if (read)
        *read = n;
      return SR_SUCCESS;
    }
    if (n == 0)
      return SR_EOS;
    if (error)
      *error = errno;
    return SR_ERROR;
  }
  StreamResult Write(const void* data, size_t len, size_t* written,
                     int* error) override {
    ++writes;
    ssize_t n = send(fd_, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (error)
        *error = errno;
      return SR_ERROR;
    }
    if (written)
      *written = n;
    return SR_SUCCESS;
  }
  void Close() override {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }
  void FireRead() { SignalEvent(this, SE_READ, 0); }
  int writes = 0;

 private:
  int fd_;
};

class Completions : public IHttpNotify {
 public:
  HttpError onHttpHeaderComplete(bool chunked, size_t&) override {
    chunked_response = chunked;
    return HE_NONE;
  }
  void onHttpComplete(HttpMode mode, HttpError err) override {
    last = {mode, err};
    ++count;
  }
  void onHttpClosed(HttpError) override {}
  std::pair<HttpMode, HttpError> last{HM_NONE, HE_DEFAULT};
  int count = 0;
  bool chunked_response = false;
};

class HttpNginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::NginxServer::Available())
      GTEST_SKIP() << "nginx-light with the echo module is not installed";
    for (int i = 0; i < 100000; ++i)
      static_body_.push_back(static_cast<char>('A' + i % 26));
    nginx_.AddFile("file.txt", static_body_);
    ASSERT_TRUE(nginx_.Start());
    int fd = ConnectLoopback(nginx_.port());
    ASSERT_GE(fd, 0);
    stream_ = std::make_unique<BlockingSocketStream>(fd);
    base_.notify(&completions_);
    ASSERT_TRUE(base_.attach(stream_.get()));
  }
  void TearDown() override { base_.detach(); }

  // Sends the request and reads the whole response into a memory document.
  std::string Exchange(HttpRequestData* request, HttpResponseData* response) {
    int before = completions_.count;
    base_.send(request);
    EXPECT_EQ(before + 1, completions_.count);
    EXPECT_EQ(std::make_pair(HM_SEND, HE_NONE), completions_.last);
    response->document.reset(new MemoryStream());
    base_.recv(response);
    // A large body takes several rounds of bounded receive passes.
    for (int i = 0; i < 100 && completions_.count == before + 1; ++i)
      stream_->FireRead();
    EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), completions_.last);
    MemoryStream* body = static_cast<MemoryStream*>(response->document.get());
    size_t size = 0;
    body->GetSize(&size);
    return std::string(body->GetBuffer() ? body->GetBuffer() : "", size);
  }

  std::string Host() { return "127.0.0.1:" + std::to_string(nginx_.port()); }

  testing::NginxServer nginx_;
  std::string static_body_;
  std::unique_ptr<BlockingSocketStream> stream_;
  HttpBase base_;
  Completions completions_;
};

TEST_F(HttpNginxTest, SizedPostLeavesInOneWriteAndIsEchoedChunked) {
  HttpRequestData request;
  request.verb = HV_POST;
  request.path = "/echo";
  request.setHeader(HH_HOST, Host());
  std::string body = "{\"key\":\"value\",\"n\":" + std::string(300, '7') + "}";
  request.setContent("application/json",
                     new MemoryStream(body.data(), body.size()));
  HttpResponseData response;
  EXPECT_EQ(body, Exchange(&request, &response));
  EXPECT_EQ(1, stream_->writes);
  EXPECT_EQ(200u, response.scode);
  EXPECT_TRUE(completions_.chunked_response);
  EXPECT_TRUE(HttpShouldKeepAlive(response));
}

// Hands out its bytes in small pieces and does not know its size.
class PiecewiseDocument : public MemoryStream {
 public:
  using MemoryStream::MemoryStream;
  bool GetAvailable(size_t*) const override { return false; }
  StreamResult Read(void* buffer, size_t len, size_t* read,
                    int* error) override {
    return MemoryStream::Read(buffer, std::min<size_t>(len, 1000), read,
                              error);
  }
};

TEST_F(HttpNginxTest, ChunkedPostIsDecodedByTheServer) {
  HttpRequestData request;
  request.verb = HV_POST;
  request.path = "/echo";
  request.setHeader(HH_HOST, Host());
  std::string body;
  for (int i = 0; i < 5000; ++i)
    body.push_back(static_cast<char>('a' + i % 23));
  request.setContent("text/plain",
                     new PiecewiseDocument(body.data(), body.size()));
  std::string value;
  ASSERT_TRUE(request.hasHeader(HH_TRANSFER_ENCODING, &value));
  HttpResponseData response;
  EXPECT_EQ(body, Exchange(&request, &response));
  EXPECT_EQ(200u, response.scode);
}

TEST_F(HttpNginxTest, SizedResponsesOnOneKeptAliveConnection) {
  for (int round = 0; round < 2; ++round) {
    HttpRequestData request;
    request.path = "/static/file.txt";
    request.setHeader(HH_HOST, Host());
    HttpResponseData response;
    EXPECT_EQ(static_body_, Exchange(&request, &response));
    std::string length;
    ASSERT_TRUE(response.hasHeader(HH_CONTENT_LENGTH, &length));
    EXPECT_EQ(std::to_string(static_body_.size()), length);
    EXPECT_TRUE(HttpShouldKeepAlive(response));
  }
}

TEST_F(HttpNginxTest, MissingResourceIsA404WithItsBody) {
  HttpRequestData request;
  request.path = "/static/none";
  request.setHeader(HH_HOST, Host());
  HttpResponseData response;
  std::string body = Exchange(&request, &response);
  EXPECT_EQ(404u, response.scode);
  EXPECT_EQ("Not Found", response.message);
  EXPECT_NE(std::string::npos, body.find("404"));
}

TEST_F(HttpNginxTest, Http10ResponseEndsWithTheConnection) {
  HttpRequestData request;
  request.version = HVER_1_0;
  request.verb = HV_POST;
  request.path = "/echo";
  request.setHeader(HH_HOST, Host());
  request.setContent("text/plain", new MemoryStream("until close"));
  HttpResponseData response;
  EXPECT_EQ("until close", Exchange(&request, &response));
  EXPECT_FALSE(response.hasHeader(HH_CONTENT_LENGTH, nullptr));
  EXPECT_FALSE(HttpShouldKeepAlive(response));
}

// Drives one exchange the way a client does: connect, send, receive, each
// step started from the completion of the one before.
class Exchanger : public IHttpNotify {
 public:
  Exchanger(HttpBase* base, HttpRequestData* request,
            HttpResponseData* response)
      : base_(base), request_(request), response_(response) {}
  HttpError onHttpHeaderComplete(bool, size_t&) override { return HE_NONE; }
  void onHttpComplete(HttpMode mode, HttpError err) override {
    if (err != HE_NONE) {
      error = err;
      done = true;
    } else if (mode == HM_CONNECT) {
      base_->send(request_);
    } else if (mode == HM_SEND) {
      base_->recv(response_);
    } else {
      error = HE_NONE;
      done = true;
    }
  }
  void onHttpClosed(HttpError) override {}
  bool done = false;
  HttpError error = HE_DEFAULT;

 private:
  HttpBase* base_;
  HttpRequestData* request_;
  HttpResponseData* response_;
};

TEST_F(HttpNginxTest, EventDrivenExchangesReuseThePooledConnection) {
  Thread* thread = ThreadManager::Instance()->WrapCurrentThread();
  // The pool's sockets belong to the thread's socket server, so the pool
  // goes first.
  auto pool_holder = std::make_unique<ReuseSocketPool>(thread->socketserver());
  ReuseSocketPool& pool = *pool_holder;
  StreamInterface* first = nullptr;
  for (int round = 0; round < 2; ++round) {
    HttpRequestData request;
    request.verb = HV_POST;
    request.path = "/echo";
    request.setHeader(HH_HOST, Host());
    std::string body = "round " + std::to_string(round) + std::string(40000, 'e');
    request.setContent("text/plain", new MemoryStream(body.data(), body.size()));
    HttpResponseData response;
    response.document.reset(new MemoryStream());

    HttpBase base;
    Exchanger exchanger(&base, &request, &response);
    base.notify(&exchanger);
    int err = -1;
    StreamInterface* stream =
        pool.RequestConnectedStream(SocketAddress("127.0.0.1", nginx_.port()),
                                    &err);
    ASSERT_TRUE(stream);
    if (round == 0)
      first = stream;
    EXPECT_EQ(first, stream);
    ASSERT_TRUE(base.attach(stream));
    if (base.mode() == HM_NONE)
      base.send(&request);  // Already open: the connection is reused.
    int64_t end = SystemTimeMillis() + 10000;
    while (!exchanger.done && SystemTimeMillis() < end)
      thread->ProcessMessages(10);
    ASSERT_TRUE(exchanger.done);
    EXPECT_EQ(HE_NONE, exchanger.error);
    EXPECT_EQ(200u, response.scode);
    MemoryStream* received = static_cast<MemoryStream*>(response.document.get());
    size_t size = 0;
    received->GetSize(&size);
    EXPECT_EQ(body, std::string(received->GetBuffer(), size));
    base.detach();
    pool.ReturnConnectedStream(stream);
  }
  pool_holder.reset();
  thread->ProcessMessages(0);
  ThreadManager::Instance()->UnwrapCurrentThread();
}

}  // namespace
}  // namespace rtc
