// The openssl command line as an independent peer for the certificate and TLS tests: a
// scratch directory, commands run through the shell, and a private test CA made at run time.
#ifndef TESTS_RTC_BASE_OPENSSL_CLI_H_
#define TESTS_RTC_BASE_OPENSSL_CLI_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/peer_process.h"
#include "tests/support/temp_dir.h"

namespace rtc {
namespace testing {

// A private directory under /tmp, removed with its contents.
class ScratchDir : public vy_test::TempDir {
 public:
  void Write(const std::string& name, const std::string& contents) const {
    WriteFile(File(name), contents);
  }
  std::string Read(const std::string& name) const { return ReadFile(File(name)); }
};

// Runs `command` with /bin/sh in `dir` (stdin from /dev/null); returns its exit status and
// puts its standard output in `output` (stderr is appended when `with_stderr`).
int RunCommand(const std::string& dir, const std::string& command, std::string* output = nullptr,
               bool with_stderr = false);

// Makes key and certificate files with the openssl command line, in a scratch directory:
//   ca.pem / ca.key              a self-signed root, "VoRtmKit Test CA"
//   <name>.pem / <name>.key      leaves and intermediate authorities signed by it or by an
//                                intermediate (Issue)
class TestCa {
 public:
  TestCa();
  // False when the openssl command line fails.
  bool Init();

  struct Leaf {
    std::string name;              // File base name and subject CN.
    std::vector<std::string> san;  // "DNS:localhost", "IP:127.0.0.1"
    std::string key_alg = "EC";    // "EC" (P-256) or "RSA" (2048 bits)
    std::string start_date;        // "YYYYMMDDhhmmssZ"; empty: now
    std::string end_date;          // empty: 30 days from now
    std::string issuer = "ca";     // The base name of the signing authority.
    bool authority = false;        // An intermediate authority: CA:TRUE, keyCertSign.
  };
  // Writes <name>.pem and <name>.key; false on failure.
  bool Issue(const Leaf& leaf);

  const ScratchDir& dir() const { return dir_; }
  std::string ca_pem() const { return dir_.Read("ca.pem"); }
  std::string Pem(const std::string& name) const { return dir_.Read(name + ".pem"); }
  std::string Key(const std::string& name) const { return dir_.Read(name + ".key"); }

 private:
  ScratchDir dir_;
  int serial_ = 1;
};

// A peer program (openssl s_server, gnutls-serv, socat) whose output the test reads, in its
// own process group, killed with this object.
class LoggedPeer {
 public:
  LoggedPeer() = default;
  ~LoggedPeer();
  LoggedPeer(const LoggedPeer&) = delete;
  LoggedPeer& operator=(const LoggedPeer&) = delete;

  // Runs `command` through /bin/sh in `dir` with its output in the file `log_file` there, and
  // waits up to 5 s until the output shows `ready_text`.
  bool Start(const std::string& dir, const std::string& command, const std::string& log_file,
             const std::string& ready_text);
  // A loopback port for the peer to listen on, kept from every other test until the peer ends
  // (see ReserveLoopbackPort); -1 when none can be had.
  int ReservePort();
  // Waits up to `timeout_ms` until the output holds `text` at least `count` times.
  bool WaitForLog(const std::string& text, int count = 1, int timeout_ms = 5000) const;
  int CountInLog(const std::string& text) const;
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  int reservation_ = -1;
  std::string log_path_;
};

}  // namespace testing
}  // namespace rtc

#endif  // TESTS_RTC_BASE_OPENSSL_CLI_H_
