#include "rtc_base/proxy/socket_adapters.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <atomic>

#include "rtc_base/strings/buffer.h"
#include "rtc_base/strings/byte_buffer.h"
#include "rtc_base/strings/string_utils.h"
#include "rtc_base/threads/message_queue.h"
#include "rtc_base/threads/thread.h"

namespace rtc {

namespace {

enum { MSG_HANDSHAKE_DONE, MSG_HANDSHAKE_FAILED };

// SOCKS5 (RFC 1928) and its username/password method (RFC 1929).
constexpr uint8_t kSocksVersion = 0x05;
constexpr uint8_t kSocksAuthVersion = 0x01;
constexpr uint8_t kSocksMethodNone = 0x00;
constexpr uint8_t kSocksMethodPassword = 0x02;
constexpr uint8_t kSocksCommandConnect = 0x01;
constexpr uint8_t kSocksAddressIPv4 = 0x01;
constexpr uint8_t kSocksAddressName = 0x03;
constexpr uint8_t kSocksAddressIPv6 = 0x04;
// Names and credentials carry their length in one byte.
constexpr size_t kSocksMaxField = 255;
constexpr size_t kSocksReplyHeader = 4;

constexpr char kProxyAuthenticate[] = "Proxy-Authenticate:";
constexpr char kContentLength[] = "Content-Length:";
constexpr char kProxyKeepAlive[] = "Proxy-Connection: Keep-Alive";
constexpr char kTransferEncoding[] = "Transfer-Encoding:";
constexpr char kProxyAuthorization[] = "Proxy-Authorization: ";

// The fake TLS handshake's hellos.
constexpr uint8_t kSslClientHello[] = {
    0x80, 0x46, 0x01, 0x03, 0x01, 0x00, 0x2d, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x80, 0x03,
    0x00, 0x80, 0x07, 0x00, 0xc0, 0x06, 0x00, 0x40, 0x02, 0x00, 0x80, 0x04, 0x00, 0x80, 0x00,
    0x00, 0x04, 0x00, 0xfe, 0xff, 0x00, 0x00, 0x0a, 0x00, 0xfe, 0xfe, 0x00, 0x00, 0x09, 0x00,
    0x00, 0x64, 0x00, 0x00, 0x62, 0x00, 0x00, 0x03, 0x00, 0x00, 0x06, 0x1f, 0x17, 0x0c, 0xa6,
    0x2f, 0x00, 0x78, 0xfc, 0x46, 0x55, 0x2e, 0xb1, 0x83, 0x39, 0xf1, 0xea};
constexpr uint8_t kSslServerHello[] = {
    0x16, 0x03, 0x01, 0x00, 0x4a, 0x02, 0x00, 0x00, 0x46, 0x03, 0x01, 0x42, 0x85, 0x45, 0xa7, 0x27,
    0xa9, 0x5d, 0xa0, 0xb3, 0xc5, 0xe7, 0x53, 0xda, 0x48, 0x2b, 0x3f, 0xc6, 0x5a, 0xca, 0x89, 0xc1,
    0x58, 0x52, 0xa1, 0x78, 0x3c, 0x5b, 0x17, 0x46, 0x00, 0x85, 0x3f, 0x20, 0x0e, 0xd3, 0x06, 0x72,
    0x5b, 0x5b, 0x1b, 0x5f, 0x15, 0xac, 0x13, 0xf9, 0x88, 0x53, 0x9d, 0x9b, 0xe8, 0x3d, 0x7b, 0x0c,
    0x30, 0x32, 0x6e, 0x38, 0x4d, 0xa2, 0x75, 0x57, 0x41, 0x6c, 0x34, 0x5c, 0x00, 0x04, 0x00};

std::atomic<bool> g_unknown_auth_reported{false};

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// Text that may stand in a request line or header: no control characters, no spaces.
bool IsHeaderToken(const std::string& text) {
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7f) {
      return false;
    }
  }
  return !text.empty();
}

// A decimal count with optional surrounding blanks; false for anything else.
bool ParseContentLength(const std::string& text, size_t* value) {
  size_t pos = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t");
  if (pos == std::string::npos) {
    return false;
  }
  size_t v = 0;
  for (; pos <= end; ++pos) {
    char ch = text[pos];
    if (ch < '0' || ch > '9' || v > (SIZE_MAX - 9) / 10) {
      return false;
    }
    v = v * 10 + (ch - '0');
  }
  *value = v;
  return true;
}

}  // namespace

