// The HTTP client: builds a request, resolves the server's name, takes a connected stream from
// a pool, drives an HttpBase through send and receive, retries once after a lost connection,
// follows redirects, answers proxy challenges and can answer from or fill a response cache.
// Everything runs on the thread whose socket server carries the streams.
#ifndef RTC_BASE_HTTP_HTTP_CLIENT_H_
#define RTC_BASE_HTTP_HTTP_CLIENT_H_

#include <stddef.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "rtc_base/http/http_authenticate.h"
#include "rtc_base/http/http_base.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/net/proxy_info.h"
#include "rtc_base/net/socket_address.h"
#include "rtc_base/net/socket_pool.h"
#include "rtc_base/net/stream.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/sigslot.h"

namespace rtc {

class AsyncResolverInterface;
class SocketFactory;
class Thread;

// A request and the response it gets.
struct HttpTransaction {
  HttpRequestData request;
  HttpResponseData response;
};

// Storage for the response cache: resources by id, each with numbered streams (0 the
// headers, 1 the body). A resource is written only while locked and read only while unlocked.
class HttpCacheStore {
 public:
  virtual ~HttpCacheStore() = default;
  virtual bool LockResource(const std::string& id) = 0;
  virtual StreamInterface* WriteResource(const std::string& id, size_t index) = 0;
  virtual bool UnlockResource(const std::string& id) = 0;
  virtual StreamInterface* ReadResource(const std::string& id, size_t index) const = 0;
  virtual bool HasResource(const std::string& id) const = 0;
  virtual bool DeleteResource(const std::string& id) = 0;
};

// Holds a cache resource locked for writing; unless committed, the resource is deleted when
// the lock goes.
class CacheLock {
 public:
  CacheLock(HttpCacheStore* cache, const std::string& id, bool rollback = false);
  ~CacheLock();
  bool IsLocked() const { return locked_; }
  void Commit() { rollback_ = false; }

 private:
  HttpCacheStore* cache_;
  std::string id_;
  bool rollback_;
  bool locked_;
};

// Whether the response may be stored in the cache.
bool HttpShouldCache(const HttpTransaction& t);

enum HttpCacheState { HCS_FRESH, HCS_STALE, HCS_NONE };
// Freshness of a stored response at the wall-clock time `now` (seconds since 1970).
HttpCacheState HttpGetCacheState(const HttpTransaction& t, time_t now);

// Made, used and deleted on one thread, whose socket server carries its streams.
class HttpClient : public IHttpNotify, public sigslot::has_slots<>, protected MessageHandler {
 public:
  enum RedirectAction { REDIRECT_DEFAULT, REDIRECT_ALWAYS, REDIRECT_NEVER };
  enum UriForm { URI_DEFAULT, URI_ABSOLUTE, URI_RELATIVE };

  static constexpr size_t kDefaultRetries = 1;
  static constexpr size_t kMaxRedirects = 5;
  // Interim (1xx) responses accepted before the final one.
  static constexpr size_t kMaxInterimResponses = 32;

  // Without a transaction the client makes and owns one. The pool is not owned.
  HttpClient(const std::string& agent, StreamPool* pool, HttpTransaction* transaction = nullptr);
  ~HttpClient() override;

  void set_pool(StreamPool* pool) { pool_ = pool; }
  void set_agent(const std::string& agent) { agent_ = agent; }
  const std::string& agent() const { return agent_; }
  void set_proxy(const ProxyInfo& proxy) { proxy_ = proxy; }
  const ProxyInfo& proxy() const { return proxy_; }
  void set_redirect_action(RedirectAction action) { redirect_action_ = action; }
  RedirectAction redirect_action() const { return redirect_action_; }
  void set_uri_form(UriForm form) { uri_form_ = form; }
  UriForm uri_form() const { return uri_form_; }
  // The store is not owned; null turns caching off.
  void set_cache(HttpCacheStore* cache) { cache_ = cache; }
  bool cache_enabled() const { return cache_ != nullptr; }
  // Whether the pool's streams carry TLS. A redirect is followed only to a location of the
  // same kind: the transport is chosen when the request is launched.
  void set_secure(bool secure) { secure_ = secure; }
  bool secure() const { return secure_; }
  // Makes the resolvers for host names; by default an AsyncResolver. The result is ended
  // with Destroy, never deleted.
  using ResolverFactory = std::function<AsyncResolverInterface*()>;
  void set_resolver_factory(ResolverFactory factory) { resolver_factory_ = std::move(factory); }
  // A response body larger than this ends the request with HE_OVERFLOW.
  void set_max_body_size(size_t size);
  size_t max_body_size() const { return max_body_size_; }

  // Clears the server, request and response (deleting their documents) and cancels a name
  // lookup or a transfer in progress; a transfer in progress completes with
  // HE_OPERATION_CANCELLED.
  void reset();

  void set_server(const SocketAddress& address);
  const SocketAddress& server() const { return server_; }

  HttpTransaction* transaction() { return transaction_; }
  const HttpTransaction* transaction() const { return transaction_; }
  HttpRequestData& request() { return transaction_->request; }
  const HttpRequestData& request() const { return transaction_->request; }
  HttpResponseData& response() { return transaction_->response; }
  const HttpResponseData& response() const { return transaction_->response; }

