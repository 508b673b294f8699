#include <string>

#include "benchmark/benchmark.h"
#include "rtc_base/base/logging.h"

namespace {

// The cost every runtime log site pays once the platform layer has silenced the log.
void BM_SilencedLogStatement(benchmark::State& state) {
  if (state.thread_index() == 0) rtc::LogMessage::LogToDebug(rtc::LS_NONE);
  std::string text = "argument that is never formatted";
  int value = 0;
  for (auto _ : state) {
    RTC_LOG(LS_INFO) << "value " << ++value << " text " << text;
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(value);
  if (state.thread_index() == 0) rtc::LogMessage::LogToDebug(rtc::LS_INFO);
}
BENCHMARK(BM_SilencedLogStatement)->ThreadRange(1, 8)->UseRealTime();

class NullSink : public rtc::LogSink {
 public:
  void OnLogMessage(const std::string& message) override { benchmark::DoNotOptimize(message); }
};

// A line that is built and handed to a sink, without the console write.
void BM_EnabledLogLineToSink(benchmark::State& state) {
  NullSink sink;
  rtc::LogMessage::SetLogToStderr(false);
  rtc::LogMessage::AddLogToStream(&sink, rtc::LS_VERBOSE);
  int value = 0;
  for (auto _ : state) {
    RTC_LOG(LS_INFO) << "value " << ++value << " text " << 1.5;
  }
  rtc::LogMessage::RemoveLogToStream(&sink);
  rtc::LogMessage::SetLogToStderr(true);
}
BENCHMARK(BM_EnabledLogLineToSink);

void BM_LogMultilineTextToSink(benchmark::State& state) {
  NullSink sink;
  rtc::LogMessage::SetLogToStderr(false);
  rtc::LogMessage::AddLogToStream(&sink, rtc::LS_VERBOSE);
  std::string traffic;
  for (int i = 0; i < 64; ++i) traffic += "Header-" + std::to_string(i) + ": some value text\r\n";
  for (auto _ : state) {
    rtc::LogMultiline(rtc::LS_INFO, "bench", false, traffic.data(), traffic.size(), false, nullptr);
  }
  state.SetBytesProcessed(state.iterations() * traffic.size());
  rtc::LogMessage::RemoveLogToStream(&sink);
  rtc::LogMessage::SetLogToStderr(true);
}
BENCHMARK(BM_LogMultilineTextToSink);

}  // namespace
