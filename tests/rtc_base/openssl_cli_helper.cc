#include "openssl_cli.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

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
    "basicConstraints = CA:FALSE\n";

std::string NewKeyOption(const std::string& alg) {
  return alg == "RSA" ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:P-256";
}

}  // namespace

ScratchDir::ScratchDir() {
  char dir[] = "/tmp/vortm_tls_XXXXXX";
  if (mkdtemp(dir) != nullptr) path_ = dir;
}

ScratchDir::~ScratchDir() {
  if (!path_.empty()) RunCommand("/", "rm -rf '" + path_ + "'");
}

void ScratchDir::Write(const std::string& name, const std::string& contents) const {
  std::ofstream(File(name), std::ios::binary) << contents;
}

std::string ScratchDir::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int RunCommand(const std::string& dir, const std::string& command, std::string* output,
        bool with_stderr) {
  std::string line = "cd '" + dir + "' && (" + command + ") </dev/null" +
                     (with_stderr ? " 2>&1" : " 2>/dev/null");
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
  std::string ext = san.empty() ? "leaf_ext_no_san" : "leaf_ext";
  return RunCommand(dir_.path(), "openssl req -new " + NewKeyOption(leaf.key_alg) + " -nodes -keyout " +
                              n + ".key -out " + n + ".csr -subj '/CN=" + n + "'") == 0 &&
         RunCommand(dir_.path(), "SAN='" + san + "' openssl ca -batch -config ca.cnf -cert ca.pem"
                          " -keyfile ca.key -notext -in " + n + ".csr -out " + n + ".pem"
                          " -extensions " + ext + dates) == 0;
}

}  // namespace testing
}  // namespace rtc
