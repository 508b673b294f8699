#include "rtc_base/critical_section.h"

#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace rtc {
namespace {

bool TryEnterOnOtherThread(const CriticalSection& cs) {
  bool entered = false;
  std::thread other([&] {
    entered = cs.TryEnter();
    if (entered) cs.Leave();
  });
  other.join();
  return entered;
}

TEST(CriticalSectionTest, RecursiveEntryNeedsAsManyLeavesBeforeAnotherThreadGetsIt) {
  CriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  EXPECT_FALSE(TryEnterOnOtherThread(cs));
  cs.Leave();
  EXPECT_FALSE(TryEnterOnOtherThread(cs));
  EXPECT_TRUE(cs.CurrentThreadIsOwner());
  cs.Leave();
  EXPECT_FALSE(cs.CurrentThreadIsOwner());
  EXPECT_TRUE(TryEnterOnOtherThread(cs));
}

TEST(CriticalSectionTest, CurrentThreadIsOwnerIsFalseOnOtherThreads) {
  CriticalSection cs;
  CritScope scope(&cs);
  bool other_is_owner = true;
  std::thread other([&] { other_is_owner = cs.CurrentThreadIsOwner(); });
  other.join();
  EXPECT_FALSE(other_is_owner);
  EXPECT_TRUE(cs.CurrentThreadIsOwner());
}

TEST(CriticalSectionTest, CritScopeExcludesOtherThreads) {
  CriticalSection cs;
  int counter = 0;  // Guarded by cs.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        CritScope scope(&cs);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

GlobalLockPod g_static_lock;  // Zero-initialised before any constructor runs.

TEST(GlobalLockTest, SpinLockExcludesOtherThreadsAndUnlockOfAFreeLockDoesNothing) {
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        GlobalLockScope scope(&g_static_lock);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8000);
  EXPECT_EQ(g_static_lock.lock_acquired.load(), 0);
  g_static_lock.Unlock();
  EXPECT_EQ(g_static_lock.lock_acquired.load(), 0);
  GlobalLock lock;
  lock.Lock();
  EXPECT_EQ(lock.lock_acquired.load(), 1);
  lock.Unlock();
  EXPECT_EQ(lock.lock_acquired.load(), 0);
}

}  // namespace
}  // namespace rtc