  // Reset, then aim at the URL with GET, or with POST and the document as body (owned from
  // here on).
  void prepare_get(const std::string& url);
  void prepare_post(const std::string& url, const std::string& content_type,
                    StreamInterface* request_doc);

  // Sends the request; the end comes as SignalHttpClientComplete, possibly before this
  // returns. A request that cannot be sent completes with an error.
  void start();

  // Detaches the stream from the engine and gives it back to the pool.
  void release();

  // The body of the response being received, to be pulled in place of its document.
  StreamInterface* GetDocumentStream() { return base_.GetDocumentStream(); }

  // (client, body follows, body size or 0).
  sigslot::signal3<HttpClient*, bool, size_t> SignalHeaderAvailable;
  // (client, HttpError).
  sigslot::signal2<HttpClient*, int> SignalHttpClientComplete;

 protected:
  void connect();
  void onResolveResult(AsyncResolverInterface* resolver);
  void StartResolve();
  void DropResolver();

  bool ShouldRedirect(std::string* location) const;
  bool BeginCacheFile();
  HttpError WriteCacheHeaders(const std::string& id);
  void CompleteCacheFile();
  bool CheckCache();
  HttpError ReadCacheHeaders(const std::string& id, bool override_headers);
  HttpError ReadCacheBody(const std::string& id);
  bool PrepareValidate();
  HttpError CompleteValidate();
  HttpError OnHeaderAvailable(bool ignore_data, bool chunked, size_t data_size);
  bool IsCacheActive() const { return cache_state_ > CS_READY; }

  // Answers a proxy challenge; HttpAuthenticate by default.
  virtual HttpAuthResult Authenticate(const char* challenge, size_t len,
                                      const SocketAddress& server, const std::string& method,
                                      const std::string& uri, const std::string& username,
                                      const CryptString& password,
                                      std::unique_ptr<HttpAuthContext>* context,
                                      std::string* response, std::string* auth_method);

  void OnMessage(Message* msg) override;

  // IHttpNotify
  HttpError onHttpHeaderComplete(bool chunked, size_t& data_size) override;
  void onHttpComplete(HttpMode mode, HttpError err) override;
  void onHttpClosed(HttpError err) override;

 private:
  enum CacheState { CS_READY, CS_WRITING, CS_READING, CS_VALIDATING };
  enum { MSG_RESTART, MSG_RECONNECT, MSG_RELEASE };

  // The engine, which also tells the client whether a status line came in.
  class Engine : public HttpBase {
   public:
    bool leader_received() const { return leader_received_; }
    void clear_leader_received() { leader_received_ = false; }

   protected:
    ProcessResult ProcessLeader(const char* line, size_t len, HttpError* error) override;

   private:
    bool leader_received_ = false;
  };

  // Returns the stream and runs start() or connect() on the next loop pass. Restarts are
  // decided inside stream events, where the stream's signal is still being emitted: a
  // stream reconnected, or a pool connected to it, there would receive the rest of that
  // emission.
  void Defer(uint32_t id);
  void CancelRestart();
  // Completes the request: finishes cache work, returns the stream, signals.
  void Complete(HttpError err);
  // Sends the request again on a fresh or reused stream, after a redirect, challenge or
  // retry. False (with *err set) when the body cannot be rewound.
  bool RewindBody(HttpError* err);
  bool FollowRedirect(const std::string& location, HttpError* err);
  void HandleProxyChallenge(HttpError* err, bool* restarted);
  std::string GetCacheID(const HttpRequestData& request) const;

  std::string agent_;
  StreamPool* pool_;
  Engine base_;
  SocketAddress server_;
  ProxyInfo proxy_;
  HttpTransaction* transaction_;
  bool free_transaction_;
  size_t retries_ = kDefaultRetries;
  size_t attempt_ = 0;
  size_t redirects_ = 0;
  size_t interim_responses_ = 0;
  RedirectAction redirect_action_ = REDIRECT_DEFAULT;
  UriForm uri_form_ = URI_DEFAULT;
  std::unique_ptr<HttpAuthContext> context_;
  HttpCacheStore* cache_ = nullptr;
  CacheState cache_state_ = CS_READY;
  // While a name lookup runs; ended with Destroy(false), never deleted.
  AsyncResolverInterface* resolver_ = nullptr;
  size_t max_body_size_ = kHttpMaxBodySize;
  bool secure_ = false;
  // The response had no document before the cache tap was put in its place.
  bool cache_null_document_ = false;
  ResolverFactory resolver_factory_;
  // The thread the client was made on; its queue carries deferred restarts.
  Thread* thread_;
  bool restart_pending_ = false;

  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;
};

// A client that is its own pool: one reusable connection over the given factory, or over the
// current thread's socket server when none is given.
class HttpClientDefault : public ReuseSocketPool, public HttpClient {
 public:
  HttpClientDefault(SocketFactory* factory, const std::string& agent,
                    HttpTransaction* transaction = nullptr);
};

}  // namespace rtc

#endif  // RTC_BASE_HTTP_HTTP_CLIENT_H_
