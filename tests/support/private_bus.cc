#include "tests/support/private_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/support/peer_process.h"

namespace rtc {
namespace testing {

namespace {

constexpr int kStartTimeoutMs = 30000;

}  // namespace

PrivateBus::PrivateBus(std::string dir, const std::string& service, const std::string& command)
    : dir_(std::move(dir)) {
  std::filesystem::create_directories(dir_ + "/services");
  WriteFile(dir_ + "/services/" + service + ".service",
            "[D-BUS Service]\nName=" + service + "\nExec=" + command + "\n");
  WriteFile(dir_ + "/bus.conf",
            "<busconfig><type>session</type><listen>" + address() + "</listen><servicedir>" + dir_ +
                "/services</servicedir><auth>EXTERNAL</auth><policy context=\"default\">"
                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                "</policy></busconfig>");
}

PrivateBus::~PrivateBus() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string PrivateBus::Start() {
  int out[2];
  if (pid_ > 0 || pipe2(out, O_CLOEXEC) != 0) return "no pipe, or started already";
  // The daemon prints its address, once it listens, to a copy of the pipe that outlives exec.
  const int printFd = std::max(out[1] + 1, 100);
  const std::string logFile = dir_ + "/bus.log", config = "--config-file=" + dir_ + "/bus.conf",
                    printTo = "--print-address=" + std::to_string(printFd);
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    dup2(out[1], printFd);
    execl("/usr/bin/dbus-daemon", "dbus-daemon", "--nofork", printTo.c_str(), config.c_str(),
          nullptr);
    _exit(127);
  }
  close(out[1]);
  char line[512];
  pollfd ready = {out[0], POLLIN, 0};
  bool started =
      pid_ > 0 && poll(&ready, 1, kStartTimeoutMs) == 1 && read(out[0], line, sizeof(line)) > 0;
  close(out[0]);
  return started ? "" : "/usr/bin/dbus-daemon did not start: " + log();
}

std::string PrivateBus::log() const { return ReadFile(dir_ + "/bus.log"); }

}  // namespace testing
}  // namespace rtc
