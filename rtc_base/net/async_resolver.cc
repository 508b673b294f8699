#include "rtc_base/net/async_resolver.h"

#include "rtc_base/net/net_helpers.h"

namespace rtc {

AsyncResolver::AsyncResolver() = default;
AsyncResolver::~AsyncResolver() = default;

void AsyncResolver::Start(const SocketAddress& addr) {
  pending_addr_ = addr;
  SignalThread::Start();
}

void AsyncResolver::OnWorkStart() {
  // Only now is the job sure to start: a Start while running is ignored and
  // must not touch what DoWork is using.
  addr_ = pending_addr_;
  addresses_.clear();
  error_ = -1;
  done_ = false;
}

bool AsyncResolver::GetResolvedAddress(int family, SocketAddress* addr) const {
  if (addr == nullptr || !done_ || error_ != 0 || addresses_.empty()) {
    return false;
  }
  for (const IPAddress& ip : addresses_) {
    if (ip.family() == family) {
      *addr = addr_;
      addr->SetResolvedIP(ip);
      return true;
    }
  }
  return false;
}

int AsyncResolver::GetError() const {
  // DoWork may be writing error_ until the completion message has come.
  return done_ ? error_ : -1;
}

void AsyncResolver::Destroy(bool wait) { SignalThread::Destroy(wait); }

const std::vector<IPAddress>& AsyncResolver::addresses() const {
  static const std::vector<IPAddress> kNone;
  return done_ ? addresses_ : kNone;
}

void AsyncResolver::DoWork() {
  error_ = ResolveHostname(addr_.hostname(), addr_.family(), &addresses_);
}

void AsyncResolver::OnWorkDone() {
  done_ = true;
  SignalDone(this);
}

}  // namespace rtc
