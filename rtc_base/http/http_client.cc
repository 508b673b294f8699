#include "rtc_base/http/http_client.h"

#include <ctype.h>
#include <string.h>

#include <utility>
#include <vector>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/net/async_resolver.h"
#include "rtc_base/threads/socket_factory.h"
#include "rtc_base/threads/thread.h"

namespace rtc {

namespace {

bool IsRetriableError(HttpError err) {
  return err == HE_DISCONNECTED || err == HE_CONNECT_FAILED || err == HE_SOCKET_ERROR;
}

// Resolves a Location against the URL of the request it answers. False when the location
// names a scheme other than http or https.
bool ResolveLocation(const std::string& location, const std::string& base, std::string* url) {
  // White space or a control character would end up on the request line.
  for (char c : location) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) {
      return false;
    }
  }
  // A scheme is a letter, then letters, digits, '+', '-' or '.', then ':', all before any
  // '/', '?' or '#'. Only http and https are followed, and only in their full form.
  size_t delimiter = location.find_first_of(":/?#");
  if (delimiter != std::string::npos && delimiter > 0 && location[delimiter] == ':' &&
      isalpha(static_cast<unsigned char>(location[0])) &&
      location.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "0123456789+-.") == delimiter) {
    Url<char> with_scheme(location);
    if (!with_scheme.valid()) {
      return false;
    }
  }
  Url<char> absolute(location);
  if (absolute.valid()) {
    *url = location;
    return true;
  }
  size_t scheme_end = location.find("://");
  if (scheme_end != std::string::npos && location.find_first_of("/?#") > scheme_end) {
    return false;
  }
  Url<char> base_url(base);
  if (!base_url.valid()) {
    return false;
  }
  std::string scheme = base_url.secure() ? "https:" : "http:";
  if (location.compare(0, 2, "//") == 0) {
    *url = scheme + location;
    return Url<char>(*url).valid();
  }
  std::string path;
  if (!location.empty() && location[0] == '/') {
    path = location;
  } else if (!location.empty() && location[0] == '?') {
    path = base_url.path() + location;
  } else {
    const std::string& dir = base_url.path();
    path = dir.substr(0, dir.rfind('/') + 1) + location;
  }
  *url = scheme + "//" + base_url.address() + path;
  return Url<char>(*url).valid();
}

SocketFactory* CurrentSocketFactory() {
  Thread* thread = Thread::Current();
  return thread != nullptr ? thread->socketserver() : nullptr;
}

}  // namespace

HttpClient::Engine::ProcessResult HttpClient::Engine::ProcessLeader(const char* line, size_t len,
                                                                    HttpError* error) {
  leader_received_ = true;
  return HttpBase::ProcessLeader(line, len, error);
}

HttpClient::HttpClient(const std::string& agent, StreamPool* pool, HttpTransaction* transaction)
    : agent_(agent),
      pool_(pool),
      transaction_(transaction),
      free_transaction_(false),
      thread_(Thread::Current()) {
  base_.notify(this);
  base_.set_max_body_size(max_body_size_);
  if (transaction_ == nullptr) {
    transaction_ = new HttpTransaction;
    free_transaction_ = true;
  }
}

HttpClient::~HttpClient() {
  base_.notify(nullptr);
  base_.abort(HE_SHUTDOWN);
  DropResolver();
  if (IsCacheActive()) {
    RTC_DCHECK(cache_state_ == CS_WRITING || cache_state_ == CS_READING ||
               cache_state_ == CS_VALIDATING);
    if (cache_state_ == CS_WRITING) {
      CompleteCacheFile();
    }
    cache_state_ = CS_READY;
  }
  release();
  if (free_transaction_) {
    delete transaction_;
  }
}

void HttpClient::set_max_body_size(size_t size) {
  max_body_size_ = size;
  base_.set_max_body_size(size);
}

