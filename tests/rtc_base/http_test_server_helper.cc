#include "http_test_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace rtc {
namespace testing {

namespace {

constexpr int kPeerTimeoutMs = 5000;

}  // namespace

bool ReadHttpRequest(int fd, std::string* request) {
  request->clear();
  size_t body_needed = std::string::npos;
  size_t header_end = std::string::npos;
  while (true) {
    if (header_end != std::string::npos && request->size() >= header_end + body_needed) {
      return true;
    }
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, kPeerTimeoutMs) <= 0) {
      return false;
    }
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      return false;
    }
    request->append(buf, n);
    if (header_end == std::string::npos) {
      size_t pos = request->find("\r\n\r\n");
      if (pos != std::string::npos) {
        header_end = pos + 4;
        body_needed = 0;
        size_t cl = request->find("Content-Length: ");
        if (cl != std::string::npos && cl < header_end) {
          body_needed = strtoul(request->c_str() + cl + 16, nullptr, 10);
        }
      }
    }
  }
}

bool SendText(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    sent += n;
  }
  return true;
}

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {}

ScriptedServer::~ScriptedServer() { Stop(); }

bool ScriptedServer::Start() {
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    return false;
  }
  listen_fd_ = ListenLoopback(&port_);
  if (listen_fd_ < 0) {
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void ScriptedServer::Stop() {
  if (stop_pipe_[1] >= 0) {
    close(stop_pipe_[1]);
    stop_pipe_[1] = -1;
  }
  {
    // A handler still reading from its peer hears the end at once.
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_fd_ >= 0) {
      shutdown(current_fd_, SHUT_RDWR);
    }
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
  if (stop_pipe_[0] >= 0) {
    close(stop_pipe_[0]);
    stop_pipe_[0] = -1;
  }
}

void ScriptedServer::Run() {
  while (true) {
    pollfd pfds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(pfds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (pfds[1].revents != 0) {
      return;
    }
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    int index = accepted_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_fd_ = fd;
    }
    handler_(fd, index);
    std::lock_guard<std::mutex> lock(mutex_);
    current_fd_ = -1;
    close(fd);
  }
}

std::vector<std::string> ScriptedServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedServer::Record(const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request);
}

void ScriptedServer::WaitForStop(int fd) {
  pollfd pfds[2] = {{stop_pipe_[0], POLLIN, 0}, {fd, POLLRDHUP, 0}};
  poll(pfds, 2, -1);
}

void ScriptedServer::RecordAndHold(int fd) {
  std::string request;
  ReadHttpRequest(fd, &request);
  Record(request);
  WaitForStop(fd);
}

void NginxServer::AddFile(const std::string& name, const std::string& body) {
  if (access((peer_.dir() + "/static").c_str(), F_OK) != 0) {
    mkdir((peer_.dir() + "/static").c_str(), 0755);
  }
  peer_.WriteFile("static/" + name, body);
}

std::string NginxServer::url(const std::string& path) const {
  return (cert_file_.empty() ? "http://" : "https://") + peer_.address() + path;
}

bool NginxServer::Start() {
  AddFile("small.txt", "small body\n");
  std::string authority = "http://" + peer_.address();
  std::string server =
      "    location = /echo { echo_read_request_body; echo_request_body; }\n"
      "    location /static/ { root $dir; }\n"
      "    location = /close { chunked_transfer_encoding off; echo -n \"closed body\"; }\n"
      "    location = /found { return 302 " +
      authority +
      "/static/small.txt; }\n"
      "    location = /see-other { return 303 " +
      authority +
      "/static/small.txt; }\n"
      "    location = /relative { absolute_redirect off; return 301 /static/small.txt; }\n"
      "    location = /to-https { return 301 https://" +
      peer_.address() + "/static/small.txt; }\n";
  for (int i = 1; i < 7; ++i) {
    server += "    location = /chain" + std::to_string(i) + " { return 301 " + authority +
              "/chain" + std::to_string(i + 1) + "; }\n";
  }
  server += "    location = /chain7 { echo -n \"end of chain\"; }";
  return StartNginx(&peer_, server, cert_file_, key_file_);
}

}  // namespace testing
}  // namespace rtc