// BufferedReadAdapter

BufferedReadAdapter::BufferedReadAdapter(AsyncSocket* socket, size_t buffer_size)
    : AsyncSocketAdapter(socket), buffer_(buffer_size), alive_(std::make_shared<bool>(true)) {}

BufferedReadAdapter::~BufferedReadAdapter() { *alive_ = false; }

int BufferedReadAdapter::Send(const void* pv, size_t cb) {
  if (buffering_) {
    SetError(EWOULDBLOCK);
    return -1;
  }
  return AsyncSocketAdapter::Send(pv, cb);
}

int BufferedReadAdapter::Recv(void* pv, size_t cb, int64_t* timestamp) {
  if (buffering_) {
    SetError(EWOULDBLOCK);
    return -1;
  }
  size_t read = std::min(cb, data_len_);
  if (read > 0) {
    memcpy(pv, buffer_.data(), read);
    data_len_ -= read;
    memmove(buffer_.data(), buffer_.data() + read, data_len_);
    if (read == cb) {
      return static_cast<int>(read);
    }
  }
  int result = AsyncSocketAdapter::Recv(static_cast<char*>(pv) + read, cb - read, timestamp);
  if (result < 0) {
    return read > 0 ? static_cast<int>(read) : result;
  }
  return static_cast<int>(read) + result;
}

void BufferedReadAdapter::BufferInput(bool on) { buffering_ = on; }

void BufferedReadAdapter::ClearBuffer() {
  data_len_ = 0;
  ++clears_;
  result_pending_ = false;
  read_waiting_ = false;
  close_waiting_ = false;
  MessageQueueManager::Clear(this);
}

bool BufferedReadAdapter::DirectSend(const void* data, size_t len) {
  return AsyncSocketAdapter::Send(data, len) == static_cast<int>(len);
}

int BufferedReadAdapter::Close() {
  ClearBuffer();
  BufferInput(false);
  return AsyncSocketAdapter::Close();
}

void BufferedReadAdapter::Error(int error) {
  Close();
  SetError(error);
  PostHandshakeResult(false, error);
}

void BufferedReadAdapter::PostHandshakeResult(bool connected, int error) {
  const uint32_t id = connected ? MSG_HANDSHAKE_DONE : MSG_HANDSHAKE_FAILED;
  result_pending_ = true;
  close_error_ = error;
  Thread* thread = Thread::Current();
  if (thread == nullptr) {
    // A socket driven without a loop hears of its result at once.
    Message msg;
    msg.message_id = id;
    OnMessage(&msg);
    return;
  }
  thread->Post(RTC_FROM_HERE, this, id);
}

void BufferedReadAdapter::OnMessage(Message* msg) {
  std::shared_ptr<bool> alive = alive_;
  result_pending_ = false;
  if (msg->message_id == MSG_HANDSHAKE_FAILED) {
    close_waiting_ = false;
    SignalCloseEvent(this, close_error_);
    return;
  }
  SignalConnectEvent(this);
  if (!*alive) {
    return;
  }
  if (data_len_ > 0 || read_waiting_) {
    read_waiting_ = false;
    SignalReadEvent(this);
    if (!*alive) {
      return;
    }
  }
  if (close_waiting_) {
    close_waiting_ = false;
    SignalCloseEvent(this, close_error_);
  }
}

void BufferedReadAdapter::OnReadEvent(AsyncSocket* socket) {
  if (!buffering_) {
    if (result_pending_) {
      read_waiting_ = true;
      return;
    }
    AsyncSocketAdapter::OnReadEvent(socket);
    return;
  }
  int len = socket_->Recv(buffer_.data() + data_len_, buffer_.size() - data_len_, nullptr);
  if (len < 0) {
    if (!IsBlockingError(socket_->GetError())) {
      RTC_LOG_ERR_EX(LS_INFO, socket_->GetError()) << "Recv";
    }
    return;
  }
  if (len == 0) {
    // The close event follows.
    return;
  }
  data_len_ += len;
  size_t remaining = data_len_;
  const unsigned clears = clears_;
  ProcessInput(buffer_.data(), &remaining);
  // A handshake that failed or started over meanwhile emptied the buffer: what is left of
  // this input belongs to no connection the owner may read.
  data_len_ = clears == clears_ ? remaining : 0;
  if (buffering_ && data_len_ == buffer_.size()) {
    // A line or message longer than the buffer: reading on would take its tail for a new one.
    RTC_LOG(LS_ERROR) << "Input buffer overflow";
    Error(EMSGSIZE);
  }
}