void HttpClient::reset() {
  server_.Clear();
  // A name lookup or restart in progress would otherwise start a connection for the cleared
  // request.
  DropResolver();
  CancelRestart();
  // Cancelling first lets the engine finish with the request it still refers to; the
  // completion comes as HE_OPERATION_CANCELLED when a transfer was in progress.
  base_.abort(HE_OPERATION_CANCELLED);
  cache_state_ = CS_READY;
  request().clear(true);
  response().clear(true);
  context_.reset();
  redirects_ = 0;
  attempt_ = 0;
}

void HttpClient::set_server(const SocketAddress& address) {
  server_ = address;
  if (!request().hasHeader(HH_HOST, nullptr)) {
    request().setHeader(HH_HOST, HttpAddress(server_, false));
  }
}

void HttpClient::prepare_get(const std::string& url) {
  reset();
  Url<char> purl(url);
  set_server(SocketAddress(purl.host(), purl.port()));
  request().verb = HV_GET;
  request().path = purl.full_path();
}

void HttpClient::prepare_post(const std::string& url, const std::string& content_type,
                              StreamInterface* request_doc) {
  reset();
  Url<char> purl(url);
  set_server(SocketAddress(purl.host(), purl.port()));
  request().verb = HV_POST;
  request().path = purl.full_path();
  request().setContent(content_type, request_doc);
}

void HttpClient::release() {
  StreamInterface* stream = base_.detach();
  if (stream != nullptr && pool_ != nullptr) {
    pool_->ReturnConnectedStream(stream);
  }
}

void HttpClient::start() {
  if (base_.mode() != HM_NONE || resolver_ != nullptr || restart_pending_) {
    RTC_LOG(LS_WARNING) << "HttpClient: start ignored while a request is in progress";
    return;
  }
  RTC_DCHECK(!IsCacheActive());

  if (request().hasHeader(HH_TRANSFER_ENCODING, nullptr)) {
    // Retries and redirects resend the body, so its size must be known before it goes.
    RTC_LOG(LS_ERROR) << "HttpClient: a request body of unknown size cannot be sent";
    Complete(HE_STREAM);
    return;
  }

  attempt_ = 0;

  request().setHeader(HH_CONTENT_LENGTH, "0", false);
  if (!agent_.empty()) {
    request().setHeader(HH_USER_AGENT, agent_, false);
  }

  UriForm uri_form = uri_form_;
  if (proxy_.type == PROXY_HTTPS) {
    // Proxies speak 1.0 and want the whole URL on the request line.
    request().version = HVER_1_0;
    request().setHeader(HH_PROXY_CONNECTION, "Keep-Alive", false);
    uri_form = URI_ABSOLUTE;
  } else {
    request().setHeader(HH_CONNECTION, "Keep-Alive", false);
  }

  if (uri_form == URI_ABSOLUTE) {
    std::string url;
    if (request().getAbsoluteUri(&url)) {
      request().path = url;
    } else {
      RTC_LOG(LS_WARNING) << "Couldn't obtain absolute uri";
    }
  } else if (uri_form == URI_RELATIVE) {
    std::string host, path;
    if (request().getRelativeUri(&host, &path)) {
      request().setHeader(HH_HOST, host);
      request().path = path;
    } else {
      RTC_LOG(LS_WARNING) << "Couldn't obtain relative uri";
    }
  }

  if (cache_ != nullptr && CheckCache()) {
    return;
  }

  connect();
}

void HttpClient::connect() {
  // A stream whose return was put off after the previous request goes back first.
  release();
  if (server_.IsUnresolvedIP()) {
    StartResolve();
    return;
  }
  base_.clear_leader_received();
  int stream_err = -1;
  StreamInterface* stream =
      pool_ != nullptr ? pool_->RequestConnectedStream(server_, &stream_err) : nullptr;
  if (stream == nullptr) {
    RTC_LOG(LS_ERROR) << "RequestConnectedStream error: " << stream_err;
    onHttpComplete(HM_CONNECT, HE_CONNECT_FAILED);
    return;
  }
  base_.attach(stream);
  if (base_.mode() != HM_CONNECT) {
    // Open already, or closed: sending reports a closed stream as HE_DISCONNECTED.
    base_.send(&transaction_->request);
  }
}

