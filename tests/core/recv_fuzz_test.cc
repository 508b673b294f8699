// Runs the receive fuzz target over mutated valid traffic, so the gcc builds exercise it too.
// The inputs kept under fuzz/ are replayed by fuzz_corpus_test.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzz/recv_fuzz_target.h"

namespace vy {

namespace {

std::string ValidStream(std::mt19937& rng) {
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey,
                             "0123456789abcdef0123456789abcdef");
  RecvFuzzPipeline framer;
  std::string stream;
  for (int i = 0; i < 8; ++i) {
    const char* name = CommandRouter::kCommandNames[rng() % CommandRouter::kCommandCount];
    std::string body = R"({"MsgId":12,"Code":0,"Status":[{"UserId":"u","Online":true}],)"
                       R"("Members":["a","b"],"FromUId":"x","Attribs":"{\"a\":\"1\"}",)"
                       R"("Attributes":"[{\"Key\":\"k\",\"Val\":\"v\",\"Time\":1}]"})";
    std::string envelope;
    BuildEnvelope(name, rng() % 4 == 0 ? "" : body, rng() % 3 == 0 ? nullptr : &crypt, nullptr,
                  1733500000000, &envelope);
    char header[5];
    framer.WritePktLength(header, static_cast<int>(envelope.size()));
    stream += std::string(header, 5) + envelope;
  }
  return stream;
}

TEST(RecvFuzz, MutatedTrafficNeverCrashesOrHangs) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    std::string input(1, static_cast<char>(rng()));
    input += ValidStream(rng);
    int flips = static_cast<int>(rng() % 6);
    for (int f = 0; f < flips; ++f) {
      size_t pos = rng() % input.size();
      switch (rng() % 3) {
        case 0: input[pos] = static_cast<char>(rng()); break;
        case 1: input.erase(pos, rng() % 16); break;
        default: input.insert(pos, std::string(rng() % 8, static_cast<char>(rng()))); break;
      }
      if (input.empty()) input = "#";
    }
    RecvFuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  }
}

TEST(RecvFuzz, RandomBytesNeverCrashOrHang) {
  std::mt19937 rng(777);
  for (int round = 0; round < 300; ++round) {
    std::string input(rng() % 4096, '\0');
    for (char& c : input) c = static_cast<char>(rng());
    if (!input.empty() && rng() % 2) input[1 % input.size()] = '#';
    RecvFuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  }
}

}  // namespace

}  // namespace vy
