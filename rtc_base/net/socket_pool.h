#ifndef RTC_BASE_NET_SOCKET_POOL_H_
#define RTC_BASE_NET_SOCKET_POOL_H_

#include <deque>
#include <list>
#include <string>
#include <utility>

#include "rtc_base/base/logging.h"
#include "rtc_base/net/socket_address.h"
#include "rtc_base/threads/sigslot.h"

namespace rtc {

class AsyncSocket;
class LoggingAdapter;
class SocketFactory;
class SocketStream;
class StreamInterface;

// Hands out connected (or connecting) streams and takes them back. Failures
// come back as null with *err set: -1 when no socket could be made,
// otherwise the socket error of the failed connect.
class StreamPool {
 public:
  virtual ~StreamPool() {}

  virtual StreamInterface* RequestConnectedStream(const SocketAddress& remote, int* err) = 0;
  virtual void ReturnConnectedStream(StreamInterface* stream) = 0;
};

// A pool in front of another one that keeps returned streams open and hands
// them out again for the same address. Streams come from the inner pool and
// always go back to it, never deleted here.
class StreamCache : public StreamPool, public sigslot::has_slots<> {
 public:
  explicit StreamCache(StreamPool* pool);
  ~StreamCache() override;

  StreamInterface* RequestConnectedStream(const SocketAddress& remote, int* err) override;
  void ReturnConnectedStream(StreamInterface* stream) override;

 private:
  typedef std::pair<SocketAddress, StreamInterface*> ConnectedStream;
  typedef std::list<ConnectedStream> ConnectedList;

  void OnStreamEvent(StreamInterface* stream, int events, int err);

  // We delegate stream creation and deletion to this pool.
  StreamPool* pool_;
  ConnectedList active_;
  ConnectedList cached_;
};

// A fresh socket for every request; a returned stream is deleted on the
// current thread's next loop pass.
class NewSocketPool : public StreamPool {
 public:
  explicit NewSocketPool(SocketFactory* factory);
  ~NewSocketPool() override;

  StreamInterface* RequestConnectedStream(const SocketAddress& remote, int* err) override;
  void ReturnConnectedStream(StreamInterface* stream) override;

 private:
  SocketFactory* factory_;
};

// One stream, kept across requests and reused while it stays open to the
// same address. While it is idle in the pool, anything but a write event
// closes it; the next request reconnects it.
class ReuseSocketPool : public StreamPool, public sigslot::has_slots<> {
 public:
  explicit ReuseSocketPool(SocketFactory* factory);
  ~ReuseSocketPool() override;

  StreamInterface* RequestConnectedStream(const SocketAddress& remote, int* err) override;
  void ReturnConnectedStream(StreamInterface* stream) override;

 private:
  void OnStreamEvent(StreamInterface* stream, int events, int err);
  void DropStream();

  SocketFactory* factory_;
  SocketStream* stream_;
  int family_;
  SocketAddress remote_;
  bool checked_out_;
};

// Wraps every stream of the inner pool in a LoggingAdapter, recycling the
// adapters.
class LoggingPoolAdapter : public StreamPool {
 public:
  LoggingPoolAdapter(StreamPool* pool, LoggingSeverity level, const std::string& label,
                     bool binary_mode);
  ~LoggingPoolAdapter() override;

  StreamInterface* RequestConnectedStream(const SocketAddress& remote, int* err) override;
  void ReturnConnectedStream(StreamInterface* stream) override;

 private:
  StreamPool* pool_;
  LoggingSeverity level_;
  std::string label_;
  bool binary_mode_;
  typedef std::deque<LoggingAdapter*> StreamList;
  StreamList recycle_bin_;
};

}  // namespace rtc

#endif  // RTC_BASE_NET_SOCKET_POOL_H_