Socket::ConnState BufferedReadAdapter::GetState() const {
  return buffering_ ? CS_CONNECTING : AsyncSocketAdapter::GetState();
}

void BufferedReadAdapter::OnCloseEvent(AsyncSocket* socket, int err) {
  if (buffering_) {
    Error(err != 0 ? err : ECONNABORTED);
    return;
  }
  if (result_pending_) {
    close_waiting_ = true;
    close_error_ = err;
    return;
  }
  AsyncSocketAdapter::OnCloseEvent(socket, err);
}

// AsyncHttpsProxySocket

AsyncHttpsProxySocket::AsyncHttpsProxySocket(AsyncSocket* socket, const std::string& user_agent,
                                             const SocketAddress& proxy,
                                             const std::string& username,
                                             const CryptString& password)
    : BufferedReadAdapter(socket, kHandshakeBufferSize),
      agent_(StripControlCharacters(user_agent)),
      proxy_(proxy),
      user_(username),
      pass_(password) {}

AsyncHttpsProxySocket::~AsyncHttpsProxySocket() = default;

int AsyncHttpsProxySocket::Connect(const SocketAddress& addr) {
  RTC_LOG(LS_VERBOSE) << "AsyncHttpsProxySocket::Connect(" << proxy_.ToSensitiveString() << ")";
  if (!IsHeaderToken(addr.HostAsURIString())) {
    SetError(EINVAL);
    return -1;
  }
  dest_ = addr;
  state_ = PS_INIT;
  ClearBuffer();
  BufferInput(ShouldIssueConnect());
  if (AsyncSocketAdapter::Connect(proxy_) != 0) {
    return -1;
  }
  // Connected at once, which brings no connect event: the handshake starts now.
  if (AsyncSocketAdapter::GetState() == CS_CONNECTED) {
    if (ShouldIssueConnect()) {
      SendRequest();
    } else {
      state_ = PS_TUNNEL;
    }
  }
  return 0;
}

SocketAddress AsyncHttpsProxySocket::GetRemoteAddress() const { return dest_; }

int AsyncHttpsProxySocket::Close() {
  headers_.clear();
  state_ = PS_ERROR;
  dest_.Clear();
  context_.reset();
  ++connection_;
  return BufferedReadAdapter::Close();
}

Socket::ConnState AsyncHttpsProxySocket::GetState() const {
  if (state_ < PS_TUNNEL) {
    return CS_CONNECTING;
  }
  return state_ == PS_TUNNEL ? AsyncSocketAdapter::GetState() : CS_CLOSED;
}

bool AsyncHttpsProxySocket::ShouldIssueConnect() const {
  return force_connect_ || dest_.port() != 80;
}

void AsyncHttpsProxySocket::OnConnectEvent(AsyncSocket* socket) {
  RTC_LOG(LS_VERBOSE) << "AsyncHttpsProxySocket::OnConnectEvent";
  if (!ShouldIssueConnect()) {
    state_ = PS_TUNNEL;
    BufferedReadAdapter::OnConnectEvent(socket);
    return;
  }
  SendRequest();
}

void AsyncHttpsProxySocket::SendRequest() {
  std::string head = "CONNECT " + dest_.ToString() + " HTTP/1.0\r\nUser-Agent: " + agent_ +
                     "\r\nHost: " + dest_.HostAsURIString() +
                     "\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\n";
  std::string request = head + headers_ + "\r\n";
  const bool answered = !headers_.empty();
  headers_.clear();
  state_ = PS_LEADER;
  expect_close_ = true;
  chunked_ = false;
  content_length_ = 0;
  // The answer to a challenge is a credential: it is never logged.
  RTC_LOG(LS_VERBOSE) << "AsyncHttpsProxySocket >> " << head
                      << (answered ? std::string(kProxyAuthorization) + "<hidden>\r\n" : "");
  if (!DirectSend(request.data(), request.size())) {
    int error = GetError();
    Error(error != 0 && !IsBlockingError(error) ? error : EPIPE);
  }
}

