#include "rtc_base/stream.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/event.h"
#include "rtc_base/logging.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

size_t DataLength(MemoryStream& stream) {
  // The growth rule is observable through how much a write stores.
  size_t size = 0;
  stream.GetSize(&size);
  return size;
}

TEST(MemoryStreamTest, GrowsOnlyWhenExactlyFull) {
  MemoryStream stream;
  char data[10] = {0};
  size_t written = 0;
  // Writes 1 to 25 fit in the first 256 bytes.
  for (int i = 1; i <= 25; ++i) {
    ASSERT_EQ(SR_SUCCESS, stream.Write(data, 10, &written, nullptr));
    ASSERT_EQ(10u, written);
  }
  // The 26th finds 6 free bytes and stores only those.
  ASSERT_EQ(SR_SUCCESS, stream.Write(data, 10, &written, nullptr));
  EXPECT_EQ(6u, written);
  EXPECT_EQ(256u, DataLength(stream));
  // The 27th finds the buffer exactly full and doubles it to 512.
  ASSERT_EQ(SR_SUCCESS, stream.Write(data, 10, &written, nullptr));
  EXPECT_EQ(10u, written);
  EXPECT_TRUE(stream.ReserveSize(512));
  std::vector<char> fill(512 - 266, 'f');
  ASSERT_EQ(SR_SUCCESS,
            stream.Write(fill.data(), fill.size() + 100, &written, nullptr));
  EXPECT_EQ(fill.size(), written);  // Exactly 512, no growth mid-write.
}

TEST(MemoryStreamTest, FirstLargeWriteReservesToTheNext256) {
  MemoryStream stream;
  std::string data(300, 'a');
  size_t written = 0;
  ASSERT_EQ(SR_SUCCESS, stream.Write(data.data(), 300, &written, nullptr));
  EXPECT_EQ(300u, written);
  // 212 bytes remain before the buffer is full at 512.
  ASSERT_EQ(SR_SUCCESS, stream.Write(data.data(), 300, &written, nullptr));
  EXPECT_EQ(212u, written);
}

TEST(MemoryStreamTest, WriteAllFillsAcrossGrowth) {
  MemoryStream stream;
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i % 251);
  size_t written = 0;
  ASSERT_EQ(SR_SUCCESS,
            stream.WriteAll(data.data(), data.size(), &written, nullptr));
  EXPECT_EQ(data.size(), written);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(stream.GetBuffer()) % 16);
  EXPECT_EQ(data, std::string(stream.GetBuffer(), data.size()));
}

