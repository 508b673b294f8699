// The TCP client's two buffers under the loads a hostile server causes: acks piling up in the
// send buffer while the flush waits, and large packets arriving in 64 KB reads. Each beside
// its baseline (std::string appends, one memcpy of the same bytes).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "core/js_buffer.h"
#include "core/x_send_buffer.h"

namespace vy {
namespace {

constexpr int kAcks = 80000;
constexpr size_t kAckBytes = 293;

void BM_SendBufferAppendAcks(benchmark::State& state) {
  std::string frame(kAckBytes, 'a');
  for (auto _ : state) {
    XSendBuffer buffer;
    for (int i = 0; i < kAcks; ++i) buffer.Append(frame.data(), frame.size());
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * kAcks * static_cast<int64_t>(kAckBytes));
}
BENCHMARK(BM_SendBufferAppendAcks)->Unit(benchmark::kMillisecond);

void BM_StringAppendAcks(benchmark::State& state) {
  std::string frame(kAckBytes, 'a');
  for (auto _ : state) {
    std::string buffer;
    for (int i = 0; i < kAcks; ++i) buffer.append(frame);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * kAcks * static_cast<int64_t>(kAckBytes));
}
BENCHMARK(BM_StringAppendAcks)->Unit(benchmark::kMillisecond);

class Sink : public JSBuffer {
 public:
  Sink() : JSBuffer(true) {}
  void OnRecvMessage(const char* payload, int length) override {
    benchmark::DoNotOptimize(payload);
    bytes += static_cast<size_t>(length);
  }
  size_t bytes = 0;
};

std::string Frame(size_t payload) {
  Sink framer;
  char header[JSBuffer::kHashHeaderSize];
  int n = framer.WritePktLength(header, static_cast<int>(payload));
  return std::string(header, static_cast<size_t>(n)) + std::string(payload, 'p');
}

// A 16 MB packet in 64 KB reads, three times in a row.
void BM_ReceiveLargePackets(benchmark::State& state) {
  const std::string stream = Frame(16u * 1024 * 1024 - 16);
  for (auto _ : state) {
    Sink sink;
    for (int round = 0; round < 3; ++round) {
      for (size_t pos = 0; pos < stream.size(); pos += 65535) {
        size_t n = std::min<size_t>(65535, stream.size() - pos);
        sink.RecvData(stream.data() + pos, static_cast<int>(n));
      }
    }
    benchmark::DoNotOptimize(sink.bytes);
  }
  state.SetBytesProcessed(state.iterations() * 3 * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_ReceiveLargePackets)->Unit(benchmark::kMillisecond);

void BM_MemcpyLargePackets(benchmark::State& state) {
  const std::string stream = Frame(16u * 1024 * 1024 - 16);
  std::string copy(stream.size(), '\0');
  for (auto _ : state) {
    for (int round = 0; round < 3; ++round) {
      std::memcpy(copy.data(), stream.data(), stream.size());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(state.iterations() * 3 * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_MemcpyLargePackets)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vy