void AsyncHttpsProxySocket::ProcessInput(char* data, size_t* len) {
  const unsigned connection = connection_;
  size_t start = 0;
  size_t pos = 0;
  while (state_ < PS_TUNNEL && pos < *len) {
    if (state_ == PS_SKIP_BODY) {
      size_t skip = std::min(*len - pos, content_length_);
      pos += skip;
      start = pos;
      content_length_ -= skip;
      if (content_length_ == 0) {
        EndResponse();
      }
    } else if (data[pos++] == '\n') {
      size_t line_len = pos - 1 - start;
      if (line_len > 0 && data[start + line_len - 1] == '\r') {
        --line_len;
      }
      ProcessLine(data + start, line_len);
      start = pos;
    }
    if (connection != connection_) {
      // Failed or started over: none of this input belongs to what comes next.
      *len = 0;
      return;
    }
  }
  *len -= start;
  memmove(data, data + start, *len);
  if (state_ == PS_TUNNEL) {
    BufferInput(false);
    PostHandshakeResult(true);
  }
}

void AsyncHttpsProxySocket::ProcessLine(const char* line, size_t len) {
  const std::string text(line, len);
  RTC_LOG(LS_VERBOSE) << "AsyncHttpsProxySocket << " << text;

  if (text.empty()) {
    switch (state_) {
      case PS_SKIP_HEADERS:
        if (chunked_) {
          // A body in chunks cannot be skipped here: a new connection is simpler.
          expect_close_ = true;
          EndResponse();
        } else if (content_length_ == 0) {
          EndResponse();
        } else {
          state_ = PS_SKIP_BODY;
        }
        return;
      case PS_ERROR_HEADERS:
        Error(defer_error_);
        return;
      case PS_TUNNEL_HEADERS:
        state_ = PS_TUNNEL;
        return;
      default:
        if (!unknown_mechanisms_.empty() && !g_unknown_auth_reported.exchange(true)) {
          RTC_LOG(LS_ERROR) << "Oops!\n\n"
                            << "The proxy asks for authentication this library does not "
                               "support. Its methods: "
                            << unknown_mechanisms_;
        }
        // A challenge that cannot be answered is an authentication failure; headers before
        // any status line are a broken reply.
        Error(state_ == PS_AUTHENTICATE ? EACCES : EPROTO);
        return;
    }
  }

  if (state_ == PS_LEADER) {
    unsigned code = 0;
    if (sscanf(text.c_str(), "HTTP/%*u.%*u %u", &code) != 1) {
      Error(EPROTO);
      return;
    }
    if (code == 407) {
      state_ = PS_AUTHENTICATE;
    } else if (code == 200) {
      state_ = PS_TUNNEL_HEADERS;
    } else if (code == 401) {
      // Some proxies (tinyproxy) refuse a wrong answer with 401 rather than another 407.
      defer_error_ = EACCES;
      state_ = PS_ERROR_HEADERS;
    } else {
      defer_error_ = ECONNREFUSED;
      state_ = PS_ERROR_HEADERS;
    }
    return;
  }

  if (state_ == PS_AUTHENTICATE && StartsWithNoCase(text, kProxyAuthenticate)) {
    const size_t skip = strlen(kProxyAuthenticate);
    std::string response, auth_method;
    // The target of CONNECT is "host:port", and so is the Digest uri strict proxies expect.
    HttpAuthResult result =
        HttpAuthenticate(line + skip, len - skip, proxy_, "CONNECT", dest_.ToString(), user_, pass_,
                         &context_, &response, &auth_method);
    switch (result) {
      case HAR_IGNORE:
        RTC_LOG(LS_VERBOSE) << "Ignoring Proxy-Authenticate: " << auth_method;
        if (!unknown_mechanisms_.empty()) {
          unknown_mechanisms_ += ", ";
        }
        unknown_mechanisms_ += auth_method;
        return;
      case HAR_RESPONSE:
        headers_ = kProxyAuthorization + response + "\r\n";
        state_ = PS_SKIP_HEADERS;
        break;
      case HAR_CREDENTIALS:
        defer_error_ = EACCES;
        state_ = PS_ERROR_HEADERS;
        break;
      case HAR_ERROR:
        defer_error_ = EPROTO;
        state_ = PS_ERROR_HEADERS;
        break;
    }
    unknown_mechanisms_.clear();
    return;
  }

  if (StartsWithNoCase(text, kContentLength)) {
    if (!ParseContentLength(text.substr(strlen(kContentLength)), &content_length_)) {
      Error(EPROTO);
    }
  } else if (StartsWithNoCase(text, kProxyKeepAlive)) {
    expect_close_ = false;
  } else if (StartsWithNoCase(text, kTransferEncoding)) {
    chunked_ = true;
  }
}

