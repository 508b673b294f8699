// Digest and HMAC throughput of the library against OpenSSL's own one-shot calls, which are
// what `openssl speed -evp sha256` and `openssl speed -hmac sha256` measure:
//   build/release/bench/digest_bench
//   openssl speed -seconds 1 -bytes 64 -evp sha256   (likewise md5, -bytes 16 / 1024 / 16384)
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <string>

#include "benchmark/benchmark.h"
#include "rtc_base/crypto/openssl_digest.h"

namespace {

std::string RandomBytes(size_t n) {
  std::mt19937 rng(7);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

const char* AlgName(int64_t index) {
  return index == 0 ? rtc::DIGEST_MD5 : index == 1 ? rtc::DIGEST_SHA_1 : rtc::DIGEST_SHA_256;
}

const EVP_MD* AlgMethod(int64_t index) {
  return index == 0 ? EVP_md5() : index == 1 ? EVP_sha1() : EVP_sha256();
}

void Args(benchmark::internal::Benchmark* b) {
  for (int alg : {0, 2}) {
    for (int size : {16, 64, 1024, 16384}) b->Args({alg, size});
  }
}

// A new digest object per call, as the name-based forms do.
void BM_ComputeDigest(benchmark::State& state) {
  const std::string data = RandomBytes(state.range(1));
  const char* alg = AlgName(state.range(0));
  unsigned char out[64];
  for (auto _ : state) {
    benchmark::DoNotOptimize(rtc::ComputeDigest(alg, data.data(), data.size(), out, sizeof(out)));
  }
  state.SetBytesProcessed(state.iterations() * data.size());
  state.SetLabel(alg);
}
BENCHMARK(BM_ComputeDigest)->Apply(Args);

void BM_DigestObjectReused(benchmark::State& state) {
  const std::string data = RandomBytes(state.range(1));
  std::unique_ptr<rtc::MessageDigest> digest =
      rtc::MessageDigestFactory::Create(AlgName(state.range(0)));
  unsigned char out[64];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        rtc::ComputeDigest(digest.get(), data.data(), data.size(), out, sizeof(out)));
  }
  state.SetBytesProcessed(state.iterations() * data.size());
  state.SetLabel(AlgName(state.range(0)));
}
BENCHMARK(BM_DigestObjectReused)->Apply(Args);

// Baseline: OpenSSL's one-shot digest.
void BM_EvpDigestBaseline(benchmark::State& state) {
  const std::string data = RandomBytes(state.range(1));
  const EVP_MD* md = AlgMethod(state.range(0));
  unsigned char out[64];
  unsigned int len = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_Digest(data.data(), data.size(), out, &len, md, nullptr));
  }
  state.SetBytesProcessed(state.iterations() * data.size());
  state.SetLabel(AlgName(state.range(0)));
}
BENCHMARK(BM_EvpDigestBaseline)->Apply(Args);

void BM_ComputeHmac(benchmark::State& state) {
  const std::string data = RandomBytes(state.range(1));
  const std::string key = RandomBytes(32);
  const char* alg = AlgName(state.range(0));
  unsigned char out[64];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        rtc::ComputeHmac(alg, key.data(), key.size(), data.data(), data.size(), out, sizeof(out)));
  }
  state.SetBytesProcessed(state.iterations() * data.size());
  state.SetLabel(alg);
}
BENCHMARK(BM_ComputeHmac)->Apply(Args);

// Baseline: OpenSSL's one-shot HMAC.
void BM_OpenSSLHmacBaseline(benchmark::State& state) {
  const std::string data = RandomBytes(state.range(1));
  const std::string key = RandomBytes(32);
  const EVP_MD* md = AlgMethod(state.range(0));
  unsigned char out[64];
  unsigned int len = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(HMAC(md, key.data(), static_cast<int>(key.size()),
                                  reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                                  out, &len));
  }
  state.SetBytesProcessed(state.iterations() * data.size());
  state.SetLabel(AlgName(state.range(0)));
}
BENCHMARK(BM_OpenSSLHmacBaseline)->Apply(Args);

}  // namespace
