#include "rtc_base/stream.h"

#include <errno.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "rtc_base/event.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/thread.h"
#include "temp_dir.h"

namespace rtc {
namespace {

TEST(MemoryStreamTest, GrowsOnlyWhenFullAndNeverPastItsCapOrTheAddressSpace) {
  MemoryStream stream;
  char data[10] = {0};
  size_t written = 0;
  // Writes 1 to 25 fit in the first 256 bytes; the 26th stores the 6 bytes left.
  for (int i = 1; i <= 25; ++i) {
    ASSERT_EQ(SR_SUCCESS, stream.Write(data, 10, &written, nullptr));
  }
  ASSERT_EQ(SR_SUCCESS, stream.Write(data, 10, &written, nullptr));
  EXPECT_EQ(6u, written);
  // Exactly full, it doubles.
  ASSERT_EQ(SR_SUCCESS, stream.Write(data, 10, &written, nullptr));
  EXPECT_EQ(10u, written);

  MemoryStream capped;
  capped.set_max_size(300);
  std::string big(1000, 'z');
  int error = 0;
  EXPECT_EQ(SR_ERROR, capped.WriteAll(big.data(), big.size(), &written, &error));
  EXPECT_EQ(300u, written);
  EXPECT_EQ(EFBIG, error);

  MemoryStream full("full");
  full.SetPosition(4);
  written = 7;
  // The data is never read: the size alone is refused.
  EXPECT_EQ(SR_ERROR, full.Write("x", SIZE_MAX - 2, &written, &error));
  EXPECT_EQ(7u, written);
  EXPECT_FALSE(full.ReserveSize(SIZE_MAX - 4));
}

TEST(StreamTest, ReadLineKeepsCarriageReturnAndEndsAtEndOfStream) {
  MemoryStream stream("ab\r\ncd");
  std::string line;
  EXPECT_EQ(SR_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("ab\r", line);
  EXPECT_EQ(SR_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("cd", line);
  EXPECT_EQ(SR_EOS, stream.ReadLine(&line));
  EXPECT_TRUE(line.empty());
}

// Accepts a given number of bytes, then blocks.
class BlockingSink : public StreamInterface {
 public:
  explicit BlockingSink(size_t limit) : limit_(limit) {}
  StreamState GetState() const override { return SS_OPEN; }
  StreamResult Read(void*, size_t, size_t*, int*) override { return SR_EOS; }
  StreamResult Write(const void* data, size_t len, size_t* written, int*) override {
    size_t n = std::min(len, limit_ - received.size());
    if (n == 0)
      return SR_BLOCK;
    received.append(static_cast<const char*>(data), n);
    if (written)
      *written = n;
    return SR_SUCCESS;
  }
  void Close() override {}
  size_t limit_;
  std::string received;
};

TEST(StreamTest, FlowKeepsUnwrittenBytesAtTheStartOfTheBuffer) {
  MemoryStream source("0123456789abcdef");
  BlockingSink sink(5);
  char buffer[8];
  size_t data_len = 0;
  EXPECT_EQ(SR_BLOCK, Flow(&source, buffer, sizeof(buffer), &sink, &data_len));
  EXPECT_EQ("01234", sink.received);
  ASSERT_EQ(3u, data_len);
  EXPECT_EQ("567", std::string(buffer, 3));
  sink.limit_ = 100;
  EXPECT_EQ(SR_SUCCESS, Flow(&source, buffer, sizeof(buffer), &sink, &data_len));
  EXPECT_EQ("0123456789abcdef", sink.received);
}

class ThreadRecorder : public sigslot::has_slots<> {
 public:
  void OnEvent(StreamInterface*, int events, int err) {
    this->events = events;
    this->err = err;
    on_thread = Thread::Current();
    done.Set();
  }
  int events = 0;
  int err = 0;
  Thread* on_thread = nullptr;
  Event done;
};

// A posted event arrives on the loop, never inline, on the thread it is posted to; a stream
// destroyed first takes its queued events with it.
TEST(StreamTest, PostedEventsArriveOnTheirThreadOrGoWithTheirStream) {
  Thread* current = ThreadManager::Instance()->WrapCurrentThread();
  NullStream stream;
  ThreadRecorder here;
  stream.SignalEvent.connect(&here, &ThreadRecorder::OnEvent);
  stream.PostEvent(SE_READ | SE_WRITE, 7);
  EXPECT_EQ(0, here.events);
  current->ProcessMessages(0);
  EXPECT_EQ(SE_READ | SE_WRITE, here.events);
  EXPECT_EQ(7, here.err);

  std::unique_ptr<Thread> other = Thread::Create();
  ASSERT_TRUE(other->Start());
  ThreadRecorder there;
  stream.SignalEvent.connect(&there, &ThreadRecorder::OnEvent);
  stream.PostEvent(other.get(), SE_CLOSE, 3);
  ASSERT_TRUE(there.done.Wait(10000));
  EXPECT_EQ(other.get(), there.on_thread);
  other->Stop();

  ThreadRecorder dropped;
  {
    NullStream gone;
    gone.SignalEvent.connect(&dropped, &ThreadRecorder::OnEvent);
    gone.PostEvent(SE_READ, 0);
  }
  current->ProcessMessages(0);
  EXPECT_EQ(0, dropped.events);
  ThreadManager::Instance()->UnwrapCurrentThread();
}

TEST(FileStreamTest, WritesReadsAndLocksAgainstAnotherProcess) {
  vy_test::TempDir dir;
  const std::string path = dir.File("file");
  FileStream file;
  int error = 0;
  EXPECT_FALSE(file.Open(dir.File("missing/x"), "rb", &error));
  EXPECT_EQ(ENOENT, error);
  ASSERT_TRUE(file.Open(path, "w+b", &error));
  size_t count = 0;
  EXPECT_EQ(SR_SUCCESS, file.WriteAll("hello world", 11, &count, nullptr));
  size_t size = 0;
  // Bytes still buffered by stdio count.
  EXPECT_TRUE(file.GetSize(&size));
  EXPECT_EQ(11u, size);
  EXPECT_TRUE(file.SetPosition(6));
  char buffer[16];
  EXPECT_EQ(SR_EOS, file.ReadAll(buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ("world", std::string(buffer, count));

  // util-linux flock is an independent locker.
  const std::string held = "flock -n " + path + " true";
  ASSERT_TRUE(file.TryLock());
  EXPECT_NE(0, system(held.c_str()));
  EXPECT_TRUE(file.Unlock());
  EXPECT_EQ(0, system(held.c_str()));
}

}  // namespace
}  // namespace rtc