void HttpClient::StartResolve() {
  RTC_DCHECK(resolver_ == nullptr);
  resolver_ = resolver_factory_ ? resolver_factory_() : new AsyncResolver();
  if (resolver_ == nullptr) {
    RTC_LOG(LS_ERROR) << "Error -1 resolving name: " << server_.ToSensitiveString();
    onHttpComplete(HM_CONNECT, HE_CONNECT_FAILED);
    return;
  }
  resolver_->SignalDone.connect(this, &HttpClient::onResolveResult);
  resolver_->Start(server_);
}

void HttpClient::DropResolver() {
  if (resolver_ != nullptr) {
    AsyncResolverInterface* resolver = resolver_;
    resolver_ = nullptr;
    resolver->SignalDone.disconnect(this);
    resolver->Destroy(false);
  }
}

void HttpClient::onResolveResult(AsyncResolverInterface* resolver) {
  if (resolver != resolver_) {
    return;
  }
  int error = resolver_->GetError();
  SocketAddress resolved = resolver_->address();
  DropResolver();
  if (error == 0 && !resolved.IsNil() && !resolved.IsUnresolvedIP()) {
    server_ = resolved;
    connect();
    return;
  }
  // The name stays, so that a retry looks it up again.
  RTC_LOG(LS_ERROR) << "Error " << error << " resolving name: " << server_.ToSensitiveString();
  onHttpComplete(HM_CONNECT, HE_CONNECT_FAILED);
}

bool HttpClient::ShouldRedirect(std::string* location) const {
  if (redirect_action_ == REDIRECT_NEVER) {
    return false;
  }
  uint32_t scode = response().scode;
  if (!HttpCodeIsRedirection(scode)) {
    return false;
  }
  std::string value;
  if (!response().hasHeader(HH_LOCATION, &value) || value.empty()) {
    return false;
  }
  if (redirects_ >= kMaxRedirects) {
    return false;
  }
  bool follow = redirect_action_ == REDIRECT_ALWAYS || scode == HC_SEE_OTHER ||
                request().verb == HV_GET || request().verb == HV_HEAD;
  if (follow && location != nullptr) {
    *location = value;
  }
  return follow;
}

HttpError HttpClient::onHttpHeaderComplete(bool chunked, size_t& data_size) {
  if (cache_state_ == CS_VALIDATING) {
    if (response().scode == HC_NOT_MODIFIED) {
      // A 304 carries no body; the stored one takes its place.
      data_size = 0;
      return CompleteValidate();
    }
    // The stored response is out of date.
    cache_state_ = CS_READY;
    cache_->DeleteResource(GetCacheID(request()));
  }

  if (request().verb == HV_HEAD || !HttpCodeHasBody(response().scode)) {
    data_size = 0;
  }

  if (ShouldRedirect(nullptr) ||
      (response().scode == HC_PROXY_AUTHENTICATION_REQUIRED && proxy_.type == PROXY_HTTPS)) {
    // The body of an answer that is acted upon is of no use to the caller.
    base_.set_ignore_data(true);
  }

  HttpError error = OnHeaderAvailable(base_.ignore_data(), chunked, data_size);
  if (error != HE_NONE) {
    return error;
  }

  if (cache_ != nullptr && !base_.ignore_data() && HttpShouldCache(*transaction_)) {
    if (BeginCacheFile()) {
      cache_state_ = CS_WRITING;
    }
  }
  return HE_NONE;
}

