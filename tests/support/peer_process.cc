#include "tests/support/peer_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace rtc {
namespace testing {

const char kNginx[] = "/usr/sbin/nginx";

namespace {

const char kEchoModule[] = "/usr/lib/nginx/modules/ngx_http_echo_module.so";
constexpr int kStartTimeoutMs = 5000;
// How often a starting peer is asked whether it accepts yet; its exit wakes the wait at once.
constexpr int kStartPollMs = 5;

sockaddr_in Loopback(const std::string& host, int port) {
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

int ListenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback("127.0.0.1", 0);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

int UnusedLoopbackPort() {
  int port = 0;
  close(ListenLoopback(&port));
  return port;
}

int ReserveLoopbackPort(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  sockaddr_in addr = Loopback("127.0.0.1", 0);
  socklen_t len = sizeof(addr);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

bool CanConnect(const std::string& host, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(host, port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

bool ProgramAvailable(const char* path) { return access(path, X_OK) == 0; }

// A port merely found free could be taken by another test's peer, or an outgoing connection,
// before this peer binds it; that peer would then answer in this one's place.
PeerProcess::PeerProcess() : reservation_(ReserveLoopbackPort(&port_)) {}

PeerProcess::~PeerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (pidfd_ >= 0) {
    close(pidfd_);
  }
  if (reservation_ >= 0) {
    close(reservation_);
  }
}

void WriteFile(const std::string& path, const std::string& body) {
  std::ofstream(path, std::ios::binary) << body;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PeerProcess::Start(const std::vector<std::string>& argv) {
  if (dir().empty() || reservation_ < 0 || argv.empty() || pid_ > 0) {
    return false;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::string log = dir() + "/output.log";
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid_ < 0) {
    return false;
  }
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (CanConnect("127.0.0.1", port_)) {
      return true;
    }
    pollfd exited = {pidfd_, POLLIN, 0};
    if (poll(&exited, pidfd_ >= 0 ? 1 : 0, kStartPollMs) > 0 ||
        waitpid(pid_, nullptr, WNOHANG) == pid_) {
      waitpid(pid_, nullptr, WNOHANG);
      pid_ = -1;
      return false;
    }
  }
  return false;
}

bool NginxAvailable() { return ProgramAvailable(kNginx) && access(kEchoModule, R_OK) == 0; }

bool StartNginx(PeerProcess* peer, const std::string& server, const std::string& cert_file,
                const std::string& key_file) {
  const std::string& dir = peer->dir();
  // The files it serves must be readable to nginx whoever it runs as.
  chmod(dir.c_str(), 0755);
  std::string body = server;
  for (size_t at = body.find("$dir"); at != std::string::npos; at = body.find("$dir", at)) {
    body.replace(at, 4, dir);
  }
  std::ostringstream conf;
  if (access(kEchoModule, R_OK) == 0) {
    conf << "load_module " << kEchoModule << ";\n";
  }
  conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
       << "error_log " << dir << "/error.log;\npid " << dir << "/nginx.pid;\n"
       << "events { worker_connections 64; }\n"
       << "http {\n  access_log off;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf << "  " << temp << "_temp_path " << dir << "/" << temp << ";\n";
  }
  conf << "  client_body_buffer_size 1m;\n  keepalive_requests 100000;\n"
       << "  server {\n    listen " << peer->address() << (cert_file.empty() ? "" : " ssl")
       << ";\n";
  if (!cert_file.empty()) {
    conf << "    ssl_certificate " << cert_file << ";\n"
         << "    ssl_certificate_key " << key_file << ";\n";
  }
  conf << body << "\n  }\n}\n";
  peer->WriteFile("nginx.conf", conf.str());
  return peer->Start({kNginx, "-p", dir, "-c", dir + "/nginx.conf"});
}

}  // namespace testing
}  // namespace rtc
