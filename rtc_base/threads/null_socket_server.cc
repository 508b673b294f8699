#include "rtc_base/threads/null_socket_server.h"

#include <cerrno>

namespace rtc {

NullSocketServer::NullSocketServer() : event_(false, false) {}
NullSocketServer::~NullSocketServer() = default;

bool NullSocketServer::Wait(int cms, bool /*process_io*/) {
  event_.Wait(cms == kForever ? Event::kForever : cms);
  return true;
}

void NullSocketServer::WakeUp() { event_.Set(); }

Socket* NullSocketServer::CreateSocket(int /*family*/, int /*type*/) {
  errno = EOPNOTSUPP;
  return nullptr;
}

AsyncSocket* NullSocketServer::CreateAsyncSocket(int /*family*/, int /*type*/) {
  errno = EOPNOTSUPP;
  return nullptr;
}

}  // namespace rtc
