#include "openssl_cli.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <fstream>
#include <sstream>

namespace rtc {
namespace testing {

namespace {

const char kCaConfig[] =
    "[ ca ]\n"
    "default_ca = test_ca\n"
    "[ test_ca ]\n"
    "database = ./index.txt\n"
    "new_certs_dir = .\n"
    "serial = ./serial\n"
    "default_md = sha256\n"
    "policy = policy_any\n"
    "unique_subject = no\n"
    "copy_extensions = none\n"
    "[ policy_any ]\n"
    "commonName = supplied\n"
    "[ leaf_ext ]\n"
    "basicConstraints = CA:FALSE\n"
    "subjectAltName = $ENV::SAN\n"
    "[ leaf_ext_no_san ]\n"
    "basicConstraints = CA:FALSE\n"
    "[ authority_ext ]\n"
    "basicConstraints = critical,CA:TRUE\n"
    "keyUsage = critical,keyCertSign,cRLSign\n";

std::string NewKeyOption(const std::string& alg) {
  return alg == "RSA" ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:P-256";
}

}  // namespace

int RunCommand(const std::string& dir, const std::string& command, std::string* output,
               bool with_stderr) {
  std::string line =
      "cd '" + dir + "' && (" + command + ") </dev/null" + (with_stderr ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) text.append(buf, n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TestCa::TestCa() = default;

bool TestCa::Init() {
  if (dir_.path().empty()) return false;
  dir_.Write("ca.cnf", kCaConfig);
  dir_.Write("index.txt", "");
  dir_.Write("serial", "01\n");
  return RunCommand(dir_.path(),
                    "openssl req -x509 " + NewKeyOption("EC") +
                        " -nodes -keyout ca.key -out ca.pem -subj '/CN=VoRtmKit Test CA' -days 30"
                        " -addext basicConstraints=critical,CA:TRUE"
                        " -addext keyUsage=critical,keyCertSign,cRLSign") == 0;
}

bool TestCa::Issue(const Leaf& leaf) {
  std::string n = leaf.name;
  std::string dates = leaf.start_date.empty() ? "" : " -startdate " + leaf.start_date;
  dates += leaf.end_date.empty() ? " -days 30" : " -enddate " + leaf.end_date;
  std::string san;
  for (const std::string& entry : leaf.san) san += (san.empty() ? "" : ",") + entry;
  std::string ext = leaf.authority ? "authority_ext" : san.empty() ? "leaf_ext_no_san" : "leaf_ext";
  return RunCommand(dir_.path(), "openssl req -new " + NewKeyOption(leaf.key_alg) +
                                     " -nodes -keyout " + n + ".key -out " + n +
                                     ".csr -subj '/CN=" + n + "'") == 0 &&
         RunCommand(dir_.path(), "SAN='" + san + "' openssl ca -batch -config ca.cnf -cert " +
                                     leaf.issuer + ".pem -keyfile " + leaf.issuer +
                                     ".key -notext -in " + n + ".csr -out " + n +
                                     ".pem"
                                     " -extensions " +
                                     ext + dates) == 0;
}

LoggedPeer::~LoggedPeer() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (reservation_ >= 0) close(reservation_);
}

int LoggedPeer::ReservePort() {
  int port = -1;
  if (reservation_ >= 0) close(reservation_);
  reservation_ = ReserveLoopbackPort(&port);
  return reservation_ >= 0 ? port : -1;
}

bool LoggedPeer::Start(const std::string& dir, const std::string& command,
                       const std::string& log_file, const std::string& ready_text) {
  log_path_ = dir + "/" + log_file;
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    if (log < 0 || null < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid_, pid_);
  return pid_ > 0 && WaitForLog(ready_text);
}

std::string LoggedPeer::Log() const {
  std::ifstream in(log_path_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int LoggedPeer::CountInLog(const std::string& text) const {
  const std::string log = Log();
  int count = 0;
  for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) {
    ++count;
  }
  return count;
}

bool LoggedPeer::WaitForLog(const std::string& text, int count, int timeout_ms) const {
  // Woken by every change in the log's folder, the log included.
  int changes = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  const std::string folder = log_path_.substr(0, log_path_.rfind('/'));
  inotify_add_watch(changes, folder.c_str(), IN_MODIFY | IN_CREATE);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool found;
  while (!(found = CountInLog(text) >= count)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd changed = {changes, POLLIN, 0};
    if (left.count() <= 0 || poll(&changed, 1, static_cast<int>(left.count())) <= 0) break;
    char events[4096];
    while (read(changes, events, sizeof(events)) > 0) {
    }
  }
  close(changes);
  return found;
}

}  // namespace testing
}  // namespace rtc
