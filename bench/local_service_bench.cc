// The local test service must never be what limits an end-to-end benchmark: forwarded peer
// messages per second and the round trip of one message, measured with raw clients.
#include <benchmark/benchmark.h>

#include "bench/bench_service.h"

namespace {

using bench_service::Ack;
using bench_service::BenchClient;
using bench_service::Message;
using bench_service::Pair;

// One message: send, forward, ack, status.
void BM_PeerMessageRoundTrip(benchmark::State& state) {
  Pair p;
  if (!p.ok) {
    state.SkipWithError("service did not start");
    return;
  }
  int64_t id = 0;
  for (auto _ : state) {
    ++id;
    p.alice.Command("SendMsgToPeer", Message(id));
    if (p.bob.Next() != "RecvMsgFromPeer") break;
    p.bob.Command("RecvMsgFromPeerAck", Ack(id));
    if (p.alice.Next() != "MsgStatus") break;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PeerMessageRoundTrip)->UseRealTime();

// Batches of messages in flight at once: forwarded messages per second.
void BM_PeerMessageThroughput(benchmark::State& state) {
  Pair p;
  if (!p.ok) {
    state.SkipWithError("service did not start");
    return;
  }
  const int batch = static_cast<int>(state.range(0));
  int64_t id = 0;
  for (auto _ : state) {
    int64_t first = id + 1;
    for (int i = 0; i < batch; ++i) p.alice.Command("SendMsgToPeer", Message(++id));
    for (int i = 0; i < batch; ++i) {
      if (p.bob.Next() != "RecvMsgFromPeer") return state.SkipWithError("lost a message");
      p.bob.Command("RecvMsgFromPeerAck", Ack(first + i));
    }
    for (int i = 0; i < batch; ++i) {
      if (p.alice.Next() != "MsgStatus") return state.SkipWithError("lost a status");
    }
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PeerMessageThroughput)->Arg(100)->UseRealTime();

}  // namespace
