#include "rtc_base/net/async_socket.h"

#include <errno.h>

namespace rtc {

AsyncSocket::AsyncSocket() {}

AsyncSocket::~AsyncSocket() {}

AsyncSocketAdapter::AsyncSocketAdapter(AsyncSocket* socket) { Attach(socket); }

AsyncSocketAdapter::~AsyncSocketAdapter() {
  // The wrapped socket's signals disconnect from this adapter as it goes.
  socket_.reset();
}

void AsyncSocketAdapter::Attach(AsyncSocket* socket) {
  if (socket_.get() == socket) return;
  if (socket_) {
    socket_->SignalConnectEvent.disconnect(this);
    socket_->SignalReadEvent.disconnect(this);
    socket_->SignalWriteEvent.disconnect(this);
    socket_->SignalCloseEvent.disconnect(this);
  }
  socket_.reset(socket);
  if (socket_) {
    socket_->SignalConnectEvent.connect(this, &AsyncSocketAdapter::OnConnectEvent);
    socket_->SignalReadEvent.connect(this, &AsyncSocketAdapter::OnReadEvent);
    socket_->SignalWriteEvent.connect(this, &AsyncSocketAdapter::OnWriteEvent);
    socket_->SignalCloseEvent.connect(this, &AsyncSocketAdapter::OnCloseEvent);
  }
}

int AsyncSocketAdapter::NotConnected() {
  detached_error_ = ENOTCONN;
  return -1;
}

SocketAddress AsyncSocketAdapter::GetLocalAddress() const {
  return socket_ ? socket_->GetLocalAddress() : SocketAddress();
}

SocketAddress AsyncSocketAdapter::GetRemoteAddress() const {
  return socket_ ? socket_->GetRemoteAddress() : SocketAddress();
}

int AsyncSocketAdapter::Bind(const SocketAddress& addr) {
  return socket_ ? socket_->Bind(addr) : NotConnected();
}

int AsyncSocketAdapter::Connect(const SocketAddress& addr) {
  return socket_ ? socket_->Connect(addr) : NotConnected();
}

int AsyncSocketAdapter::Send(const void* pv, size_t cb) {
  return socket_ ? socket_->Send(pv, cb) : NotConnected();
}

int AsyncSocketAdapter::SendTo(const void* pv, size_t cb, const SocketAddress& addr) {
  return socket_ ? socket_->SendTo(pv, cb, addr) : NotConnected();
}

int AsyncSocketAdapter::Recv(void* pv, size_t cb, int64_t* timestamp) {
  return socket_ ? socket_->Recv(pv, cb, timestamp) : NotConnected();
}

int AsyncSocketAdapter::RecvFrom(void* pv, size_t cb, SocketAddress* paddr, int64_t* timestamp) {
  return socket_ ? socket_->RecvFrom(pv, cb, paddr, timestamp) : NotConnected();
}

int AsyncSocketAdapter::Listen(int backlog) {
  return socket_ ? socket_->Listen(backlog) : NotConnected();
}

AsyncSocket* AsyncSocketAdapter::Accept(SocketAddress* paddr) {
  if (socket_) return socket_->Accept(paddr);
  NotConnected();
  return nullptr;
}

int AsyncSocketAdapter::Close() { return socket_ ? socket_->Close() : NotConnected(); }

int AsyncSocketAdapter::GetError() const { return socket_ ? socket_->GetError() : detached_error_; }

void AsyncSocketAdapter::SetError(int error) {
  if (socket_) {
    socket_->SetError(error);
  } else {
    detached_error_ = error;
  }
}

Socket::ConnState AsyncSocketAdapter::GetState() const {
  return socket_ ? socket_->GetState() : CS_CLOSED;
}

int AsyncSocketAdapter::GetOption(Option opt, int* value) {
  return socket_ ? socket_->GetOption(opt, value) : NotConnected();
}

int AsyncSocketAdapter::SetOption(Option opt, int value) {
  return socket_ ? socket_->SetOption(opt, value) : NotConnected();
}

void AsyncSocketAdapter::OnConnectEvent(AsyncSocket* /*socket*/) { SignalConnectEvent(this); }

void AsyncSocketAdapter::OnReadEvent(AsyncSocket* /*socket*/) { SignalReadEvent(this); }

void AsyncSocketAdapter::OnWriteEvent(AsyncSocket* /*socket*/) { SignalWriteEvent(this); }

void AsyncSocketAdapter::OnCloseEvent(AsyncSocket* /*socket*/, int err) {
  SignalCloseEvent(this, err);
}

}  // namespace rtc
