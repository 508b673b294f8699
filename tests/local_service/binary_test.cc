// The vortm-local-service program: it serves, stops cleanly on SIGTERM, warns about a moved
// HTTP port and prints its usage.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "rtc_base/temp_dir.h"
#include "test_util.h"

namespace local_service_test {
namespace {

// The program is built next to the tests' folder.
std::string ProgramPath() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  for (int i = 0; i < 2; ++i) path = path.substr(0, path.rfind('/'));
  return path + "/vortm-local-service";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ProgramTest, ServesTheGatewayWarnsOfTheOfflinePortAndStopsOnSigterm) {
  std::string program = ProgramPath();
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "no program at " << program;
  vy_test::TempDir dir;
  const std::string err_path = dir.File("stderr");
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || dup2(err, STDERR_FILENO) < 0) _exit(126);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(program.c_str(), program.c_str(), "--address", "127.0.0.1", "--http-port", "0",
          "--control", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  FILE* f = fdopen(out[0], "r");
  char line[512] = {};
  ASSERT_NE(fgets(line, sizeof(line), f), nullptr);
  std::smatch m;
  std::string text = line;
  ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(HTTP 127\.0\.0\.1:(\d+), commands 127\.0\.0\.1:(\d+))")))
      << text;
  int http = std::stoi(m[1]);
  auto gw = AskGateway("127.0.0.1", http, "alice");
  EXPECT_EQ(gw.code, 0);
  EXPECT_EQ(gw.port, std::stoi(m[2]));
  RawClient a;
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  ASSERT_TRUE(a.SendLogin("alice", gw.session));
  EXPECT_TRUE(a.ReadCmd("Login"));

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  fclose(f);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(a.WaitClosed());
  // The HTTP port is not 7080, where clients fetch their offline messages.
  EXPECT_THAT(ReadFile(err_path),
              ::testing::HasSubstr("warning: clients fetch offline messages from port 7080 of the "
                                   "same address"));
}

TEST(ProgramTest, HelpPrintsEveryOptionWithItsDefaultOnStandardOutput) {
  std::string program = ProgramPath();
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "no program at " << program;
  vy_test::TempDir dir;
  std::string command =
      program + " --help >" + dir.File("out") + " 2>" + dir.File("err");
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("", ReadFile(dir.File("err")));
  std::string help = ReadFile(dir.File("out"));
  for (const char* text :
       {"--address A", "(default: 127.0.0.1", "--http-port P", "(default: 7080",
        "port 7080", "--tcp-port P", "(default: 0", "--ipv6", "--control", "--app-id ID",
        "--keepalive-ms N", "15000", "--verbose", "--help"}) {
    EXPECT_THAT(help, ::testing::HasSubstr(text));
  }
}

TEST(Ipv6Test, CommandsAreServedOnLoopbackIpv6WhenAsked) {
  auto o = TestOptions();
  o.listen_ipv6 = true;
  local_service::LocalService svc(o);
  ASSERT_TRUE(svc.Start());
  svc.SetGatewayMode(local_service::GatewayMode::kIpv6Address);
  auto gw = AskGateway(svc.address(), svc.http_port(), "alice");
  EXPECT_EQ(gw.addr, "::1");
  EXPECT_EQ(gw.port, svc.tcp_port_v6());
  RawClient a;
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  ASSERT_TRUE(a.SendLogin("alice", gw.session));
  auto reply = a.ReadCmd("Login");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, R"({"Code":0})");
}

}  // namespace
}  // namespace local_service_test
