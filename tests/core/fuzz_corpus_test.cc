// Every fuzz target over its seeds and the inputs that once crashed it, and mutations of them,
// so that CI runs each target briefly and a fixed finding stays fixed.
#include <gtest/gtest.h>

#include <string>

#include "fuzz/corpus_replay.h"
#include "fuzz/crypt_fuzz_target.h"
#include "fuzz/http_fuzz_target.h"
#include "fuzz/json_fuzz_target.h"
#include "fuzz/recv_fuzz_target.h"
#include "fuzz/wire_fuzz_target.h"

namespace {

const std::string kFuzzDir = std::string(VORTM_SOURCE_DIR) + "/fuzz";

int RecvOne(const uint8_t* data, size_t size) { return vy::RecvFuzzOne(data, size); }

struct TargetCase {
  const char* name;
  fuzz_replay::Target target;
  size_t min_seeds;
};

class FuzzCorpusTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(FuzzCorpusTest, SeedsAndTheirMutationsPassEveryCheck) {
  EXPECT_GE(fuzz_replay::Replay(kFuzzDir, GetParam().name, GetParam().target, 200),
            GetParam().min_seeds);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusTest,
                         ::testing::Values(TargetCase{"recv_fuzz", &RecvOne, 40},
                                           TargetCase{"crypt_fuzz", &vy::CryptFuzzOne, 3},
                                           TargetCase{"http_fuzz", &rtc::HttpFuzzOne, 10},
                                           TargetCase{"json_fuzz", &vy::JsonFuzzOne, 8},
                                           TargetCase{"wire_fuzz", &vy::WireFuzzOne, 12}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecvFuzzCorpus, TheInputsThatCrashedTheReceivePathAreKept) {
  EXPECT_GE(fuzz_replay::ReadCorpus(kFuzzDir, "recv_fuzz", "regressions").size(), 3u);
}

// The recv seeds are what the library itself sends encrypted, so the fuzzer starts past the
// signature, decryption and app id checks instead of having to find its way there.
TEST(RecvFuzzCorpus, EncryptedSeedsAreDecryptedAndRouted) {
  int seeds = 0;
  int decrypted = 0;
  for (const auto& file : fuzz_replay::ReadCorpus(kFuzzDir, "recv_fuzz")) {
    if (file.name.rfind("enc-", 0) != 0) continue;
    ++seeds;
    vy::RecvFuzzPipeline pipeline;
    vy::RecvFuzzOne(reinterpret_cast<const uint8_t*>(file.bytes.data()), file.bytes.size(),
                    &pipeline);
    EXPECT_EQ(1, pipeline.packets) << file.name;
    EXPECT_EQ(1, pipeline.dispatched) << file.name;
    decrypted += pipeline.decrypted;
  }
  // One per command of the routing table (build/fuzz/fuzz/recv_seeds writes them).
  EXPECT_GE(seeds, 40);
  EXPECT_GE(decrypted, seeds - 4);  // four commands have no body to encrypt
}

}  // namespace
