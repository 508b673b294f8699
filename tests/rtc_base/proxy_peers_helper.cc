#include "proxy_peers.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "http_test_server.h"

namespace rtc {
namespace testing {

const char kTinyProxy[] = "/usr/bin/tinyproxy";
const char kMicroSocks[] = "/usr/bin/microsocks";

namespace {

constexpr int kStartAttempts = 500;
constexpr int kStartPollUs = 10000;

}  // namespace

bool ProgramAvailable(const char* path) {
  return access(path, X_OK) == 0;
}

PeerProcess::PeerProcess() : port_(UnusedLoopbackPort()) {
  char dir[] = "/tmp/vortm_peer_XXXXXX";
  if (mkdtemp(dir) != nullptr) {
    dir_ = dir;
  }
}

PeerProcess::~PeerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (!dir_.empty()) {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
      // Leftovers in /tmp are harmless.
    }
  }
}

void PeerProcess::WriteFile(const std::string& name, const std::string& body) const {
  std::ofstream(dir_ + "/" + name, std::ios::binary) << body;
}

bool PeerProcess::Start(const std::vector<std::string>& argv) {
  if (dir_.empty() || argv.empty()) {
    return false;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::string log = dir_ + "/output.log";
  pid_ = fork();
  if (pid_ == 0) {
    // The peer goes with the test even when the test dies.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  for (int i = 0; i < kStartAttempts; ++i) {
    if (CanConnect("127.0.0.1", port_)) {
      return true;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    usleep(kStartPollUs);
  }
  return false;
}

bool StartTinyProxy(PeerProcess* peer,
                    const std::vector<int>& connect_ports,
                    const std::string& user,
                    const std::string& password) {
  std::string conf = "Port " + std::to_string(peer->port()) +
                     "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Info\n"
                     "LogFile \"" + peer->dir() + "/tinyproxy.log\"\n";
  for (int port : connect_ports) {
    conf += "ConnectPort " + std::to_string(port) + "\n";
  }
  if (!user.empty()) {
    conf += "BasicAuth " + user + " " + password + "\n";
  }
  peer->WriteFile("tinyproxy.conf", conf);
  return peer->Start({kTinyProxy, "-d", "-c", peer->dir() + "/tinyproxy.conf"});
}

bool StartMicroSocks(PeerProcess* peer, const std::string& user, const std::string& password) {
  std::vector<std::string> argv = {kMicroSocks, "-i", "127.0.0.1", "-p",
                                   std::to_string(peer->port())};
  if (!user.empty()) {
    argv.insert(argv.end(), {"-u", user, "-P", password});
  }
  return peer->Start(argv);
}

}  // namespace testing
}  // namespace rtc
