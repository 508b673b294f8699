// vortm-local-service: the local test service as a program, for the demo and manual runs.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "local_service/local_service.h"

namespace {

constexpr int kOfflinePort = 7080;

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: vortm-local-service [options]\n"
               "\n"
               "  --address A       loopback address to serve on (default: 127.0.0.1; \"auto\"\n"
               "                    picks a free 127.0.x.y)\n"
               "  --http-port P     port of the gateway and offline endpoints (default: %d;\n"
               "                    0 picks one). Clients fetch offline messages from port %d\n"
               "                    of the same address whatever this is.\n"
               "  --tcp-port P      port of the command server (default: 0, an ephemeral port\n"
               "                    that the gateway names)\n"
               "  --ipv6            also accept commands on [::1] (ephemeral port)\n"
               "  --control         serve the control API as JSON under /control/\n"
               "  --app-id ID       accept only this app id; repeatable (default: any app id\n"
               "                    of 32 characters)\n"
               "  --keepalive-ms N  drop a connection that sends nothing for N ms (default:\n"
               "                    15000; 0 never)\n"
               "  --verbose         one line per connection and command on standard error\n"
               "  --help            print this and exit\n"
               "\n"
               "Every token is taken but \"bad\" and \"exp:0\"; \"exp:N\" expires N ms after\n"
               "the login. SIGINT or SIGTERM stops the service.\n",
               kOfflinePort, kOfflinePort);
}

}  // namespace

int main(int argc, char** argv) {
  local_service::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage(stderr);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--address") {
      options.address = value();
    } else if (arg == "--http-port") {
      options.http_port = std::atoi(value());
    } else if (arg == "--tcp-port") {
      options.tcp_port = std::atoi(value());
    } else if (arg == "--keepalive-ms") {
      options.keepalive_timeout_ms = std::atoi(value());
    } else if (arg == "--app-id") {
      options.app_ids.push_back(value());
    } else if (arg == "--ipv6") {
      options.listen_ipv6 = true;
    } else if (arg == "--control") {
      options.control_http = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else {
      Usage(stderr);
      return 2;
    }
  }
  if (options.http_port != kOfflinePort) {
    std::fprintf(stderr,
                 "vortm-local-service: warning: clients fetch offline messages from port %d of "
                 "the same address (the protocol fixes that port), not from --http-port %d\n",
                 kOfflinePort, options.http_port);
  }

  // Every thread the service starts inherits this mask, so the signals reach sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  local_service::LocalService service(options);
  std::string error;
  if (!service.Start(&error)) {
    std::fprintf(stderr, "vortm-local-service: %s\n", error.c_str());
    return 1;
  }
  std::printf("vortm-local-service: HTTP %s:%d, commands %s:%d%s\n", service.address().c_str(),
              service.http_port(), service.address().c_str(), service.tcp_port(),
              options.control_http ? ", control API on /control/" : "");
  std::fflush(stdout);

  int sig = 0;
  sigwait(&signals, &sig);
  std::fprintf(stderr, "vortm-local-service: %s, stopping\n", strsignal(sig));
  service.Stop();
  return 0;
}