void AsyncHttpsProxySocket::EndResponse() {
  if (!expect_close_) {
    SendRequest();
    return;
  }
  Reconnect();
}

void AsyncHttpsProxySocket::Reconnect() {
  ++connection_;
  ClearBuffer();
  state_ = PS_INIT;
  BufferInput(true);
  AsyncSocketAdapter::Close();
  if (AsyncSocketAdapter::Connect(proxy_) != 0) {
    Error(GetError() != 0 ? GetError() : ECONNREFUSED);
  } else if (AsyncSocketAdapter::GetState() == CS_CONNECTED) {
    SendRequest();
  }
}

void AsyncHttpsProxySocket::OnCloseEvent(AsyncSocket* socket, int err) {
  RTC_LOG(LS_VERBOSE) << "AsyncHttpsProxySocket::OnCloseEvent(" << err << ")";
  if (state_ < PS_TUNNEL) {
    // The proxy gave up before the tunnel opened.
    Error(err != 0 ? err : ECONNABORTED);
    return;
  }
  if (state_ == PS_TUNNEL) {
    BufferedReadAdapter::OnCloseEvent(socket, err);
  }
}

// AsyncSocksProxySocket

AsyncSocksProxySocket::AsyncSocksProxySocket(AsyncSocket* socket, const SocketAddress& proxy,
                                             const std::string& username,
                                             const CryptString& password)
    : BufferedReadAdapter(socket, kHandshakeBufferSize),
      proxy_(proxy),
      user_(username),
      pass_(password) {}

AsyncSocksProxySocket::~AsyncSocksProxySocket() = default;

int AsyncSocksProxySocket::Connect(const SocketAddress& addr) {
  const bool named = addr.IsUnresolvedIP();
  if (user_.size() > kSocksMaxField || pass_.GetLength() > kSocksMaxField ||
      (named && (addr.hostname().empty() || addr.hostname().size() > kSocksMaxField))) {
    SetError(EINVAL);
    return -1;
  }
  dest_ = addr;
  state_ = SS_INIT;
  ClearBuffer();
  BufferInput(true);
  if (AsyncSocketAdapter::Connect(proxy_) != 0) {
    return -1;
  }
  // Connected at once, which brings no connect event: the handshake starts now.
  if (AsyncSocketAdapter::GetState() == CS_CONNECTED) {
    SendHello();
  }
  return 0;
}

SocketAddress AsyncSocksProxySocket::GetRemoteAddress() const { return dest_; }

int AsyncSocksProxySocket::Close() {
  state_ = SS_ERROR;
  dest_.Clear();
  return BufferedReadAdapter::Close();
}

void AsyncSocksProxySocket::OnConnectEvent(AsyncSocket* /*socket*/) { SendHello(); }

void AsyncSocksProxySocket::SendHello() {
  ByteBufferWriter request;
  request.WriteUInt8(kSocksVersion);
  if (user_.empty()) {
    request.WriteUInt8(1);
    request.WriteUInt8(kSocksMethodNone);
  } else {
    request.WriteUInt8(2);
    request.WriteUInt8(kSocksMethodNone);
    request.WriteUInt8(kSocksMethodPassword);
  }
  state_ = SS_HELLO;
  if (!DirectSend(request.Data(), request.Length())) {
    Error(EPIPE);
  }
}

void AsyncSocksProxySocket::SendAuth() {
  ZeroOnFreeBuffer<char> password(pass_.GetLength() + 1);
  pass_.CopyTo(password.data(), true);
  ZeroOnFreeByteBufferWriter request;
  request.WriteUInt8(kSocksAuthVersion);
  request.WriteUInt8(static_cast<uint8_t>(user_.size()));
  request.WriteString(user_);
  request.WriteUInt8(static_cast<uint8_t>(pass_.GetLength()));
  request.WriteBytes(password.data(), pass_.GetLength());
  state_ = SS_AUTH;
  if (!DirectSend(request.Data(), request.Length())) {
    Error(EPIPE);
  }
}

