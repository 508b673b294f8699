#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "netns.h"

namespace vortm {
namespace test {

constexpr char kInNetnsVariable[] = "VORTM_PLATFORM_IN_NETNS";

bool InPrivateNetns() { return getenv(kInNetnsVariable) != nullptr; }

bool Shell(const std::string& commands) {
  int status = system(commands.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RerunInPrivateNetns(const std::string& setup, bool asNobody) {
  if (!Shell("unshare -n true >/dev/null 2>&1")) GTEST_SKIP() << "no network namespaces here";
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string log = testing::TempDir() + "netns-" + std::to_string(getpid()) + ".log";
  std::string run = std::filesystem::read_symlink("/proc/self/exe").string() +
                    " --gtest_filter=" + info->test_suite_name() + "." + info->name();
  if (asNobody) run = "setpriv --reuid=65534 --regid=65534 --clear-groups " + run;
  std::string inner = "ip link set lo up" + (setup.empty() ? "" : " && " + setup);
  bool ok = Shell(std::string(kInNetnsVariable) + "=1 unshare -n sh -c '" + inner + " && exec " +
                  run + "' >" + log + " 2>&1");
  std::stringstream output;
  output << std::ifstream(log).rdbuf();
  unlink(log.c_str());
  EXPECT_TRUE(ok) << "in the private network namespace:\n" << output.str();
}

}  // namespace test
}  // namespace vortm
