// Appending to Buffer and the byte writer against std::vector, and the cost of copying a
// CopyOnWriteBuffer.
#include <cstdint>
#include <vector>

#include "benchmark/benchmark.h"
#include "rtc_base/strings/buffer.h"
#include "rtc_base/strings/byte_buffer.h"
#include "rtc_base/strings/copy_on_write_buffer.h"

namespace {

// Appends chunks of state.range(0) bytes until 64 KiB are written, starting empty each time.
// The total stays below malloc's mmap threshold, so the figures show the containers rather
// than page faults of fresh mappings.
constexpr size_t kTotal = 64 << 10;

std::vector<uint8_t> Chunk(size_t n) { return std::vector<uint8_t>(n, 0x5a); }

void BM_BufferAppend(benchmark::State& state) {
  const auto chunk = Chunk(state.range(0));
  for (auto _ : state) {
    rtc::Buffer buf;
    for (size_t done = 0; done < kTotal; done += chunk.size()) {
      buf.AppendData(chunk.data(), chunk.size());
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_BufferAppend)->Arg(1)->Arg(16)->Arg(256)->Arg(4096);

void BM_VectorInsert(benchmark::State& state) {
  const auto chunk = Chunk(state.range(0));
  for (auto _ : state) {
    std::vector<uint8_t> buf;
    for (size_t done = 0; done < kTotal; done += chunk.size()) {
      buf.insert(buf.end(), chunk.begin(), chunk.end());
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_VectorInsert)->Arg(1)->Arg(16)->Arg(256)->Arg(4096);

void BM_ByteWriterWriteBytes(benchmark::State& state) {
  const std::vector<char> chunk(state.range(0), 'x');
  for (auto _ : state) {
    rtc::ByteBufferWriter w;
    for (size_t done = 0; done < kTotal; done += chunk.size()) {
      w.WriteBytes(chunk.data(), chunk.size());
    }
    benchmark::DoNotOptimize(w.Data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_ByteWriterWriteBytes)->Arg(1)->Arg(16)->Arg(256)->Arg(4096);

// A send buffer that is cleared and refilled keeps its capacity: the steady state.
void BM_BufferAppendReused(benchmark::State& state) {
  const auto chunk = Chunk(state.range(0));
  rtc::Buffer buf;
  for (auto _ : state) {
    buf.Clear();
    for (size_t done = 0; done < kTotal; done += chunk.size()) {
      buf.AppendData(chunk.data(), chunk.size());
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_BufferAppendReused)->Arg(16)->Arg(256);

void BM_VectorInsertReused(benchmark::State& state) {
  const auto chunk = Chunk(state.range(0));
  std::vector<uint8_t> buf;
  for (auto _ : state) {
    buf.clear();
    for (size_t done = 0; done < kTotal; done += chunk.size()) {
      buf.insert(buf.end(), chunk.begin(), chunk.end());
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_VectorInsertReused)->Arg(16)->Arg(256);

void BM_ByteWriterWriteUInt32(benchmark::State& state) {
  for (auto _ : state) {
    rtc::ByteBufferWriter w;
    for (uint32_t i = 0; i < kTotal / 4; ++i) w.WriteUInt32(i);
    benchmark::DoNotOptimize(w.Data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_ByteWriterWriteUInt32);

void BM_VectorInsertUInt32BigEndian(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<uint8_t> v;
    v.reserve(4096);
    for (uint32_t i = 0; i < kTotal / 4; ++i) {
      const uint8_t b[4] = {static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
                            static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
      v.insert(v.end(), b, b + 4);
    }
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_VectorInsertUInt32BigEndian);

// One copy and one destruction: an atomic increment and an acq_rel decrement.
void BM_CopyOnWriteBufferCopy(benchmark::State& state) {
  static rtc::CopyOnWriteBuffer* shared = nullptr;
  if (state.thread_index() == 0) shared = new rtc::CopyOnWriteBuffer(size_t{1500});
  // Every thread waits here until thread 0 has set up the buffer.
  for (auto _ : state) {
    rtc::CopyOnWriteBuffer copy(*shared);
    benchmark::DoNotOptimize(copy.cdata());
  }
  if (state.thread_index() == 0) {
    delete shared;
    shared = nullptr;
  }
}
BENCHMARK(BM_CopyOnWriteBufferCopy)->ThreadRange(1, 4)->UseRealTime();

// For comparison: what a deep copy of the same 1500 bytes costs.
void BM_BufferDeepCopy(benchmark::State& state) {
  rtc::Buffer src(size_t{1500});
  for (auto _ : state) {
    rtc::Buffer copy(src.data(), src.size());
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_BufferDeepCopy);

// A write to a shared buffer pays for the private copy.
void BM_CopyOnWriteBufferCopyThenWrite(benchmark::State& state) {
  rtc::CopyOnWriteBuffer shared(size_t{1500});
  for (auto _ : state) {
    rtc::CopyOnWriteBuffer copy(shared);
    copy.data()[0] = 1;
    benchmark::DoNotOptimize(copy.cdata());
  }
}
BENCHMARK(BM_CopyOnWriteBufferCopyThenWrite);

}  // namespace