void AsyncSocksProxySocket::SendConnect() {
  ByteBufferWriter request;
  request.WriteUInt8(kSocksVersion);
  request.WriteUInt8(kSocksCommandConnect);
  request.WriteUInt8(0);
  if (dest_.IsUnresolvedIP()) {
    request.WriteUInt8(kSocksAddressName);
    request.WriteUInt8(static_cast<uint8_t>(dest_.hostname().size()));
    request.WriteString(dest_.hostname());
  } else if (dest_.family() == AF_INET6) {
    in6_addr ip = dest_.ipaddr().ipv6_address();
    request.WriteUInt8(kSocksAddressIPv6);
    request.WriteBytes(reinterpret_cast<const char*>(&ip), sizeof(ip));
  } else {
    request.WriteUInt8(kSocksAddressIPv4);
    request.WriteUInt32(dest_.ip());
  }
  request.WriteUInt16(dest_.port());
  state_ = SS_CONNECT;
  if (!DirectSend(request.Data(), request.Length())) {
    Error(EPIPE);
  }
}

void AsyncSocksProxySocket::ProcessInput(char* data, size_t* len) {
  size_t consumed = 0;
  while (state_ < SS_TUNNEL) {
    size_t used = ProcessReply(data + consumed, *len - consumed);
    if (state_ == SS_ERROR) {
      *len = 0;
      return;
    }
    if (used == 0) {
      break;
    }
    consumed += used;
  }
  *len -= consumed;
  memmove(data, data + consumed, *len);
  if (state_ == SS_TUNNEL) {
    BufferInput(false);
    PostHandshakeResult(true);
  }
}

size_t AsyncSocksProxySocket::ProcessReply(const char* data, size_t len) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data);
  switch (state_) {
    case SS_HELLO:
      if (len < 2) {
        return 0;
      }
      if (bytes[0] != kSocksVersion) {
        Error(EPROTO);
      } else if (bytes[1] == kSocksMethodNone) {
        SendConnect();
      } else if (bytes[1] == kSocksMethodPassword && !user_.empty()) {
        SendAuth();
      } else {
        // No method both sides accept: the proxy wants credentials we do not have.
        Error(EACCES);
      }
      return 2;
    case SS_AUTH:
      if (len < 2) {
        return 0;
      }
      if (bytes[0] != kSocksAuthVersion || bytes[1] != 0) {
        Error(EACCES);
      } else {
        SendConnect();
      }
      return 2;
    case SS_CONNECT: {
      if (len < kSocksReplyHeader) {
        return 0;
      }
      if (bytes[0] != kSocksVersion) {
        Error(EPROTO);
        return len;
      }
      if (bytes[1] != 0) {
        Error(ECONNREFUSED);
        return len;
      }
      size_t address_len;
      switch (bytes[3]) {
        case kSocksAddressIPv4:
          address_len = 4;
          break;
        case kSocksAddressIPv6:
          address_len = 16;
          break;
        case kSocksAddressName:
          if (len < kSocksReplyHeader + 1) {
            return 0;
          }
          address_len = 1 + bytes[kSocksReplyHeader];
          break;
        default:
          Error(EPROTO);
          return len;
      }
      const size_t total = kSocksReplyHeader + address_len + 2;
      if (len < total) {
        return 0;
      }
      ByteBufferReader reader(data + kSocksReplyHeader, address_len + 2);
      uint16_t port = 0;
      if (bytes[3] == kSocksAddressIPv4) {
        uint32_t ip = 0;
        reader.ReadUInt32(&ip);
        reader.ReadUInt16(&port);
        RTC_LOG(LS_VERBOSE) << "Bound on " << ip << ":" << port;
      } else if (bytes[3] == kSocksAddressName) {
        std::string name(data + kSocksReplyHeader + 1, address_len - 1);
        reader.Consume(address_len);
        reader.ReadUInt16(&port);
        RTC_LOG(LS_VERBOSE) << "Bound on " << name << ":" << port;
      } else {
        reader.Consume(address_len);
        reader.ReadUInt16(&port);
        RTC_LOG(LS_VERBOSE) << "Bound on <IPV6>:" << port;
      }
      state_ = SS_TUNNEL;
      return total;
    }
    default:
      return 0;
  }
}

