// Resolves a host name with getaddrinfo on a worker thread (a SignalThread
// job) and reports back on the thread that started it.
#ifndef RTC_BASE_NET_ASYNC_RESOLVER_H_
#define RTC_BASE_NET_ASYNC_RESOLVER_H_

#include <vector>

#include "rtc_base/net/async_resolver_interface.h"
#include "rtc_base/net/ip_address.h"
#include "rtc_base/net/socket_address.h"
#include "rtc_base/threads/signal_thread.h"

namespace rtc {

// Created on a thread with an rtc::Thread; ended with Destroy, never with
// delete. Errors are getaddrinfo's codes, which are negative on glibc; a
// resolver that never ran reports -1.
class AsyncResolver : public SignalThread, public AsyncResolverInterface {
 public:
  AsyncResolver();

  void Start(const SocketAddress& addr) override;
  bool GetResolvedAddress(int family, SocketAddress* addr) const override;
  int GetError() const override;
  void Destroy(bool wait) override;

  // Every resolved address in getaddrinfo's order; empty until done.
  const std::vector<IPAddress>& addresses() const;

 protected:
  ~AsyncResolver() override;

  void OnWorkStart() override;
  void DoWork() override;
  void OnWorkDone() override;

 private:
  // The address given to Start; starting thread only.
  SocketAddress pending_addr_;
  // Written by DoWork on the worker; read on the starting thread only after
  // the completion message, which the queue's lock orders after the write.
  SocketAddress addr_;
  std::vector<IPAddress> addresses_;
  int error_ = -1;
  bool done_ = false;
};

}  // namespace rtc

#endif  // RTC_BASE_NET_ASYNC_RESOLVER_H_
