// The wire texts of presence and attribute requests: a 512-peer subscription body, and the
// largest attribute replies (32 values of 8 KB) read into their values, each against the bare
// work it cannot avoid (copying the ids' bytes once; parsing the reply's text once).
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "core/json_util.h"
#include "core/request_wire.h"

namespace vy {
namespace {

std::vector<std::string> PeerIds() {
  std::vector<std::string> ids;
  for (int i = 0; i < 512; ++i) ids.push_back("user-" + std::to_string(100000 + i));
  return ids;
}

void BM_SubscribeBody512(benchmark::State& state) {
  std::vector<std::string> ids = PeerIds();
  std::vector<const char*> pointers;
  for (const std::string& id : ids) pointers.push_back(id.c_str());
  for (auto _ : state) {
    std::string body =
        RequestBody(1733500000123).Str("UserIds", BuildStringListText(pointers.data(), 512)).Take();
    benchmark::DoNotOptimize(body.data());
  }
}
BENCHMARK(BM_SubscribeBody512);

// Baseline: every id's bytes appended once, with its quotes and comma.
void BM_Baseline_AppendIds512(benchmark::State& state) {
  std::vector<std::string> ids = PeerIds();
  for (auto _ : state) {
    std::string text = "[";
    for (const std::string& id : ids) {
      text += '"';
      text += id;
      text += "\",";
    }
    text += ']';
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_Baseline_AppendIds512);

std::string UserAttribs() {
  std::vector<std::pair<std::string, std::string>> owned;
  for (int i = 0; i < 32; ++i)
    owned.emplace_back("key" + std::to_string(i), std::string(8191, 'v'));
  std::vector<AttributeView> views(owned.begin(), owned.end());
  return BuildAttributesText(views);
}

std::string ChannelAttributes() {
  std::string text = "[";
  for (int i = 0; i < 32; ++i) {
    text += std::string(i == 0 ? "" : ",") + R"({"Key":"key)" + std::to_string(i) + R"(","Val":")" +
            std::string(8191, 'v') + R"(","UId":"alice","Time":1733500000123})";
  }
  return text + "]";
}

void BM_ReadUserAttributes(benchmark::State& state) {
  const std::string text = UserAttribs();
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t skipped = 0;
  for (auto _ : state) {
    ReadUserAttributes(text, &pairs, &skipped);
    benchmark::DoNotOptimize(pairs.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadUserAttributes);

void BM_ReadChannelAttributes(benchmark::State& state) {
  const std::string text = ChannelAttributes();
  std::vector<ChannelAttributeEntry> entries;
  size_t skipped = 0;
  for (auto _ : state) {
    ReadChannelAttributeText(text, &entries, &skipped);
    benchmark::DoNotOptimize(entries.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadChannelAttributes);

// Baseline: the reply's text parsed once in place, nothing copied out.
void BM_Baseline_ParseAttributes(benchmark::State& state) {
  const std::string text = ChannelAttributes();
  for (auto _ : state) {
    JsonStr copy(text.data(), static_cast<int>(text.size()));
    rapidjson::Document doc;
    benchmark::DoNotOptimize(ParseJsonInsitu(copy, doc));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Baseline_ParseAttributes);

}  // namespace
}  // namespace vy
