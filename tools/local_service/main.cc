// vortm-local-service: the local test service as a program, for the demo and manual runs.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "local_service/local_service.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: vortm-local-service [--address A] [--http-port P] [--tcp-port P]\n"
               "                           [--ipv6] [--control] [--app-id ID]...\n"
               "                           [--keepalive-ms N] [--verbose]\n");
}

}  // namespace

int main(int argc, char** argv) {
  local_service::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
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
      Usage();
      return 2;
    }
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
