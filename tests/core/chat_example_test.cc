// The vortm-chat example program against an in-process local test service: its usage and bad
// arguments, Ctrl-C and a login elsewhere, and a channel talk with a client of the library's
// own.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "rtc_base/temp_dir.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::HasSubstr;

std::string ChatBinary() {
  std::string path = SelfPath();
  for (int i = 0; i < 2; ++i) path = path.substr(0, path.rfind('/'));
  return path + "/examples/chat/vortm-chat";
}

class ChatExampleTest : public ServiceTest {
 protected:
  void SetUp() override {
    if (access(ChatBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "vortm-chat is not built";
    ServiceTest::SetUp();
  }
  void TearDown() override {
    for (auto& [user, chat] : chats_) {
      if (chat.pid > 0 && Finish(user) == -1) ADD_FAILURE() << user << " did not exit";
      if (chat.input >= 0) close(chat.input);
    }
    ServiceTest::TearDown();
  }
  std::string Output(const std::string& user) { return ReadFile(dir_.File(user + ".out")); }
  // Starts vortm-chat with `args` reading what Type writes, its output in "<user>.out".
  void Start(const std::string& user, std::vector<std::string> args) {
    const std::string program = ChatBinary(), gateway = svc_.address() + ":7080";
    const std::string out = dir_.File(user + ".out");
    args.insert(args.begin(), {program, "--gateway", gateway});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int in[2];
    ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || dup2(in[0], 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    chats_[user] = {pid, in[1]};
  }
  // Starts `user`'s chat and waits until it has logged in.
  bool LogIn(const std::string& user) {
    Start(user, {"--user", user});
    return Says(user, "* logged in\n");
  }
  // Runs a chat with `args` and `input` to its end; its exit status.
  int Run(const std::vector<std::string>& args, const std::string& input = "") {
    Start("run", args);
    Type("run", input);
    return Finish("run");
  }
  void Type(const std::string& user, const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(chats_[user].input, text.data(), text.size()));
  }
  bool Says(const std::string& user, const std::string& text) {
    return Eventually([&] { return Output(user).find(text) != std::string::npos; });
  }
  // Ends `user`'s input unless `keep_input`; the chat's exit status, or -1 when it did not exit
  // within 10 s.
  int Finish(const std::string& user, bool keep_input = false) {
    Chat& chat = chats_[user];
    if (chat.input >= 0 && !keep_input) close(chat.input);
    chat.input = keep_input ? chat.input : -1;
    int status = 0;
    if (!Eventually([&] { return waitpid(chat.pid, &status, WNOHANG) == chat.pid; })) {
      kill(chat.pid, SIGKILL);
      waitpid(chat.pid, &status, 0);
      status = -1;
    }
    chat.pid = 0;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  struct Chat {
    pid_t pid = 0;
    int input = -1;
  };
  std::map<std::string, Chat> chats_;
  vy_test::TempDir dir_;
};

TEST_F(ChatExampleTest, UsageAndBadArgumentsEndWithTheirStatus) {
  EXPECT_EQ(2, Run({}));
  EXPECT_THAT(Output("run"), HasSubstr("usage: vortm-chat"));
  EXPECT_EQ(1, Run({"--user", "a", "--token", "bad"}));
  EXPECT_THAT(Output("run"), HasSubstr("[a] * login failed, code 3\n"));
  EXPECT_EQ(0, Run({"--user", "a"}, "hello\n/msg\n"));
  EXPECT_THAT(Output("run"), HasSubstr("[a] * unknown command: hello\n[a] * usage: /msg PEER TEXT\n"));
}

TEST_F(ChatExampleTest, CtrlCLogsOutAndALoginElsewhereEndsTheChat) {
  ASSERT_TRUE(LogIn("alice")) << Output("alice");
  ASSERT_TRUE(LogIn("bob")) << Output("bob");
  ASSERT_EQ(0, kill(chats_["alice"].pid, SIGINT));
  EXPECT_EQ(130, Finish("alice", true));
  EXPECT_TRUE(svc_.WaitForCommand("alice", "Logout", 1, 5000));
  EXPECT_THAT(Output("alice"),
              HasSubstr("[alice] * interrupted: logging out\n[alice] * disconnected (logout)\n"));
  // Once the service has read what the chat sent, its close cannot turn into a reset that
  // would discard the "ForceOffline" before it.
  ASSERT_TRUE(svc_.WaitForCommand("bob", "KeepAlive", 1, 10000));
  ASSERT_TRUE(svc_.Kick("bob"));
  EXPECT_EQ(4, Finish("bob", true));
  EXPECT_THAT(Output("bob"), HasSubstr("[bob] * aborted (logged in elsewhere)\n"
                                       "[bob] * logged in elsewhere: this chat ends\n"));
}

// Alice's chat joins bob's channel, hears him, lists the members, talks and leaves.
TEST_F(ChatExampleTest, ChannelMembersTalkAndAreListed) {
  Client bob(svc_, "bob");
  ASSERT_TRUE(bob.Login());
  ASSERT_TRUE(bob.Join());
  ASSERT_TRUE(LogIn("alice"));
  Type("alice", "/join room\n/wait\n");
  ASSERT_TRUE(Says("alice", "[alice] #room: joined\n"));
  ASSERT_EQ(rtm::CHANNEL_MESSAGE_ERR_OK, bob.room.ResultOf(bob.Say("hi alice")));
  ASSERT_TRUE(Says("alice", "[alice] #room <- bob: hi alice\n"));
  Type("alice", "/members room\n/say room hello bob\n/wait\n/leave room\n/wait\n/leave room\n");
  EXPECT_EQ(3, Finish("alice"));  // the second leave is refused
  const std::string out = Output("alice");
  EXPECT_THAT(out, HasSubstr("[alice] #room members: bob alice\n"));
  EXPECT_THAT(out, ::testing::ContainsRegex(R"(\[alice\] #room message #[0-9]+: sent)"));
  EXPECT_THAT(out, HasSubstr("[alice] #room: left\n[alice] * leave room refused, code 3\n"));
  ASSERT_TRUE(bob.room.WaitFor(Event::kMessage));
  EXPECT_EQ("alice hello bob", bob.room.Of(Event::kMessage).at(0).peer + " " +
                                   bob.room.Of(Event::kMessage).at(0).text);
}

}  // namespace
}  // namespace rtm_test
