// Runs a test inside a private network namespace: the test binary runs itself again under
// `unshare -n` with only that test selected, after shell commands that prepare the namespace.
#ifndef TESTS_PLATFORM_NETNS_H_
#define TESTS_PLATFORM_NETNS_H_

#include <string>

namespace vortm {
namespace test {

// True inside the namespace made by RerunInPrivateNetns.
bool InPrivateNetns();

// Runs the current test again in a new network namespace whose loopback is up, after `setup`
// (shell commands, run as root there). With `asNobody` the test then runs as uid/gid 65534.
// Skips the test where namespaces cannot be made; fails it when the run inside fails.
void RerunInPrivateNetns(const std::string& setup, bool asNobody = false);

// Runs shell commands; true when they exit with 0.
bool Shell(const std::string& commands);

// Lets any group open ICMP datagram sockets, and the kernel's default that lets none.
inline constexpr char kAllowPing[] = "echo 0 2147483647 > /proc/sys/net/ipv4/ping_group_range";
inline constexpr char kForbidPing[] = "echo 1 0 > /proc/sys/net/ipv4/ping_group_range";

}  // namespace test
}  // namespace vortm

// Outside the namespace, runs the test there and returns; inside, goes on with the test body.
#define VORTM_RUN_IN_PRIVATE_NETNS(...)              \
  if (!::vortm::test::InPrivateNetns()) {            \
    ::vortm::test::RerunInPrivateNetns(__VA_ARGS__); \
    return;                                          \
  }

#endif  // TESTS_PLATFORM_NETNS_H_
