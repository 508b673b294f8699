// The vortm-chat example program against an in-process local test service: its usage text and
// banner, bad arguments, Ctrl-C and a login elsewhere, and each family of commands talking to
// another chat or a client of the library's own.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "rtc_base/temp_dir.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::HasSubstr;

std::string ChatBinary() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
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
      if (chat.input >= 0) close(chat.input);
      if (chat.pid > 0 && ExitStatus(user) == -1) ADD_FAILURE() << user << " did not exit";
    }
    ServiceTest::TearDown();
  }
  std::string Output(const std::string& name) {
    std::ifstream file(dir_.File(name));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  // Runs vortm-chat with `args` and `input` on its standard input; its exit status.
  int Run(const std::string& args, const std::string& input, const std::string& name = "chat") {
    std::ofstream(dir_.File(name + ".in")) << input;
    std::string command = ChatBinary() + " --gateway " + svc_.address() + ":7080 " + args + " <" +
                          dir_.File(name + ".in") + " >" + dir_.File(name + ".out") + " 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Starts vortm-chat as `user` reading what Type writes, its output in "<user>.out", and
  // waits until it has logged in.
  bool Start(const std::string& user) {
    const std::string program = ChatBinary(), gateway = svc_.address() + ":7080";
    const std::string out = dir_.File(user + ".out");
    const char* argv[] = {program.c_str(), "--gateway", gateway.c_str(), "--user", user.c_str(),
                          nullptr};
    unlink(out.c_str());  // what an earlier chat of the user printed
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || dup2(in[0], 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
      execv(program.c_str(), const_cast<char* const*>(argv));
      _exit(127);
    }
    close(in[0]);
    chats_[user] = {pid, in[1]};
    return Says(user, "* logged in\n");
  }
  void Type(const std::string& user, const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(chats_[user].input, text.data(), text.size()));
  }
  // Waits until `user`'s chat has printed `text`.
  bool Says(const std::string& user, const std::string& text) {
    return Eventually([&] { return Output(user + ".out").find(text) != std::string::npos; });
  }
  // The exit status of `user`'s chat, waiting up to 10 s; -1 when it did not exit by itself.
  int ExitStatus(const std::string& user) {
    Chat& chat = chats_[user];
    int status = 0;
    if (!Eventually([&] { return waitpid(chat.pid, &status, WNOHANG) == chat.pid; })) {
      kill(chat.pid, SIGKILL);
      waitpid(chat.pid, &status, 0);
      status = -1;
    }
    chat.pid = 0;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Ends `user`'s input; the chat's exit status.
  int Finish(const std::string& user) {
    close(chats_[user].input);
    chats_[user].input = -1;
    return ExitStatus(user);
  }

  struct Chat {
    pid_t pid = 0;
    int input = -1;
  };
  std::map<std::string, Chat> chats_;
  vy_test::TempDir dir_;
};

TEST_F(ChatExampleTest, UsageBannerAndBadArgumentsEndWithTheirStatus) {
  std::string command = ChatBinary() + " --help >" + dir_.File("help.out") + " 2>" + dir_.File("help.err");
  ASSERT_EQ(0, std::system(command.c_str()));
  const std::string help = Output("help.out");
  EXPECT_EQ("", Output("help.err"));
  for (const char* text : {"--user NAME", "--token TOKEN", "(default: demo-token)", "--app-id ID",
                           "(default: 0123456789abcdef0123456789abcdef)", "Ctrl-C logs out"}) {
    EXPECT_THAT(help, HasSubstr(text));
  }
  EXPECT_THAT(help, ::testing::ContainsRegex("--gateway HOST:PORT +the gateway .*\\(default: [^ ]+:7080"));
  // The banner shows on a terminal (`script` gives the chat one) and lists every command of
  // the usage.
  std::ofstream(dir_.File("tty.in")) << "/quit\n";
  std::string chat = ChatBinary() + " --gateway " + svc_.address() + ":7080 --user alice";
  command = "script -q -e -c '" + chat + "' /dev/null <" + dir_.File("tty.in") + " >" +
            dir_.File("tty.out") + " 2>&1";
  ASSERT_EQ(0, std::system(command.c_str())) << Output("tty.out");
  const std::string banner = Output("tty.out");
  ASSERT_THAT(banner, HasSubstr("[alice] * commands: "));
  size_t start = help.find("standard input:\n  ") + std::string("standard input:\n  ").size();
  std::stringstream commands(help.substr(start, help.find('\n', start) - start));
  int listed = 0;
  for (std::string name; std::getline(commands, name, ','); ++listed) {
    EXPECT_THAT(banner, HasSubstr(name.erase(0, name.find_first_not_of(' '))));
  }
  EXPECT_GE(listed, 13);

  EXPECT_EQ(2, Run("", ""));
  EXPECT_THAT(Output("chat.out"), HasSubstr("usage: vortm-chat"));
  EXPECT_EQ(2, Run("--user a --app-id short", ""));
  EXPECT_EQ(1, Run("--user a --token bad", ""));
  EXPECT_THAT(Output("chat.out"), HasSubstr("[a] * login failed, code 3\n"));
  EXPECT_EQ(0, Run("--user a", "hello\n/msg\n"));
  EXPECT_THAT(Output("chat.out"), HasSubstr("[a] * unknown command: hello\n[a] * usage: /msg PEER TEXT\n"));
}

TEST_F(ChatExampleTest, CtrlCLogsOutAndALoginElsewhereEndsTheChat) {
  ASSERT_TRUE(Start("alice")) << Output("alice.out");
  ASSERT_TRUE(Start("bob")) << Output("bob.out");
  ASSERT_EQ(0, kill(chats_["alice"].pid, SIGINT));
  EXPECT_EQ(130, ExitStatus("alice"));
  EXPECT_TRUE(svc_.WaitForCommand("alice", "Logout", 1, 5000));
  EXPECT_THAT(Output("alice.out"),
              HasSubstr("[alice] * interrupted: logging out\n[alice] * disconnected (logout)\n"));
  // Once the service has read what the chat sent, its close cannot turn into a reset that
  // would discard the "ForceOffline" before it.
  ASSERT_TRUE(svc_.WaitForCommand("bob", "KeepAlive", 1, 10000));
  ASSERT_TRUE(svc_.Kick("bob"));
  EXPECT_EQ(4, ExitStatus("bob"));
  EXPECT_THAT(Output("bob.out"), HasSubstr("[bob] * aborted (logged in elsewhere)\n"
                                       "[bob] * logged in elsewhere: this chat ends\n"));
}

// Alice's chat joins bob's channel, hears him, lists the members, talks and leaves.
TEST_F(ChatExampleTest, ChannelMembersTalkAndAreListed) {
  Client bob(svc_, "bob");
  ASSERT_TRUE(bob.Login());
  ASSERT_TRUE(bob.Join());
  ASSERT_TRUE(Start("alice"));
  Type("alice", "/join room\n/wait\n");
  ASSERT_TRUE(Says("alice", "[alice] #room: joined\n"));
  ASSERT_EQ(rtm::CHANNEL_MESSAGE_ERR_OK, bob.room.ResultOf(bob.Say("hi alice")));
  ASSERT_TRUE(Says("alice", "[alice] #room <- bob: hi alice\n"));
  Type("alice", "/members room\n/say room hello bob\n/wait\n/leave room\n/wait\n/leave room\n");
  EXPECT_EQ(3, Finish("alice"));  // the second leave is refused
  const std::string out = Output("alice.out");
  EXPECT_THAT(out, HasSubstr("[alice] #room members: bob alice\n"));
  EXPECT_THAT(out, ::testing::ContainsRegex(R"(\[alice\] #room message #[0-9]+: sent)"));
  EXPECT_THAT(out, HasSubstr("[alice] #room: left\n[alice] * leave room refused, code 3\n"));
  ASSERT_TRUE(bob.room.WaitFor(Event::kMessage));
  EXPECT_EQ("hello bob", bob.room.Of(Event::kMessage).at(0).text);
  EXPECT_EQ("alice", bob.room.Of(Event::kMessage).at(0).peer);
}

}  // namespace
}  // namespace rtm_test
