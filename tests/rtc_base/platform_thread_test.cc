#include "rtc_base/platform_thread.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "rtc_base/event.h"

namespace rtc {
namespace {

struct RunRecord {
  int calls = 0;
  char name[32] = {};
  PlatformThreadRef ref;
  PlatformThreadId id = 0;
  int policy = -1;
};

void Record(void* arg) {
  auto* record = static_cast<RunRecord*>(arg);
  ++record->calls;
  pthread_getname_np(pthread_self(), record->name, sizeof(record->name));
  record->ref = CurrentThreadRef();
  record->id = CurrentThreadId();
  struct sched_param param;
  pthread_getschedparam(pthread_self(), &record->policy, &param);
}

TEST(PlatformThreadTest, RunsItsFunctionWithItsArgumentAndStopJoins) {
  RunRecord record;
  PlatformThread thread(&Record, &record, "a_rather_long_thread_name", kHighestPriority);
  EXPECT_FALSE(thread.IsRunning());
  thread.Stop();  // Not started: nothing happens.
  thread.Start();
  EXPECT_TRUE(thread.IsRunning());
  const PlatformThreadRef ref = thread.GetThreadRef();
  thread.Stop();
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(record.calls, 1);
  EXPECT_TRUE(IsThreadRefEqual(record.ref, ref));
  EXPECT_FALSE(IsThreadRefEqual(record.ref, CurrentThreadRef()));
  EXPECT_NE(record.id, CurrentThreadId());
  // Linux keeps 15 characters of a thread name.
  EXPECT_STREQ(record.name, "a_rather_long_t");
  // Priorities below real-time keep the normal time-sharing policy.
  EXPECT_EQ(record.policy, SCHED_OTHER);
  EXPECT_EQ(thread.name(), "a_rather_long_thread_name");
}

TEST(PlatformThreadTest, CurrentThreadIdIsTheKernelThreadId) {
  EXPECT_EQ(CurrentThreadId(), static_cast<PlatformThreadId>(syscall(SYS_gettid)));
  SetCurrentThreadName("short");
  char name[32];
  pthread_getname_np(pthread_self(), name, sizeof(name));
  EXPECT_STREQ(name, "short");
}

TEST(PlatformThreadTest, ForkedChildReportsItsOwnThreadId) {
  const PlatformThreadId parent_id = CurrentThreadId();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const PlatformThreadId id = CurrentThreadId();
    const bool ok = id == static_cast<PlatformThreadId>(syscall(SYS_gettid)) && id != parent_id;
    const char result = ok ? 'y' : 'n';
    (void)!write(fds[1], &result, 1);
    _exit(0);
  }
  char result = 0;
  EXPECT_EQ(read(fds[0], &result, 1), 1);
  EXPECT_EQ(result, 'y');
  close(fds[0]);
  close(fds[1]);
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace
}  // namespace rtc
