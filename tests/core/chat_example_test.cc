// The vortm-chat example program against an in-process local test service: a message left for
// an offline user, delivered at his login through the offline fetch, and a live reply; its
// usage text, its banner, Ctrl-C and a login elsewhere.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "local_service/local_service.h"
#include "rtc_base/temp_dir.h"
#include "rtm_feature_handlers.h"
#include "rtm_test_client.h"

namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

std::string ChatBinary() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  for (int i = 0; i < 2; ++i) path = path.substr(0, path.rfind('/'));
  return path + "/examples/chat/vortm-chat";
}

class ChatExampleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(ChatBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "vortm-chat is not built";
    std::string error;
    local_service::Options options;
    options.address = "auto";
    svc_ = std::make_unique<local_service::LocalService>(options);
    ASSERT_TRUE(svc_->Start(&error)) << error;
  }

  // Runs vortm-chat with `input` on its standard input; returns its exit status and output.
  // Runs at the same time need their own `name`.
  int Run(const std::string& args, const std::string& input, std::string* output,
          const std::string& name = "chat") {
    std::string in = dir_.File(name + ".in");
    std::string out = dir_.File(name + ".out");
    std::ofstream(in) << input;
    std::string command = ChatBinary() + " --gateway " + svc_->address() + ":7080 " + args + " <" +
                          in + " >" + out + " 2>&1";
    int status = std::system(command.c_str());
    std::ifstream file(out);
    std::stringstream text;
    text << file.rdbuf();
    *output = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Starts vortm-chat reading its input from the pipe returned, for the test to type into as it
  // goes; Finish closes the pipe and returns the exit status and output.
  FILE* Start(const std::string& args, const std::string& name) {
    std::string command = ChatBinary() + " --gateway " + svc_->address() + ":7080 " + args +
                          " >" + dir_.File(name + ".out") + " 2>&1";
    return popen(command.c_str(), "w");
  }
  static void Type(FILE* in, const std::string& text) {
    std::fputs(text.c_str(), in);
    std::fflush(in);
  }
  int Finish(FILE* in, const std::string& name, std::string* output) {
    int status = pclose(in);
    std::ifstream file(dir_.File(name + ".out"));
    std::stringstream text;
    text << file.rdbuf();
    *output = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string ReadOutput(const std::string& name) {
    std::ifstream file(dir_.File(name));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  // Starts vortm-chat as `user` with a pipe on its standard input, left open, and its output in
  // "<user>.out"; waits until it has logged in.
  pid_t StartLoggedIn(const std::string& user, int* input) {
    const std::string program = ChatBinary();
    const std::string gateway = svc_->address() + ":7080";
    const std::string out = dir_.File(user + ".out");
    const char* argv[] = {program.c_str(), "--gateway", gateway.c_str(), "--user", user.c_str(),
                          nullptr};
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || dup2(in[0], 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
      execv(program.c_str(), const_cast<char* const*>(argv));
      _exit(127);
    }
    close(in[0]);
    *input = in[1];
    if (!rtm_test::Eventually([&] {
          return ReadOutput(user + ".out").find("* logged in\n") != std::string::npos;
        })) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    return pid;
  }

  // The exit status of `pid`, waiting up to 10 s; -1 when it did not exit by itself.
  static int ExitStatus(pid_t pid) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
      }
      usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  vy_test::TempDir dir_;
  std::unique_ptr<local_service::LocalService> svc_;
};

TEST_F(ChatExampleTest, HelpPrintsEveryOptionWithItsDefaultOnStandardOutput) {
  std::string command =
      ChatBinary() + " --help >" + dir_.File("help.out") + " 2>" + dir_.File("help.err");
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  std::string help = ReadOutput("help.out");
  EXPECT_EQ("", ReadOutput("help.err"));
  for (const char* text :
       {"--user NAME", "--token TOKEN", "(default: demo-token)", "--app-id ID",
        "(default: 0123456789abcdef0123456789abcdef)", "--help", "/msg PEER TEXT", "/sleep MS",
        "/wait", "/quit", "Ctrl-C logs out"}) {
    EXPECT_THAT(help, HasSubstr(text));
  }
  EXPECT_THAT(help, ContainsRegex("--gateway HOST:PORT +the gateway .*\\(default: [^ ]+:7080"));
}

// The banner shows on a terminal: `script` gives the chat one.
TEST_F(ChatExampleTest, BannerOnATerminalListsEveryCommandOfTheUsage) {
  std::ofstream(dir_.File("tty.in")) << "/quit\n";
  std::string chat = ChatBinary() + " --gateway " + svc_->address() + ":7080 --user alice";
  std::string command = "script -q -e -c '" + chat + "' /dev/null <" + dir_.File("tty.in") +
                        " >" + dir_.File("tty.out") + " 2>&1";
  ASSERT_EQ(0, std::system(command.c_str())) << ReadOutput("tty.out");
  std::string banner = ReadOutput("tty.out");
  ASSERT_THAT(banner, HasSubstr("[alice] * commands: "));
  std::string help;
  Run("--help", "", &help);
  // The usage's command list, each command as the usage names it.
  size_t start = help.find("standard input:\n  ") + std::string("standard input:\n  ").size();
  std::stringstream commands(help.substr(start, help.find('\n', start) - start));
  int listed = 0;
  for (std::string command; std::getline(commands, command, ',');) {
    command.erase(0, command.find_first_not_of(' '));
    EXPECT_THAT(banner, HasSubstr(command));
    ++listed;
  }
  EXPECT_GE(listed, 13);
}

TEST_F(ChatExampleTest, CtrlCLogsOutBeforeExiting) {
  int input = -1;
  pid_t chat = StartLoggedIn("alice", &input);
  ASSERT_GT(chat, 0) << ReadOutput("alice.out");
  ASSERT_EQ(0, kill(chat, SIGINT));
  EXPECT_EQ(130, ExitStatus(chat));
  close(input);
  EXPECT_TRUE(svc_->WaitForCommand("alice", "Logout", 1, 5000));
  std::string out = ReadOutput("alice.out");
  EXPECT_THAT(out, HasSubstr("[alice] * interrupted: logging out\n"));
  EXPECT_THAT(out, HasSubstr("[alice] * disconnected (logout)\n"));
}

TEST_F(ChatExampleTest, LoginElsewhereIsSaidAndEndsTheChat) {
  int input = -1;
  pid_t chat = StartLoggedIn("alice", &input);
  ASSERT_GT(chat, 0) << ReadOutput("alice.out");
  // Once the service has read what the chat sent, its close cannot turn into a reset that
  // would discard the "ForceOffline" before it.
  ASSERT_TRUE(svc_->WaitForCommand("alice", "KeepAlive", 1, 10000));
  ASSERT_TRUE(svc_->Kick("alice"));
  EXPECT_EQ(4, ExitStatus(chat));
  close(input);
  std::string out = ReadOutput("alice.out");
  EXPECT_THAT(out, HasSubstr("[alice] * aborted (logged in elsewhere)\n"));
  EXPECT_THAT(out, HasSubstr("[alice] * logged in elsewhere: this chat ends\n"));
}

TEST_F(ChatExampleTest, MessageForAnOfflineUserArrivesAtHisLogin) {
  std::string alice;
  ASSERT_EQ(0, Run("--user alice", "/msg bob Hello while you are away\n/quit\n", &alice));
  EXPECT_THAT(alice, HasSubstr("[alice] * logged in\n"));
  EXPECT_THAT(alice, HasSubstr("to bob: peer offline, stored by the service\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] * disconnected (logout)\n"));

  std::string bob;
  ASSERT_EQ(0, Run("--user bob", "/sleep 200\n/msg carol not stored?\n/wait\n", &bob));
  EXPECT_THAT(bob, HasSubstr("[bob] <- alice (offline): Hello while you are away\n"));
  EXPECT_THAT(bob, HasSubstr("to carol: peer offline, stored by the service\n"));
}

TEST_F(ChatExampleTest, BadArgumentsAndRefusedLoginsEndWithTheirStatus) {
  std::string out;
  EXPECT_EQ(2, Run("", "", &out));
  EXPECT_THAT(out, HasSubstr("usage: vortm-chat"));
  EXPECT_EQ(2, Run("--user a --app-id short", "", &out));
  EXPECT_EQ(1, Run("--user a --token bad", "", &out));
  EXPECT_THAT(out, HasSubstr("[a] * login failed, code 3\n"));
  EXPECT_EQ(0, Run("--user a", "hello\n/msg\n", &out));
  EXPECT_THAT(out, HasSubstr("[a] * unknown command: hello\n"));
  EXPECT_THAT(out, HasSubstr("[a] * usage: /msg PEER TEXT\n"));
  EXPECT_THAT(out, Not(HasSubstr("message #")));
}

TEST_F(ChatExampleTest, PresenceAndAttributeCommandsPrintTheirResults) {
  rtm_test::Client bob(*svc_, "bob");
  ASSERT_TRUE(bob.Login());
  vy::rtm::RtmAttribute attributes[] = {{"size", "L"}, {"color", "blue"}};
  long long id = 0;
  ASSERT_EQ(0, bob->setLocalUserAttributes(attributes, 2, id));
  ASSERT_TRUE(bob.log.WaitForId(rtm_test::Event::kAttributeResult, id));
  // Bob leaves once alice has subscribed, while she waits.
  std::thread leaver([&] {
    if (rtm_test::Eventually(
            [&] { return !svc_->Subscriptions(rtm_test::kAppId, "alice").empty(); }))
      bob->logout();
  });
  std::string alice;
  int status = Run("--user alice",
                   "/status bob carol\n/attr get bob\n/sub bob\n/wait\n/sleep 1500\n/unsub bob\n"
                   "/attr set mood=happy x=1\n/attr get alice\n/status\n/attr set novalue\n",
                   &alice);
  leaver.join();
  EXPECT_EQ(0, status) << alice;
  EXPECT_THAT(alice, HasSubstr("[alice] bob is online\n[alice] carol is offline\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] attributes of bob: color=blue size=L\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] subscription to bob: done\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] * bob is now offline\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] unsubscription from bob: done\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] attributes set: done\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] attributes of alice: mood=happy x=1\n"));
  EXPECT_THAT(alice, HasSubstr("[alice] * usage: /status PEER..."));
}

// Bob answers the invitation he is waiting for while alice's chat calls him.
TEST_F(ChatExampleTest, CallsAreAnsweredAcrossTwoChats) {
  for (const char* answer : {"accept", "refuse"}) {
    SCOPED_TRACE(answer);
    std::string bob;
    int bob_status = -1;
    std::thread callee([&] {
      bob_status = Run("--user bob", std::string("/") + answer + "\n/wait\n/quit\n", &bob, "bob");
    });
    for (int i = 0; i < 10000 && !svc_->IsOnline("bob"); ++i) usleep(1000);
    std::string alice;
    EXPECT_EQ(0, Run("--user alice", "/call bob\n/wait\n/call nobody\n/wait\n/cancel\n/quit\n",
                     &alice, "alice"));
    callee.join();
    EXPECT_EQ(0, bob_status);
    EXPECT_THAT(alice, HasSubstr("[alice] call to bob: ringing\n"));
    EXPECT_THAT(bob, HasSubstr("[bob] call from alice: ringing ()\n"));
    if (answer[0] == 'a') {
      EXPECT_THAT(alice, HasSubstr("[alice] call to bob: accepted ()\n"));
      EXPECT_THAT(bob, HasSubstr("[bob] call from alice: accepted\n"));
    } else {
      EXPECT_THAT(alice, HasSubstr("[alice] call to bob: refused ()\n"));
      EXPECT_THAT(bob, HasSubstr("[bob] call from alice: refused\n"));
    }
    EXPECT_THAT(alice, HasSubstr("[alice] call to nobody: failed, code 1\n"));
    EXPECT_THAT(alice, HasSubstr("[alice] * cancel refused, code 3\n"));
  }
  for (const std::string& warning : svc_->Warnings()) {
    EXPECT_THAT(warning, Not(HasSubstr("names FromUId")));
  }
}

// Alice's chat joins bob's channel, hears him, lists the members, talks and leaves.
TEST_F(ChatExampleTest, ChannelMembersTalkAndAreListed) {
  rtm_test::Client bob(*svc_, "bob");
  ASSERT_TRUE(bob.Login());
  rtm_test::ChannelLog bob_room;
  vy::rtm::IChannel* room = bob->createChannel("room", &bob_room);
  ASSERT_EQ(0, room->join());
  ASSERT_TRUE(bob_room.WaitFor(rtm_test::ChannelEvent::kJoinSuccess));
  FILE* alice = Start("--user alice", "alice");
  ASSERT_NE(nullptr, alice);
  Type(alice, "/join room\n/wait\n");
  ASSERT_TRUE(rtm_test::Eventually(
      [&] { return svc_->ChannelMembers(rtm_test::kAppId, "room").size() == 2; }));
  // Answered only after the server has passed it on: alice's later answers come after it.
  vy::rtm::IMessage* hi = bob->createMessage("hi alice");
  ASSERT_EQ(0, room->sendMessage(hi));
  hi->release();
  ASSERT_TRUE(bob_room.WaitFor(rtm_test::ChannelEvent::kSendResult));
  Type(alice, "/members room\n/say room hello bob\n/wait\n/leave room\n/wait\n/leave room\n");
  std::string out;
  EXPECT_EQ(3, Finish(alice, "alice", &out));  // the second leave is refused
  EXPECT_THAT(out, HasSubstr("[alice] #room: joined\n"));
  EXPECT_THAT(out, HasSubstr("[alice] #room <- bob: hi alice\n"));
  EXPECT_THAT(out, HasSubstr("[alice] #room members: bob alice\n"));
  EXPECT_THAT(out, ::testing::ContainsRegex(R"(\[alice\] #room message #[0-9]+: sent)"));
  EXPECT_THAT(out, HasSubstr("[alice] #room: left\n"));
  EXPECT_THAT(out, HasSubstr("[alice] * leave room refused, code 3\n"));
  ASSERT_TRUE(bob_room.WaitFor(rtm_test::ChannelEvent::kMessage));
  EXPECT_EQ("hello bob", bob_room.Of(rtm_test::ChannelEvent::kMessage)[0].text);
  EXPECT_EQ("alice", bob_room.Of(rtm_test::ChannelEvent::kMessage)[0].user);
  room->release();
}

}  // namespace
