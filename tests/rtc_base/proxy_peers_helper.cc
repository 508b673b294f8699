#include "proxy_peers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "http_test_server.h"

namespace rtc {
namespace testing {

const char kTinyProxy[] = "/usr/bin/tinyproxy";
const char kMicroSocks[] = "/usr/bin/microsocks";
const char kSquid[] = "/usr/sbin/squid";
const char kCurl[] = "/usr/bin/curl";

bool ReadBytes(int fd, size_t n, std::string* out) {
  out->clear();
  while (out->size() < n) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) <= 0) {
      return false;
    }
    char buf[512];
    ssize_t got = recv(fd, buf, std::min(sizeof(buf), n - out->size()), 0);
    if (got <= 0) {
      return false;
    }
    out->append(buf, got);
  }
  return true;
}

void Echo(int fd) {
  char buf[4096];
  while (true) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) <= 0) {
      return;
    }
    ssize_t got = recv(fd, buf, sizeof(buf), 0);
    if (got <= 0 || !SendText(fd, std::string(buf, got))) {
      return;
    }
  }
}

bool StartTinyProxy(PeerProcess* peer, const std::vector<int>& connect_ports,
                    const std::string& user, const std::string& password) {
  std::string conf = "Port " + std::to_string(peer->port()) +
                     "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Info\n"
                     "LogFile \"" +
                     peer->dir() + "/tinyproxy.log\"\n";
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

namespace rtc {
namespace testing {

bool StartSquid(PeerProcess* peer, const std::string& basic_user, const std::string& basic_password,
                const std::string& digest_user, const std::string& digest_password) {
  const std::string& dir = peer->dir();
  // squid and its helpers run as the "proxy" user.
  if (chmod(dir.c_str(), 0777) != 0) {
    return false;
  }
  std::string conf = "http_port 127.0.0.1:" + std::to_string(peer->port()) +
                     "\npid_filename none\ncache_log " + dir +
                     "/cache.log\n"
                     "access_log stdio:" +
                     dir +
                     "/access.log\n"
                     "cache deny all\ncache_mem 8 MB\ncoredump_dir " +
                     dir +
                     "\n"
                     "shutdown_lifetime 0 seconds\npinger_enable off\n"
                     // Nothing here may reach a name server off the machine.
                     "visible_hostname localhost\ndns_nameservers 127.0.0.1\n";
  if (!digest_user.empty()) {
    peer->WriteFile("digest_passwd", digest_user + ":" + digest_password + "\n");
    conf += "auth_param digest program /usr/lib/squid/digest_file_auth " + dir +
            "/digest_passwd\nauth_param digest realm squid\n"
            "auth_param digest children 1 startup=1 idle=1\n";
  }
  if (!basic_user.empty()) {
    // An htpasswd line made with openssl, as the ncsa helper reads it.
    std::string cmd = "openssl passwd -apr1 '" + basic_password + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
      return false;
    }
    char hash[256] = {};
    bool read = fgets(hash, sizeof(hash), pipe) != nullptr;
    pclose(pipe);
    if (!read) {
      return false;
    }
    peer->WriteFile("passwd", basic_user + ":" + hash);
    conf += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + dir +
            "/passwd\nauth_param basic children 1 startup=1 idle=1\n";
  }
  conf += "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
  peer->WriteFile("squid.conf", conf);
  // squid names its shared memory segments after its service name and, finding one of the name,
  // removes it: two squids of one name starting at once fail. Each gets a name of its own, and
  // its segments are unlinked once it runs (a single process keeps them mapped and never opens
  // them again), so that none is left behind when the test kills it.
  const std::string service = "vortm" + std::to_string(peer->port());
  if (!peer->Start({kSquid, "-N", "-n", service, "-f", dir + "/squid.conf"})) {
    return false;
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/dev/shm", ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().filename().string().rfind(service + "-", 0) == 0) {
      std::error_code ignored;
      std::filesystem::remove(it->path(), ignored);
    }
  }
  return true;
}

}  // namespace testing
}  // namespace rtc
