#ifndef RTC_BASE_NET_ASYNC_RESOLVER_INTERFACE_H_
#define RTC_BASE_NET_ASYNC_RESOLVER_INTERFACE_H_

#include <sys/socket.h>

#include "rtc_base/net/socket_address.h"
#include "rtc_base/threads/sigslot.h"

namespace rtc {

// An asynchronous name resolution. It is started and finished on the thread
// that created it; SignalDone is emitted there once resolution is over.
class AsyncResolverInterface {
 public:
  AsyncResolverInterface() = default;
  virtual ~AsyncResolverInterface() = default;

  // Starts resolving the host name of `addr`.
  virtual void Start(const SocketAddress& addr) = 0;
  // The address being resolved with the first resolved IP of `family`;
  // false when resolution failed or gave no address of that family.
  virtual bool GetResolvedAddress(int family, SocketAddress* addr) const = 0;
  // 0 on success, else the resolver's error (a getaddrinfo code, negative
  // with glibc, so it never equals an errno value).
  virtual int GetError() const = 0;
  // Ends the resolver; with `wait` true only after its worker has finished.
  // It may delete itself later, so the caller forgets it at once.
  virtual void Destroy(bool wait) = 0;

  // The resolved address to use: IPv6 preferred, then IPv4; the default
  // address when resolution failed.
  SocketAddress address() const {
    SocketAddress addr;
    if (GetResolvedAddress(AF_INET6, &addr)) return addr;
    if (GetResolvedAddress(AF_INET, &addr)) return addr;
    return SocketAddress();
  }

  sigslot::signal_with_thread_policy<sigslot::single_threaded, AsyncResolverInterface*> SignalDone;
};

}  // namespace rtc

#endif  // RTC_BASE_NET_ASYNC_RESOLVER_INTERFACE_H_
