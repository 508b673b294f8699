#include "rtc_base/net/socket_pool.h"

#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>

#include "rtc_base/base/checks.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/socket_stream.h"
#include "rtc_base/net/stream.h"
#include "rtc_base/threads/socket_factory.h"
#include "rtc_base/threads/thread.h"

namespace rtc {

namespace {

int FamilyFor(const SocketAddress& remote) {
  // A name still to be resolved is taken as IPv4.
  return remote.IsUnresolvedIP() ? AF_INET : remote.family();
}

// Deletes on the current thread's next loop pass, so that a stream returned
// from inside one of its own events is not deleted under it.
void DisposeStream(StreamInterface* stream) {
  if (Thread* thread = Thread::Current()) {
    thread->Dispose(stream);
  } else {
    delete stream;
  }
}

}  // namespace

//////////////////////////////////////////////////////////////////////
// StreamCache
//////////////////////////////////////////////////////////////////////

StreamCache::StreamCache(StreamPool* pool) : pool_(pool) { RTC_DCHECK(nullptr != pool_); }

StreamCache::~StreamCache() {
  // The streams belong to the inner pool, which may own them itself.
  for (ConnectedList::iterator it = cached_.begin(); it != cached_.end(); ++it) {
    it->second->SignalEvent.disconnect(this);
    pool_->ReturnConnectedStream(it->second);
  }
  for (ConnectedList::iterator it = active_.begin(); it != active_.end(); ++it) {
    pool_->ReturnConnectedStream(it->second);
  }
}

StreamInterface* StreamCache::RequestConnectedStream(const SocketAddress& remote, int* err) {
  RTC_LOG_F(LS_VERBOSE) << "(" << remote.ToString() << ")";
  for (ConnectedList::iterator it = cached_.begin(); it != cached_.end(); ++it) {
    if (remote == it->first) {
      it->second->SignalEvent.disconnect(this);
      // Move from cached_ to active_
      active_.push_front(*it);
      cached_.erase(it);
      if (err) *err = 0;
      RTC_LOG_F(LS_VERBOSE) << "Providing cached stream";
      return active_.front().second;
    }
  }
  if (StreamInterface* stream = pool_->RequestConnectedStream(remote, err)) {
    // We track active streams so that we can remember their address
    active_.push_front(ConnectedStream(remote, stream));
    RTC_LOG_F(LS_VERBOSE) << "Providing new stream";
    return active_.front().second;
  }
  return nullptr;
}

void StreamCache::ReturnConnectedStream(StreamInterface* stream) {
  for (ConnectedList::iterator it = active_.begin(); it != active_.end(); ++it) {
    if (stream == it->second) {
      RTC_LOG_F(LS_VERBOSE) << "(" << it->first.ToString() << ")";
      if (stream->GetState() == SS_CLOSED) {
        // Return closed streams
        RTC_LOG_F(LS_VERBOSE) << "Returning closed stream";
        pool_->ReturnConnectedStream(it->second);
      } else {
        // Monitor open streams
        stream->SignalEvent.connect(this, &StreamCache::OnStreamEvent);
        RTC_LOG_F(LS_VERBOSE) << "Caching stream";
        cached_.push_front(*it);
      }
      active_.erase(it);
      return;
    }
  }
  RTC_LOG_F(LS_WARNING) << "stream not checked out from this cache";
}

void StreamCache::OnStreamEvent(StreamInterface* stream, int events, int err) {
  if ((events & SE_CLOSE) == 0) {
    RTC_LOG_F(LS_WARNING) << "(" << events << ", " << err << ") received non-close event";
    return;
  }
  for (ConnectedList::iterator it = cached_.begin(); it != cached_.end(); ++it) {
    if (stream == it->second) {
      RTC_LOG_F(LS_VERBOSE) << "(" << it->first.ToString() << ")";
      // We don't cache closed streams, so return it.
      it->second->SignalEvent.disconnect(this);
      RTC_LOG_F(LS_VERBOSE) << "Returning closed stream";
      pool_->ReturnConnectedStream(it->second);
      cached_.erase(it);
      return;
    }
  }
}

//////////////////////////////////////////////////////////////////////
// NewSocketPool
//////////////////////////////////////////////////////////////////////

NewSocketPool::NewSocketPool(SocketFactory* factory) : factory_(factory) {}

NewSocketPool::~NewSocketPool() = default;

StreamInterface* NewSocketPool::RequestConnectedStream(const SocketAddress& remote, int* err) {
  AsyncSocket* socket = factory_->CreateAsyncSocket(FamilyFor(remote), SOCK_STREAM);
  if (!socket) {
    if (err) *err = -1;
    return nullptr;
  }
  if ((socket->Connect(remote) != 0) && !IsBlockingError(socket->GetError())) {
    if (err) *err = socket->GetError();
    delete socket;
    return nullptr;
  }
  if (err) *err = 0;
  return new SocketStream(socket);
}

void NewSocketPool::ReturnConnectedStream(StreamInterface* stream) { DisposeStream(stream); }

//////////////////////////////////////////////////////////////////////
// ReuseSocketPool
//////////////////////////////////////////////////////////////////////

ReuseSocketPool::ReuseSocketPool(SocketFactory* factory)
    : factory_(factory), stream_(nullptr), family_(AF_UNSPEC), checked_out_(false) {}

ReuseSocketPool::~ReuseSocketPool() {
  RTC_DCHECK(!checked_out_);
  delete stream_;
}

void ReuseSocketPool::DropStream() {
  SocketStream* stream = stream_;
  stream_ = nullptr;
  stream->SignalEvent.disconnect(this);
  DisposeStream(stream);
}

StreamInterface* ReuseSocketPool::RequestConnectedStream(const SocketAddress& remote, int* err) {
  // Handing the one stream out twice would close and reconnect it under its
  // first borrower.
  if (checked_out_) {
    RTC_LOG_F(LS_ERROR) << "stream already checked out";
    if (err) *err = EBUSY;
    return nullptr;
  }

  int family = FamilyFor(remote);
  if (stream_ && family != family_) {
    // A socket of one family cannot connect to an address of another.
    DropStream();
  }
  if (!stream_) {
    RTC_LOG_F(LS_VERBOSE) << "Creating new socket";
    AsyncSocket* socket = factory_->CreateAsyncSocket(family, SOCK_STREAM);
    if (!socket) {
      if (err) *err = -1;
      return nullptr;
    }
    stream_ = new SocketStream(socket);
    family_ = family;
  }
  if ((stream_->GetState() == SS_OPEN) && (remote == remote_)) {
    RTC_LOG_F(LS_VERBOSE) << "Reusing connection to: " << remote_.ToString();
  } else {
    remote_ = remote;
    stream_->Close();
    AsyncSocket* socket = stream_->GetSocket();
    if ((socket->Connect(remote_) != 0) && !IsBlockingError(socket->GetError())) {
      if (err) *err = socket->GetError();
      return nullptr;
    }
    RTC_LOG_F(LS_VERBOSE) << "Opening connection to: " << remote_.ToString();
  }
  stream_->SignalEvent.disconnect(this);
  checked_out_ = true;
  if (err) *err = 0;
  return stream_;
}

void ReuseSocketPool::ReturnConnectedStream(StreamInterface* stream) {
  if (stream != stream_ || !checked_out_) {
    RTC_LOG_F(LS_ERROR) << "stream not checked out from this pool";
    return;
  }
  stream_->SignalEvent.connect(this, &ReuseSocketPool::OnStreamEvent);
  checked_out_ = false;
}

void ReuseSocketPool::OnStreamEvent(StreamInterface* stream, int events, int err) {
  RTC_DCHECK(stream == stream_);
  RTC_DCHECK(!checked_out_);

  // A stream written to just before it came back may still report that it
  // is writable.
  if (events == SE_WRITE) {
    RTC_LOG_F(LS_VERBOSE) << "Pooled Socket unexpectedly writable: ignoring";
    return;
  }

  // Data we cannot use, or a close: drop the connection either way; the
  // next request reconnects it.
  if (0 != (events & SE_CLOSE)) {
    RTC_LOG_F(LS_VERBOSE) << "Connection closed with error: " << err;
  } else {
    RTC_LOG_F(LS_VERBOSE) << "Pooled Socket unexpectedly readable: closing";
  }
  stream_->Close();
}

//////////////////////////////////////////////////////////////////////
// LoggingPoolAdapter
//////////////////////////////////////////////////////////////////////

LoggingPoolAdapter::LoggingPoolAdapter(StreamPool* pool, LoggingSeverity level,
                                       const std::string& label, bool binary_mode)
    : pool_(pool), level_(level), label_(label), binary_mode_(binary_mode) {}

LoggingPoolAdapter::~LoggingPoolAdapter() {
  for (StreamList::iterator it = recycle_bin_.begin(); it != recycle_bin_.end(); ++it) {
    delete *it;
  }
}

StreamInterface* LoggingPoolAdapter::RequestConnectedStream(const SocketAddress& remote, int* err) {
  StreamInterface* stream = pool_->RequestConnectedStream(remote, err);
  if (!stream) return nullptr;

  char pointer[32];
  snprintf(pointer, sizeof(pointer), "(0x%08lx)",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(stream)));
  std::string label = label_ + pointer;
  RTC_LOG_V(level_) << label << ((SS_OPEN == stream->GetState()) ? " Connected" : " Connecting")
                    << " to " << remote.ToString();
  LoggingAdapter* logging;
  if (recycle_bin_.empty()) {
    logging = new LoggingAdapter(nullptr, level_, label, binary_mode_);
  } else {
    logging = recycle_bin_.front();
    recycle_bin_.pop_front();
    logging->set_label(label);
  }
  // The inner pool keeps ownership of its stream.
  logging->Attach(stream, false);
  return logging;
}

void LoggingPoolAdapter::ReturnConnectedStream(StreamInterface* stream) {
  LoggingAdapter* logging = static_cast<LoggingAdapter*>(stream);
  pool_->ReturnConnectedStream(logging->Detach());
  recycle_bin_.push_back(logging);
}

}  // namespace rtc
