// The gateway lookup against nginx, an independent HTTP server, answering with a fixed body:
// the answer it gives is read, the command server it names is connected and logged in to.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "rtm_test_client.h"
#include "rtc_base/temp_dir.h"

namespace rtm_test {
namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";

// A free TCP port on 127.0.0.1, for nginx to bind a moment later.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
    port = ntohs(sa.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
  close(fd);
  return ok;
}

// nginx in the foreground answering every request for /vyapi/v1 with `answer`.
class FixedGateway {
 public:
  bool Start(const std::string& answer) {
    port_ = FreePort();
    if (port_ <= 0) return false;
    std::ofstream conf(dir_.File("nginx.conf"));
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "error_log " << dir_.path() << "/error.log;\npid " << dir_.path() << "/nginx.pid;\n"
         << "events { worker_connections 16; }\n"
         << "http {\n  access_log off;\n"
         << "  client_body_temp_path " << dir_.path() << "/body;\n"
         << "  proxy_temp_path " << dir_.path() << "/proxy;\n"
         << "  fastcgi_temp_path " << dir_.path() << "/fastcgi;\n"
         << "  uwsgi_temp_path " << dir_.path() << "/uwsgi;\n"
         << "  scgi_temp_path " << dir_.path() << "/scgi;\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
         << "    location = /vyapi/v1 { default_type application/json; return 200 '" << answer
         << "'; }\n  }\n}\n";
    conf.close();
    pid_ = fork();
    if (pid_ == 0) {
      execl(kNginx, kNginx, "-p", dir_.path().c_str(), "-c", dir_.File("nginx.conf").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    return Eventually([this] { return Accepts(port_); }, 5000);
  }
  ~FixedGateway() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }

 private:
  vy_test::TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

class GatewayNginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  // Points `client` at the nginx gateway.
  void UseGateway(Client& client, int port) {
    std::string params =
        std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.1","Port":)") +
        std::to_string(port) + "}";
    ASSERT_EQ(0, client->setParameters(params.c_str()));
  }

  RunningFakeClock& clock_ = RunningFakeClock::Instance();
  local_service::LocalService svc_{ServiceOptions()};
};

TEST_F(GatewayNginxTest, AnswerFromAnotherServerIsReadAndItsServerLoggedInTo) {
  // A real session of the local service, handed out by nginx.
  httplib::Client http(svc_.address(), svc_.http_port());
  auto res = http.Post("/vyapi/v1?action=wrtm_gateway",
                       std::string(R"({"cType":2,"appId":")") + kAppId +
                           R"(","uid":"alice","token":"tok","wss":false})",
                       "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  ASSERT_EQ(std::string::npos, res->body.find('\''));
  FixedGateway gateway;
  ASSERT_TRUE(gateway.Start(res->body));
  Client alice(svc_, "alice");
  UseGateway(alice, gateway.port());
  ASSERT_TRUE(alice.Login());
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_EQ(1, svc_.connections_accepted());
  EXPECT_TRUE(svc_.IsOnline("alice"));
}

TEST_F(GatewayNginxTest, RefusalFromAnotherServerIsReportedWithItsCode) {
  FixedGateway gateway;
  ASSERT_TRUE(gateway.Start(R"({"code":6,"msg":"refused"})"));
  Client alice(svc_, "alice");
  UseGateway(alice, gateway.port());
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginFailure));
  EXPECT_EQ(6, alice.log.Of(Event::kLoginFailure)[0].a);
  EXPECT_EQ(0, svc_.connections_accepted());
}

}  // namespace
}  // namespace rtm_test