TEST(MemoryStreamTest, PositionBoundsAndReadingAtTheEnd) {
  MemoryStream stream("hello");
  size_t position = 99;
  EXPECT_FALSE(stream.SetPosition(6));
  EXPECT_TRUE(stream.GetPosition(&position));
  EXPECT_EQ(0u, position);
  EXPECT_TRUE(stream.SetPosition(3));
  size_t available = 0;
  EXPECT_TRUE(stream.GetAvailable(&available));
  EXPECT_EQ(2u, available);
  char buffer[10];
  size_t read = 0;
  EXPECT_EQ(SR_EOS, stream.ReadAll(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(2u, read);
  EXPECT_EQ("lo", std::string(buffer, read));
  EXPECT_EQ(SR_EOS, stream.Read(buffer, 1, &read, nullptr));
  EXPECT_EQ(SR_SUCCESS, stream.ReadAll(buffer, 0, &read, nullptr));
  EXPECT_EQ(0u, read);
}

TEST(MemoryStreamTest, SetDataFromItsOwnBufferIsSafe) {
  MemoryStream stream("0123456789");
  stream.SetData(stream.GetBuffer() + 2, 5);
  size_t size = 0;
  stream.GetSize(&size);
  EXPECT_EQ(5u, size);
  EXPECT_EQ("23456", std::string(stream.GetBuffer(), 5));
}

TEST(MemoryStreamTest, CappedStreamRefusesToGrowPastItsCap) {
  MemoryStream stream;
  stream.set_max_size(300);
  std::string data(1000, 'z');
  size_t written = 0;
  int error = 0;
  EXPECT_EQ(SR_ERROR, stream.WriteAll(data.data(), data.size(), &written,
                                      &error));
  EXPECT_EQ(300u, written);  // Growth stops exactly at the cap.
  EXPECT_EQ(EFBIG, error);
  EXPECT_FALSE(stream.ReserveSize(301));
  EXPECT_TRUE(stream.ReserveSize(300));
}

TEST(MemoryStreamTest, ExternalStreamAnswersEndOfStreamWhenFull) {
  char buffer[8];
  ExternalMemoryStream stream(buffer, sizeof(buffer));
  size_t written = 0;
  EXPECT_EQ(SR_SUCCESS, stream.Write("abcdefgh", 8, &written, nullptr));
  EXPECT_EQ(8u, written);
  EXPECT_EQ(SR_EOS, stream.Write("i", 1, &written, nullptr));
  EXPECT_EQ("abcdefgh", std::string(buffer, 8));
  EXPECT_FALSE(stream.ReserveSize(9));
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
  StreamResult Read(void*, size_t, size_t*, int*) override { return SR_BLOCK; }
  StreamResult Write(const void* data, size_t len, size_t* written,
                     int*) override {
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

  // Resuming with the held bytes delivers everything in order.
  sink.limit_ = 100;
  EXPECT_EQ(SR_SUCCESS,
            Flow(&source, buffer, sizeof(buffer), &sink, &data_len));
  EXPECT_EQ(0u, data_len);
  EXPECT_EQ("0123456789abcdef", sink.received);
}

TEST(StreamTest, FlowStartsWithBytesAlreadyInTheBuffer) {
  MemoryStream source("tail");
  std::string out;
  StringStream sink(&out);
  char buffer[16] = "head";
  size_t data_len = 4;
  EXPECT_EQ(SR_SUCCESS, Flow(&source, buffer, sizeof(buffer), &sink,
                             &data_len));
  EXPECT_EQ("headtail", out);
}

TEST(StreamTest, StringStreamReadsAndAppends) {
  std::string text = "abc";
  StringStream writable(&text);
  size_t count = 0;
  EXPECT_EQ(SR_SUCCESS, writable.Write("de", 2, &count, nullptr));
  EXPECT_EQ("abcde", text);
  char buffer[8];
  EXPECT_EQ(SR_SUCCESS, writable.Read(buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ("abcde", std::string(buffer, count));
  // Unlike the other streams, a read of 0 bytes answers end of stream.
  writable.SetPosition(0);
  EXPECT_EQ(SR_EOS, writable.Read(buffer, 0, &count, nullptr));

  const std::string fixed = "ro";
  StringStream read_only(fixed);
  int error = 0;
  EXPECT_EQ(SR_ERROR, read_only.Write("x", 1, &count, &error));
  EXPECT_EQ(-1, error);
  EXPECT_FALSE(read_only.ReserveSize(10));
}

TEST(StreamTest, NullStreamSwallowsWritesAndFailsReads) {
  NullStream stream;
  size_t count = 0;
  EXPECT_EQ(SR_SUCCESS, stream.Write(nullptr, 1 << 30, &count, nullptr));
  EXPECT_EQ(size_t{1} << 30, count);
  int error = 0;
  char c;
  EXPECT_EQ(SR_ERROR, stream.Read(&c, 1, &count, &error));
  EXPECT_EQ(-1, error);
}

// Fails every write with a given error after accepting some bytes.
class FailingSink : public BlockingSink {
 public:
  FailingSink() : BlockingSink(3) {}
  StreamResult Write(const void* data, size_t len, size_t* written,
                     int* error) override {
    StreamResult r = BlockingSink::Write(data, len, written, error);
    if (r == SR_BLOCK) {
      if (error)
        *error = 42;
      return SR_ERROR;
    }
    return r;
  }
};

TEST(StreamTest, TapStopsCopyingAfterItsFirstFailure) {
  FailingSink* tap = new FailingSink();
  StreamTap stream(new MemoryStream("abcdef"), tap);
  char buffer[2];
  size_t count = 0;
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(SR_SUCCESS, stream.Read(buffer, sizeof(buffer), &count, nullptr));
  int error = 0;
  EXPECT_EQ(SR_ERROR, stream.GetTapResult(&error));
  EXPECT_EQ(42, error);
  EXPECT_EQ("abc", tap->received);
  tap->limit_ = 100;
  EXPECT_EQ(SR_SUCCESS, stream.Write("zz", 2, &count, nullptr));
  EXPECT_EQ("abc", tap->received);  // The latch holds.
}

class DeletionCounter : public NullStream {
 public:
  explicit DeletionCounter(int* deleted) : deleted_(deleted) {}
  ~DeletionCounter() override { ++*deleted_; }
  int* deleted_;
};

TEST(StreamTest, LastReferenceOnAnyThreadDeletesTheStream) {
  int deleted = 0;
  StreamReference* first = new StreamReference(new DeletionCounter(&deleted));
  std::vector<StreamInterface*> references;
  for (int i = 0; i < 8; ++i)
    references.push_back(first->NewReference());
  std::vector<std::thread> threads;
  for (StreamInterface* ref : references)
    threads.emplace_back([ref] {
      size_t count;
      ref->Write("x", 1, &count, nullptr);
      delete ref;
    });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(0, deleted);
  delete first;
  EXPECT_EQ(1, deleted);
}

class EventRecorder : public sigslot::has_slots<> {
 public:
  void OnEvent(StreamInterface* stream, int events, int err) {
    this->stream = stream;
    this->events = events;
    this->err = err;
  }
  StreamInterface* stream = nullptr;
  int events = 0;
  int err = 0;
};

class EventSource : public NullStream {
 public:
  void Fire(int events, int err) { SignalEvent(this, events, err); }
};

TEST(StreamTest, AdapterReemitsEventsAsItsOwnAndDetaches) {
  EventSource* inner = new EventSource();
  StreamAdapterInterface adapter(inner, true);
  EventRecorder recorder;
  adapter.SignalEvent.connect(&recorder, &EventRecorder::OnEvent);
  inner->Fire(SE_READ, 5);
  EXPECT_EQ(&adapter, recorder.stream);
  EXPECT_EQ(SE_READ, recorder.events);
  EXPECT_EQ(5, recorder.err);
  std::unique_ptr<StreamInterface> detached(adapter.Detach());
  EXPECT_EQ(inner, detached.get());
  recorder.events = 0;
  inner->Fire(SE_WRITE, 0);
  EXPECT_EQ(0, recorder.events);
}

TEST(StreamTest, LoggingAdapterPassesDataAndEventsThrough) {
  MemoryStream* inner = new MemoryStream();
  LoggingAdapter adapter(inner, LS_VERBOSE, "test", false);
  size_t count = 0;
  EXPECT_EQ(SR_SUCCESS, adapter.WriteAll("line one\nline two\n", 18, &count,
                                         nullptr));
  EXPECT_EQ(18u, count);
  inner->SetPosition(0);
  char buffer[32];
  EXPECT_EQ(SR_EOS, adapter.ReadAll(buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ("line one\nline two\n", std::string(buffer, count));
  adapter.Close();
  EXPECT_EQ(SS_OPEN, adapter.GetState());
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

TEST(StreamTest, PostedEventArrivesOnTheLoopNeverInline) {
  Thread* current = ThreadManager::Instance()->WrapCurrentThread();
  NullStream stream;
  ThreadRecorder recorder;
  stream.SignalEvent.connect(&recorder, &ThreadRecorder::OnEvent);
  stream.PostEvent(SE_READ | SE_WRITE, 7);
  EXPECT_EQ(0, recorder.events);
  current->ProcessMessages(0);
  EXPECT_EQ(SE_READ | SE_WRITE, recorder.events);
  EXPECT_EQ(7, recorder.err);
  ThreadManager::Instance()->UnwrapCurrentThread();
}

TEST(StreamTest, PostedEventArrivesOnTheTargetThread) {
  std::unique_ptr<Thread> other = Thread::Create();
  ASSERT_TRUE(other->Start());
  NullStream stream;
  ThreadRecorder recorder;
  stream.SignalEvent.connect(&recorder, &ThreadRecorder::OnEvent);
  stream.PostEvent(other.get(), SE_CLOSE, 3);
  ASSERT_TRUE(recorder.done.Wait(10000));
  EXPECT_EQ(other.get(), recorder.on_thread);
  EXPECT_EQ(SE_CLOSE, recorder.events);
  other->Stop();
}

TEST(StreamTest, EventPostedWithoutAThreadIsDroppedNotFatal) {
  NullStream stream;
  ThreadRecorder recorder;
  stream.SignalEvent.connect(&recorder, &ThreadRecorder::OnEvent);
  std::thread([&] { stream.PostEvent(nullptr, SE_READ, 0); }).join();
  EXPECT_EQ(0, recorder.events);
}

TEST(StreamTest, DestroyedStreamDropsItsQueuedEvents) {
  Thread* current = ThreadManager::Instance()->WrapCurrentThread();
  ThreadRecorder recorder;
  {
    NullStream stream;
    stream.SignalEvent.connect(&recorder, &ThreadRecorder::OnEvent);
    stream.PostEvent(SE_READ, 0);
  }
  current->ProcessMessages(0);
  EXPECT_EQ(0, recorder.events);
  ThreadManager::Instance()->UnwrapCurrentThread();
}

TEST(MemoryStreamTest, GrowthThatWouldOverflowFailsCleanly) {
  MemoryStream stream("full");
  stream.SetPosition(4);
  size_t written = 7;
  int error = 0;
  // The data is never read: the size alone is refused.
  EXPECT_EQ(SR_ERROR,
            stream.Write("x", SIZE_MAX - 2, &written, &error));
  EXPECT_EQ(EFBIG, error);
  EXPECT_EQ(7u, written);
  EXPECT_FALSE(stream.ReserveSize(SIZE_MAX - 4));
}

class LineCollector : public LogSink {
 public:
  LineCollector() { LogMessage::AddLogToStream(this, LS_VERBOSE); }
  ~LineCollector() override { LogMessage::RemoveLogToStream(this); }
  void OnLogMessage(const std::string& message) override {
    text += message;
  }
  std::string text;
};

TEST(StreamTest, LoggingAdapterLogsTrafficAndStateChanges) {
  LineCollector lines;
  EventSource* inner = new EventSource();
  LoggingAdapter adapter(inner, LS_INFO, "conn", false);
  size_t count = 0;
  adapter.Write("GET / HTTP/1.1\r\n", 16, &count, nullptr);
  inner->Fire(SE_OPEN, 0);
  inner->Fire(SE_CLOSE, 5);
  adapter.Close();
  EXPECT_NE(std::string::npos, lines.text.find("[conn] >> GET / HTTP/1.1"));
  EXPECT_NE(std::string::npos, lines.text.find("[conn] Open"));
  EXPECT_NE(std::string::npos, lines.text.find("[conn] Closed with error: 5"));
  EXPECT_NE(std::string::npos, lines.text.find("[conn] Closed locally"));
}

class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vortm_file_stream_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(FileStreamTest, WritesReadsAndReportsSizes) {
  FileStream file;
  size_t count = 0;
  EXPECT_EQ(SS_CLOSED, file.GetState());
  EXPECT_EQ(SR_EOS, file.Write("x", 1, &count, nullptr));
  EXPECT_FALSE(file.GetSize(&count));

  int error = 0;
  ASSERT_TRUE(file.Open(path_, "w+b", &error));
  EXPECT_EQ(SS_OPEN, file.GetState());
  EXPECT_EQ(SR_SUCCESS, file.WriteAll("hello world", 11, &count, nullptr));
  size_t size = 0;
  // Bytes still buffered by stdio count.
  EXPECT_TRUE(file.GetSize(&size));
  EXPECT_EQ(11u, size);
  EXPECT_TRUE(file.SetPosition(6));
  size_t available = 0;
  EXPECT_TRUE(file.GetAvailable(&available));
  EXPECT_EQ(5u, available);
  char buffer[16];
  EXPECT_EQ(SR_EOS, file.ReadAll(buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ("world", std::string(buffer, count));
  file.Close();
  EXPECT_TRUE(FileStream::GetSize(path_, &size));
  EXPECT_EQ(11u, size);

  EXPECT_FALSE(file.Open("/nonexistent-dir/x", "rb", &error));
  EXPECT_EQ(ENOENT, error);
}

TEST_F(FileStreamTest, FlowCopiesAFileExactly) {
  std::string content;
  for (int i = 0; i < 70000; ++i)
    content.push_back(static_cast<char>(i * 31));
  {
    FileStream out;
    ASSERT_TRUE(out.Open(path_, "wb", nullptr));
    size_t count;
    ASSERT_EQ(SR_SUCCESS, out.WriteAll(content.data(), content.size(), &count,
                                       nullptr));
  }
  std::string copy_path = path_ + ".copy";
  {
    FileStream in, out;
    ASSERT_TRUE(in.Open(path_, "rb", nullptr));
    ASSERT_TRUE(out.Open(copy_path, "wb", nullptr));
    char buffer[4096];
    EXPECT_EQ(SR_SUCCESS, Flow(&in, buffer, sizeof(buffer), &out));
  }
  std::string command = "cmp -s " + path_ + " " + copy_path;
  EXPECT_EQ(0, system(command.c_str()));
  unlink(copy_path.c_str());
}

TEST_F(FileStreamTest, TryLockFailsWhileAnotherProcessHoldsTheLock) {
  FileStream file;
  ASSERT_TRUE(file.Open(path_, "r+b", nullptr));
  // util-linux flock is an independent locker.
  std::string held = "flock -n " + path_ + " true";
  EXPECT_EQ(0, system(held.c_str()));
  ASSERT_TRUE(file.TryLock());
  EXPECT_NE(0, system(held.c_str()));
  EXPECT_TRUE(file.Unlock());
  EXPECT_EQ(0, system(held.c_str()));
}

}  // namespace
}  // namespace rtc