HttpError HttpClient::OnHeaderAvailable(bool ignore_data, bool chunked, size_t data_size) {
  SignalHeaderAvailable(this, !ignore_data, ignore_data ? 0 : data_size);
  if (!ignore_data && !chunked && data_size != SIZE_MAX && response().document) {
    if (data_size > max_body_size_) {
      RTC_LOG(LS_WARNING) << "HttpClient: response body of " << data_size
                          << " bytes is over the limit of " << max_body_size_;
      return HE_OVERFLOW;
    }
    if (!response().document->ReserveSize(data_size)) {
      return HE_OVERFLOW;
    }
  }
  return HE_NONE;
}

bool HttpClient::RewindBody(HttpError* err) {
  if (request().document && !request().document->SetPosition(0)) {
    *err = HE_STREAM;
    return false;
  }
  return true;
}

bool HttpClient::FollowRedirect(const std::string& location, HttpError* err) {
  std::string base_url, url;
  request().getAbsoluteUri(&base_url);
  if (!ResolveLocation(location, base_url, &url)) {
    RTC_LOG(LS_WARNING) << "HttpClient: cannot follow redirect to " << location;
    *err = HE_PROTOCOL;
    return false;
  }
  Url<char> purl(url);
  if (purl.secure() != secure_) {
    // The transport was chosen at launch; following would send the request in the clear
    // where TLS is expected, or the reverse.
    RTC_LOG(LS_WARNING) << "HttpClient: redirect to " << url
                        << " needs another transport, not followed";
    *err = HE_CONNECT_FAILED;
    return false;
  }
  // The Host header follows the new location.
  request().clearHeader(HH_HOST);
  set_server(SocketAddress(purl.host(), purl.port()));
  request().path = purl.full_path();
  if (response().scode == HC_SEE_OTHER) {
    request().verb = HV_GET;
    request().clearHeader(HH_CONTENT_TYPE);
    request().clearHeader(HH_CONTENT_LENGTH);
    request().document.reset();
  } else if (!RewindBody(err)) {
    return false;
  }
  redirects_ += 1;
  context_.reset();
  response().clear(false);
  Defer(MSG_RESTART);
  return true;
}

HttpAuthResult HttpClient::Authenticate(const char* challenge, size_t len,
                                        const SocketAddress& server, const std::string& method,
                                        const std::string& uri, const std::string& username,
                                        const CryptString& password,
                                        std::unique_ptr<HttpAuthContext>* context,
                                        std::string* response, std::string* auth_method) {
  return HttpAuthenticate(challenge, len, server, method, uri, username, password, context,
                          response, auth_method);
}

void HttpClient::HandleProxyChallenge(HttpError* err, bool* restarted) {
  *restarted = false;
  std::vector<std::string> challenges;
  for (auto it = response().begin(HH_PROXY_AUTHENTICATE);
       it != response().end(HH_PROXY_AUTHENTICATE); ++it) {
    challenges.push_back(it->second);
  }
  for (const std::string& challenge : challenges) {
    std::string answer, auth_method;
    HttpAuthResult result = Authenticate(challenge.data(), challenge.size(), proxy_.address,
                                         ToString(request().verb), request().path, proxy_.username,
                                         proxy_.password, &context_, &answer, &auth_method);
    if (result == HAR_RESPONSE) {
      request().setHeader(HH_PROXY_AUTHORIZATION, answer);
      if (!RewindBody(err)) {
        continue;
      }
      response().clear(false);
      *restarted = true;
      Defer(MSG_RESTART);
      return;
    }
    if (result == HAR_IGNORE) {
      RTC_LOG(LS_INFO) << "Ignoring Proxy-Authenticate: " << auth_method;
      continue;
    }
    break;
  }
}

