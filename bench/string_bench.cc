// Throughput of hex encoding and decoding, number formatting, the builders and wildcard
// matching.
#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "rtc_base/strings/string_builder.h"
#include "rtc_base/strings/string_encode.h"
#include "rtc_base/strings/string_utils.h"

namespace {

std::string RandomBytes(size_t n) {
  std::mt19937 rng(7);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

void BM_HexEncode(benchmark::State& state) {
  const std::string src = RandomBytes(state.range(0));
  for (auto _ : state) {
    std::string out = rtc::hex_encode(src);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * src.size());
}
BENCHMARK(BM_HexEncode)->Arg(20)->Arg(1024)->Arg(64 * 1024);

void BM_HexEncodeWithDelimiter(benchmark::State& state) {
  const std::string src = RandomBytes(state.range(0));
  for (auto _ : state) {
    std::string out = rtc::hex_encode_with_delimiter(src.data(), src.size(), ':');
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * src.size());
}
BENCHMARK(BM_HexEncodeWithDelimiter)->Arg(32)->Arg(64 * 1024);

void BM_HexDecode(benchmark::State& state) {
  const std::string hex = rtc::hex_encode(RandomBytes(state.range(0)));
  std::vector<char> out(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(rtc::hex_decode(out.data(), out.size(), hex));
  }
  state.SetBytesProcessed(state.iterations() * out.size());
}
BENCHMARK(BM_HexDecode)->Arg(1024)->Arg(64 * 1024);

void BM_ToStringInt(benchmark::State& state) {
  int64_t i = 1234567890123;
  for (auto _ : state) {
    std::string s = rtc::ToString(static_cast<long long>(i++));
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(BM_ToStringInt);

// For comparison only: std::to_chars does the same without the printf machinery.
void BM_ToCharsInt(benchmark::State& state) {
  int64_t i = 1234567890123;
  for (auto _ : state) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof(buf), i++);
    std::string s(buf, r.ptr);
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(BM_ToCharsInt);

// An address text as the socket layer builds it.
void BM_SimpleStringBuilderAddress(benchmark::State& state) {
  for (auto _ : state) {
    char buf[64];
    rtc::SimpleStringBuilder sb(buf);
    sb << "192.168.100.200" << ':' << 8080;
    benchmark::DoNotOptimize(sb.str());
  }
}
BENCHMARK(BM_SimpleStringBuilderAddress);

void BM_StringBuilderLogLine(benchmark::State& state) {
  const std::string user = "user-42";
  for (auto _ : state) {
    rtc::StringBuilder sb;
    sb << "(tcp_client.cc:120): "
       << "connected to " << user << " after " << 35 << " ms, rtt " << 1.25;
    benchmark::DoNotOptimize(sb.str().data());
  }
}
BENCHMARK(BM_StringBuilderLogLine);

// The proxy bypass list matches host names against short patterns.
void BM_StringMatchBypass(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(rtc::string_match("gateway.service.example.lan", "*.lan"));
  }
}
BENCHMARK(BM_StringMatchBypass);

// The worst case the memoised matcher keeps polynomial: many stars over a long host.
void BM_StringMatchManyStars(benchmark::State& state) {
  const std::string target(255, 'a');
  const std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*a*b";
  for (auto _ : state) {
    benchmark::DoNotOptimize(rtc::string_match(target.c_str(), pattern.c_str()));
  }
}
BENCHMARK(BM_StringMatchManyStars);

}  // namespace
