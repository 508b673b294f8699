// The library never writes to the app's standard output or error. A whole session runs in a
// child process whose two streams go to files; both must stay empty. The runtime's own lines
// go to the library's log once setLogFile has opened one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "rtc_base/temp_dir.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

// Set in the child: "<service address> <HTTP port> <directory>".
constexpr char kChildVariable[] = "VORTM_QUIET_OUTPUT_CHILD";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Login refused by the gateway, two logins, a delivered and a stored message, the log file
// opened half-way, logouts and releases. Returns 0 when every step gave its result.
int RunSession(const std::string& address, int port, const std::string& dir) {
  EventLog alice_log, bob_log;
  rtm::IRtmService* alice = createRtmService();
  rtm::IRtmService* bob = createRtmService();
  if (alice->initialize(kAppId, &alice_log) != 0) return 10;
  if (bob->initialize(kAppId, &bob_log) != 0) return 11;
  const std::string params = GatewayParams(address, port);
  alice->setParameters(params.c_str());
  bob->setParameters(params.c_str());
  // The parent's gateway refuses the first login.
  if (alice->login("t", "alice") != 0 || !alice_log.WaitFor(Event::kLoginFailure)) return 12;
  if (alice->login("t", "alice") != 0 || !alice_log.WaitFor(Event::kLoginSuccess)) return 13;
  if (bob->setLogFile(dir.c_str()) != 0) return 14;
  if (bob->login("t", "bob") != 0 || !bob_log.WaitFor(Event::kLoginSuccess)) return 15;
  rtm::IMessage* message = alice->createMessage("hello");
  alice->sendMessageToPeer("bob", message);
  message->release();
  if (!bob_log.WaitFor(Event::kMessage) || !alice_log.WaitFor(Event::kSendResult)) return 16;
  rtm::SendMessageOptions stored;
  stored.enableOfflineMessaging = true;
  message = alice->createMessage("later");
  alice->sendMessageToPeer("carol", message, stored);
  message->release();
  if (!alice_log.WaitFor(Event::kSendResult, 2)) return 17;
  alice->logout();
  bob->logout();
  alice->release(true);
  bob->release(true);
  return 0;
}

TEST(QuietOutputTest, FullSessionWritesNothingToStandardOutputOrError) {
  if (const char* spec = getenv(kChildVariable)) {
    std::istringstream in(spec);
    std::string address, dir;
    int port = 0;
    in >> address >> port >> dir;
    // From here on, whatever reaches the two streams came from the library.
    fflush(stdout);
    fflush(stderr);
    int out = open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(2);
    int code = RunSession(address, port, dir);
    fflush(stdout);
    fflush(stderr);
    _exit(code);
  }
  local_service::LocalService svc(ServiceOptions());
  std::string error;
  ASSERT_TRUE(svc.Start(&error)) << error;
  svc.SetGatewayMode(local_service::GatewayMode::kCode, 7, 1);
  vy_test::TempDir dir;
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  std::string command = std::string(kChildVariable) + "='" + svc.address() + " " +
                        std::to_string(svc.http_port()) + " " + dir.path() + "' " + self +
                        " --gtest_filter=QuietOutputTest.* >/dev/null 2>&1";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("", ReadFile(dir.File("stdout")));
  EXPECT_EQ("", ReadFile(dir.File("stderr")));
  // Runtime lines from after setLogFile are in the log, at their own level.
  std::string log = ReadFile(dir.File("vy_rtm_sdk.log"));
  EXPECT_THAT(log, ContainsRegex(R"(\[info\] \([0-9:]+\); \(async_http_request\.cc:[0-9]+\): )"
                                 "HttpRequest completed successfully\n"));
  EXPECT_THAT(log, Not(HasSubstr("\n\n")));
}

}  // namespace
}  // namespace rtm_test