// AsyncSSLSocket

AsyncSSLSocket::AsyncSSLSocket(AsyncSocket* socket)
    : BufferedReadAdapter(socket, kHandshakeBufferSize) {}

int AsyncSSLSocket::Connect(const SocketAddress& addr) {
  ClearBuffer();
  BufferInput(true);
  if (AsyncSocketAdapter::Connect(addr) != 0) {
    BufferInput(false);
    return -1;
  }
  // Connected at once, which brings no connect event: the handshake starts now.
  if (AsyncSocketAdapter::GetState() == CS_CONNECTED) {
    SendHello();
  }
  return 0;
}

void AsyncSSLSocket::OnConnectEvent(AsyncSocket* /*socket*/) { SendHello(); }

void AsyncSSLSocket::SendHello() {
  if (!DirectSend(kSslClientHello, sizeof(kSslClientHello))) {
    Error(EPIPE);
  }
}

void AsyncSSLSocket::ProcessInput(char* data, size_t* len) {
  if (*len < sizeof(kSslServerHello)) {
    return;
  }
  if (memcmp(data, kSslServerHello, sizeof(kSslServerHello)) != 0) {
    // Owners of this socket take a close with error 0 for a peer that is no fake-TLS server.
    // Nothing such a peer sent reaches them.
    RTC_LOG(LS_WARNING) << "Unexpected server hello";
    *len = 0;
    Close();
    PostHandshakeResult(false, 0);
    return;
  }
  *len -= sizeof(kSslServerHello);
  memmove(data, data + sizeof(kSslServerHello), *len);
  BufferInput(false);
  PostHandshakeResult(true);
}

// LoggingSocketAdapter

LoggingSocketAdapter::LoggingSocketAdapter(AsyncSocket* socket, LoggingSeverity level,
                                           const char* label, bool hex_mode)
    : AsyncSocketAdapter(socket),
      level_(level),
      label_(std::string("[") + (label != nullptr ? label : "") + "]"),
      hex_mode_(hex_mode) {}

void LoggingSocketAdapter::Log(bool input, const void* data, int len) {
  if (len > 0) {
    LogMultiline(level_, label_.c_str(), input, data, len, hex_mode_, &lms_);
  }
}

void LoggingSocketAdapter::Flush() {
  LogMultiline(level_, label_.c_str(), false, nullptr, 0, hex_mode_, &lms_);
  LogMultiline(level_, label_.c_str(), true, nullptr, 0, hex_mode_, &lms_);
}

int LoggingSocketAdapter::Send(const void* pv, size_t cb) {
  int result = AsyncSocketAdapter::Send(pv, cb);
  Log(false, pv, result);
  return result;
}

int LoggingSocketAdapter::SendTo(const void* pv, size_t cb, const SocketAddress& addr) {
  int result = AsyncSocketAdapter::SendTo(pv, cb, addr);
  Log(false, pv, result);
  return result;
}

int LoggingSocketAdapter::Recv(void* pv, size_t cb, int64_t* timestamp) {
  int result = AsyncSocketAdapter::Recv(pv, cb, timestamp);
  Log(true, pv, result);
  return result;
}

int LoggingSocketAdapter::RecvFrom(void* pv, size_t cb, SocketAddress* paddr, int64_t* timestamp) {
  int result = AsyncSocketAdapter::RecvFrom(pv, cb, paddr, timestamp);
  Log(true, pv, result);
  return result;
}

int LoggingSocketAdapter::Close() {
  Flush();
  RTC_LOG_V(level_) << label_ << " Closed locally";
  return AsyncSocketAdapter::Close();
}

void LoggingSocketAdapter::OnConnectEvent(AsyncSocket* socket) {
  RTC_LOG_V(level_) << label_ << " Connected";
  AsyncSocketAdapter::OnConnectEvent(socket);
}

void LoggingSocketAdapter::OnCloseEvent(AsyncSocket* socket, int err) {
  Flush();
  RTC_LOG_V(level_) << label_ << " Closed with error: " << err;
  AsyncSocketAdapter::OnCloseEvent(socket, err);
}

}  // namespace rtc
