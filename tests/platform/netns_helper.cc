#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "netns.h"

namespace vortm {
namespace test {
namespace {

constexpr char kInNetnsVariable[] = "VORTM_PLATFORM_IN_NETNS";

std::string SelfPath() {
  std::string self(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  self.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return self;
}

}  // namespace

bool InPrivateNetns() {
  return getenv(kInNetnsVariable) != nullptr;
}

bool Shell(const std::string& commands) {
  int status = system(commands.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RerunInPrivateNetns(const std::string& setup, bool asNobody) {
  if (!Shell("unshare -n true >/dev/null 2>&1")) {
    GTEST_SKIP() << "no network namespaces here";
  }
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string(info->test_suite_name()) + "." + info->name();
  std::string log = testing::TempDir() + "netns-" + std::to_string(getpid()) + ".log";
  std::string run = SelfPath() + " --gtest_filter=" + filter;
  if (asNobody) run = "setpriv --reuid=65534 --regid=65534 --clear-groups " + run;
  std::string inner = "ip link set lo up";
  if (!setup.empty()) inner += " && " + setup;
  inner += " && exec " + run;
  std::string command = std::string(kInNetnsVariable) + "=1 unshare -n sh -c '" + inner + "' >" +
                        log + " 2>&1";
  bool ok = Shell(command);
  std::ifstream in(log);
  std::stringstream output;
  output << in.rdbuf();
  unlink(log.c_str());
  EXPECT_TRUE(ok) << "in the private network namespace:\n" << output.str();
}

}  // namespace test
}  // namespace vortm
