// The vortm-local-service program: it serves, stops cleanly on SIGTERM, warns about a moved
// HTTP port and prints its usage; and commands over IPv6 loopback.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "raw_client.h"
#include "rtc_base/temp_dir.h"

namespace local_service_test {
namespace {

using ::testing::HasSubstr;

// The program is built next to the tests' folder.
std::string ProgramPath() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string path(self, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  return path.substr(0, path.rfind('/', path.rfind('/') - 1)) + "/vortm-local-service";
}

std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(ProgramTest, ServesWarnsOfTheOfflinePortStopsOnSigtermAndPrintsItsUsage) {
  const std::string program = ProgramPath();
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "no program at " << program;
  vy_test::TempDir dir;
  // The shell's pid, printed first, is the program's after the exec.
  FILE* out = popen(("echo $$; exec " + program +
                     " --address 127.0.0.1 --http-port 0 --control 2>" + dir.File("err"))
                        .c_str(),
                    "r");
  ASSERT_NE(nullptr, out);
  char pid[32] = {}, banner[512] = {};
  ASSERT_NE(nullptr, fgets(pid, sizeof(pid), out));
  ASSERT_NE(nullptr, fgets(banner, sizeof(banner), out));
  std::smatch m;
  std::string text = banner;
  ASSERT_TRUE(std::regex_search(
      text, m, std::regex(R"(HTTP 127\.0\.0\.1:(\d+), commands 127\.0\.0\.1:(\d+))")))
      << text;
  auto gw = AskGateway("127.0.0.1", std::stoi(m[1]), "alice");
  EXPECT_EQ(std::stoi(m[2]), gw.port);
  RawClient a;
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  ASSERT_TRUE(a.SendLogin("alice", gw.session));
  EXPECT_EQ(R"({"Code":0})", BodyOf(a.ReadCmd("Login")));
  ASSERT_EQ(0, kill(atoi(pid), SIGTERM));
  int status = pclose(out);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_TRUE(a.WaitClosed());
  // The HTTP port is not 7080, where clients fetch their offline messages.
  EXPECT_THAT(ReadFile(dir.File("err")),
              HasSubstr("warning: clients fetch offline messages from port 7080 of the same address"));

  status = std::system((program + " --help >" + dir.File("out") + " 2>" + dir.File("err")).c_str());
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("", ReadFile(dir.File("err")));
  for (const char* option : {"--address A", "(default: 127.0.0.1", "--http-port P", "port 7080",
                             "--tcp-port P", "--ipv6", "--control", "--app-id ID",
                             "--keepalive-ms N", "15000", "--verbose", "--help"}) {
    EXPECT_THAT(ReadFile(dir.File("out")), HasSubstr(option));
  }
}

TEST(Ipv6Test, CommandsAreServedOnLoopbackIpv6WhenAsked) {
  auto o = TestOptions();
  o.listen_ipv6 = true;
  local_service::LocalService svc(o);
  ASSERT_TRUE(svc.Start());
  svc.SetGatewayMode(local_service::GatewayMode::kIpv6Address);
  auto gw = AskGateway(svc, "alice");
  EXPECT_EQ("::1", gw.addr);
  EXPECT_EQ(svc.tcp_port_v6(), gw.port);
  RawClient a;
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  ASSERT_TRUE(a.SendLogin("alice", gw.session));
  EXPECT_EQ(R"({"Code":0})", BodyOf(a.ReadCmd("Login")));
}

}  // namespace
}  // namespace local_service_test