void HttpClient::onHttpComplete(HttpMode mode, HttpError err) {
  if (err == HE_NONE) {
    if (mode == HM_CONNECT) {
      base_.send(&transaction_->request);
      return;
    }
    if (mode == HM_SEND) {
      interim_responses_ = 0;
      base_.recv(&transaction_->response);
      return;
    }
    if (mode == HM_RECV) {
      if (HttpCodeIsInformational(response().scode)) {
        // An interim answer: the final one follows on the same connection. A peer that sends
        // nothing else would hold the request forever.
        if (++interim_responses_ > kMaxInterimResponses) {
          RTC_LOG(LS_WARNING) << "HttpClient: more than " << kMaxInterimResponses
                              << " interim responses";
          Complete(HE_PROTOCOL);
          return;
        }
        response().clear(false);
        base_.recv(&transaction_->response);
        return;
      }
      if (!HttpShouldKeepAlive(response()) && base_.stream() != nullptr) {
        RTC_LOG(LS_VERBOSE) << "HttpClient: closing socket";
        base_.stream()->Close();
      }
      std::string location;
      if (ShouldRedirect(&location)) {
        if (FollowRedirect(location, &err)) {
          return;
        }
      } else if (response().scode == HC_PROXY_AUTHENTICATION_REQUIRED &&
                 proxy_.type == PROXY_HTTPS) {
        bool restarted = false;
        HandleProxyChallenge(&err, &restarted);
        if (restarted) {
          return;
        }
      }
    }
  } else if (IsRetriableError(err) && !base_.leader_received() && attempt_ < retries_) {
    // The server never answered: the connection went before the request could be read,
    // typically a kept-alive one the server had already dropped.
    attempt_ += 1;
    if (RewindBody(&err)) {
      response().clear(false);
      Defer(MSG_RECONNECT);
      return;
    }
  }
  Complete(err);
}

void HttpClient::onHttpClosed(HttpError /*err*/) {}

void HttpClient::Defer(uint32_t id) {
  if (thread_ == nullptr) {
    Message msg;
    msg.message_id = id;
    OnMessage(&msg);
    return;
  }
  restart_pending_ = true;
  thread_->Post(RTC_FROM_HERE, this, id);
}

void HttpClient::CancelRestart() {
  if (restart_pending_) {
    restart_pending_ = false;
    thread_->Clear(this, MSG_RESTART);
    thread_->Clear(this, MSG_RECONNECT);
  }
}

void HttpClient::OnMessage(Message* msg) {
  if (msg->message_id == MSG_RELEASE) {
    release();
    return;
  }
  restart_pending_ = false;
  // The stream goes back to the pool only now, outside the stream's own event: a pool
  // listening to it from inside that event would be handed the event as well.
  release();
  if (msg->message_id == MSG_RESTART) {
    start();
  } else if (msg->message_id == MSG_RECONNECT) {
    connect();
  }
}

void HttpClient::Complete(HttpError err) {
  if (cache_state_ == CS_READING) {
    cache_state_ = CS_READY;
  } else if (cache_state_ == CS_WRITING) {
    CompleteCacheFile();
    cache_state_ = CS_READY;
  }
  if (err != HE_NONE && base_.mode() == HM_NONE && base_.stream() != nullptr) {
    // After a failure the connection may hold the rest of a message; it is not reused.
    base_.stream()->Close();
  }
  if (base_.stream() != nullptr && thread_ != nullptr) {
    // Completion usually comes from inside the stream's own event; a pool that starts
    // listening to the stream there would be handed that event and drop the connection.
    thread_->Post(RTC_FROM_HERE, this, MSG_RELEASE);
  } else {
    release();
  }
  SignalHttpClientComplete(this, err);
}

HttpClientDefault::HttpClientDefault(SocketFactory* factory, const std::string& agent,
                                     HttpTransaction* transaction)
    : ReuseSocketPool(factory != nullptr ? factory : CurrentSocketFactory()),
      HttpClient(agent, nullptr, transaction) {
  if (factory != nullptr || CurrentSocketFactory() != nullptr) {
    set_pool(this);
  } else {
    // Without a pool every request fails to connect, which its owner hears of.
    RTC_LOG(LS_ERROR) << "HttpClientDefault: no socket factory on this thread";
  }
}

}  // namespace rtc
