// Stream framing in both directions (the reassembler and the send buffer), and the fuzz targets
// over their kept inputs and over mutated traffic.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/js_buffer.h"
#include "core/x_send_buffer.h"
#include "fuzz/corpus_replay.h"
#include "fuzz/crypt_fuzz_target.h"
#include "fuzz/http_fuzz_target.h"
#include "fuzz/json_fuzz_target.h"
#include "fuzz/recv_fuzz_target.h"
#include "fuzz/wire_fuzz_target.h"

namespace vy {
namespace {

// Takes packets in place, as the service does: it scribbles over each payload (an in-situ parse
// does) and may clear the buffer or feed it from inside.
class Buffer : public JSBuffer {
 public:
  explicit Buffer(bool hash = true) : JSBuffer(hash) {}
  void OnRecvMessage(const char*, int) override { ADD_FAILURE() << "copy path taken"; }
  void OnRecvPacket(char* payload, int length) override {
    EXPECT_EQ('\0', payload[length]);
    packets.emplace_back(payload, static_cast<size_t>(length));
    std::memset(payload, 'x', static_cast<size_t>(length));
    if (on_packet) on_packet(packets.size());
  }
  void Feed(const std::string& bytes) { RecvData(bytes.data(), static_cast<int>(bytes.size())); }
  // Through the socket's way in: room reserved in the buffer, then the bytes committed.
  void Read(const std::string& bytes) {
    char* room = ReserveRecv(bytes.size());
    ASSERT_NE(nullptr, room);
    std::memcpy(room, bytes.data(), bytes.size());
    CommitRecv(bytes.size());
  }
  std::vector<std::string> packets;
  std::function<void(size_t)> on_packet;
};

std::string Frame(const std::string& payload, char marker = '#', int64_t total = -1) {
  if (total < 0) total = static_cast<int64_t>(payload.size()) + (marker == '#' ? 5 : 3);
  std::string out(1, marker);
  for (int shift = marker == '#' ? 24 : 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(total >> shift));
  return out + payload;
}

std::vector<std::string> RandomPayloads(std::mt19937& rng, int count) {
  std::vector<std::string> payloads;
  for (int i = 0; i < count; ++i) {
    std::string p(1 + rng() % 3000, '\0');
    for (char& c : p) c = static_cast<char>(rng());  // markers inside must not confuse reassembly
    payloads.push_back(p);
  }
  return payloads;
}

TEST(FramingTest, AnySplitOfTheStreamGivesTheSamePacketsInOrder) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    for (char marker : {'#', '$'}) {
      std::vector<std::string> payloads = RandomPayloads(rng, 40);
      std::string stream;
      for (const auto& p : payloads) stream += Frame(p, marker);
      for (size_t chunk : {size_t{1}, size_t{0}, stream.size()}) {
        Buffer buffer;
        for (size_t pos = 0, n; pos < stream.size(); pos += n) {
          n = std::min(chunk ? chunk : 1 + rng() % 4000, stream.size() - pos);
          if (seed % 2) buffer.Read(stream.substr(pos, n)); else buffer.Feed(stream.substr(pos, n));
        }
        EXPECT_EQ(payloads, buffer.packets) << seed << " " << chunk;
        EXPECT_EQ(0u, buffer.buffered());
        EXPECT_FALSE(buffer.IsBroken());
      }
    }
  }
}

TEST(FramingTest, FirstBytesDecideTheFramingAndBadLengthsBreakTheStream) {
  Buffer buffer;
  buffer.Feed("$");
  EXPECT_FALSE(buffer.IsFramingFixed());
  buffer.Feed(std::string("\x00\x05hi", 4));
  EXPECT_EQ('$', buffer.marker());
  char header[5];
  ASSERT_EQ(3, buffer.WritePktLength(header, 2));
  EXPECT_EQ(std::string("$\x00\x05", 3), std::string(header, 3));
  // The framing stays after ClearAll (a later '#' is garbage) and goes with ResetFraming.
  buffer.ClearAll();
  buffer.Feed("xyz" + Frame("a", '#') + Frame("b", '$'));
  EXPECT_EQ((std::vector<std::string>{"hi", "b"}), buffer.packets);
  EXPECT_EQ(9u, buffer.skipped_bytes());
  buffer.Feed("$");
  buffer.ResetFraming();
  EXPECT_EQ(0u, buffer.buffered());
  ASSERT_EQ(5, buffer.WritePktLength(header, 0x00FEDCBA - 5));
  EXPECT_EQ(std::string("#\x00\xfe\xdc\xba", 5), std::string(header, 5));
  // A lone empty packet waits for more bytes.
  buffer.Feed(Frame(""));
  EXPECT_EQ(5u, buffer.buffered());
  buffer.Feed(Frame("z").substr(0, 5));
  buffer.Feed("z");
  EXPECT_EQ((std::vector<std::string>{"hi", "b", "", "z"}), buffer.packets);

  // Lengths the framing cannot carry are refused when writing...
  EXPECT_EQ(-1, buffer.WritePktLength(header, -1));
  EXPECT_EQ(-1, buffer.WritePktLength(header, JSBuffer::kMaxPacketLength - 4));
  EXPECT_EQ(5, buffer.WritePktLength(header, JSBuffer::kMaxPacketLength - 5));
  Buffer dollar(false);
  EXPECT_EQ(3, dollar.WritePktLength(header, 65532));
  EXPECT_EQ(-1, dollar.WritePktLength(header, 65533));
  // ...and break the stream when read; a length at the cap waits for its bytes.
  const std::string ok = Frame("ok"), after = Frame("after");
  const std::vector<std::string> breaking = {
      ok + Frame("p", '#', 0) + after, ok + Frame("p", '#', 4) + after,
      ok + Frame("p", '#', JSBuffer::kMaxPacketLength + 1) + after,
      ok + Frame("p", '#', 0xFFFFFFFFu) + after, Frame("zz", '$', 2), "xy" + ok};
  for (const std::string& bad : breaking) {
    Buffer b;
    b.Feed(bad);
    EXPECT_TRUE(b.IsBroken()) << bad;
    EXPECT_EQ(0u, b.buffered());
    EXPECT_LE(b.packets.size(), 1u);
    b.ClearAll();
    b.Feed(Frame("c", b.marker()));
    EXPECT_EQ("c", b.packets.back());
  }
  Buffer at_cap;
  at_cap.Feed(Frame("x", '#', JSBuffer::kMaxPacketLength));
  EXPECT_FALSE(at_cap.IsBroken());
  EXPECT_EQ(6u, at_cap.buffered());
}

TEST(FramingTest, HandlersMayFeedOrClearTheBufferTheyAreReadFrom) {
  const struct {
    const char* name;
    std::function<void(Buffer&, size_t)> on_packet;
    std::vector<std::string> want;
  } cases[] = {
      {"feed", [](Buffer& b, size_t n) { if (n == 1) b.Feed(Frame("n")); }, {"a", "b", "c", "n"}},
      {"clear", [](Buffer& b, size_t n) { if (n == 1) b.ClearAll(); }, {"a"}},
      {"feed then clear",
       [](Buffer& b, size_t n) {
         if (n == 1) b.Feed(Frame("lost")), b.ClearAll(), b.Feed(Frame("kept"));
       },
       {"a", "kept"}},
      {"reserve refused while delivering",
       [](Buffer& b, size_t) { EXPECT_EQ(nullptr, b.ReserveRecv(10)); }, {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    Buffer buffer;
    buffer.on_packet = [&](size_t n) { c.on_packet(buffer, n); };
    buffer.Read(Frame("a") + Frame("b") + Frame("c"));
    EXPECT_EQ(c.want, buffer.packets) << c.name;
    EXPECT_EQ(0u, buffer.buffered()) << c.name;
  }
}

TEST(FramingTest, LargePacketsGrowTheBuffersByDoublingAndGiveTheMemoryBack) {
  std::string payload(4 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + 7);
  const std::string stream = Frame(payload);
  Buffer buffer;
  std::set<size_t> capacities;
  for (size_t pos = 0; pos < stream.size(); pos += 65535) {
    buffer.Read(stream.substr(pos, 65535));
    capacities.insert(buffer.capacity());
  }
  EXPECT_LE(capacities.size(), 13u);
  ASSERT_EQ(1u, buffer.packets.size());
  EXPECT_TRUE(payload == buffer.packets[0]);
  EXPECT_EQ(JSBuffer::kInitialCapacity, buffer.capacity());
  EXPECT_EQ(JSBuffer::kInitialCapacity, buffer.packet_capacity());

  XSendBuffer send;
  std::string frame(293, 'f');
  capacities.clear();
  for (int i = 0; i < 80000; ++i) {  // acks queued while the flush waits
    frame[0] = static_cast<char>(i);
    ASSERT_TRUE(send.Append(frame.data(), frame.size()));
    capacities.insert(send.capacity());
  }
  EXPECT_LE(capacities.size(), 16u);
  EXPECT_EQ(static_cast<char>(79999), send.data()[send.used() - 293]);
  send.Consume(send.used() - 300);
  EXPECT_EQ(static_cast<char>(79999), send.data()[7]);  // the rest moved to the front
  EXPECT_EQ(0, send.data()[300]);                        // vacated bytes are wiped
  send.Consume(300);
  EXPECT_EQ(XSendBuffer::kInitialCapacity, send.capacity());
}

TEST(FramingTest, SendBufferRefusesAFrameThatWouldPassItsCapWhole) {
  XSendBuffer b;
  EXPECT_FALSE(b.Append(nullptr, 5));
  EXPECT_FALSE(b.Append("x", 0));
  std::string chunk(1024 * 1024, 'z');
  for (size_t i = 0; i < XSendBuffer::kMaxCapacity / chunk.size(); ++i) {
    ASSERT_TRUE(b.Append(chunk.data(), chunk.size()));
  }
  EXPECT_FALSE(b.Append("x", 1));
  EXPECT_FALSE(b.Reserve(SIZE_MAX - 1));
  EXPECT_EQ(XSendBuffer::kMaxCapacity, b.used());
  b.Consume(10);
  EXPECT_TRUE(b.Append("0123456789", 10));
  EXPECT_FALSE(b.Append("x", 1));
}

const std::string kFuzzDir = std::string(VORTM_SOURCE_DIR) + "/fuzz";

TEST(FuzzTest, EveryTargetPassesItsSeedsTheInputsThatOnceCrashedItAndTheirMutations) {
  const struct {
    const char* name;
    fuzz_replay::Target target;
    size_t min_seeds;
  } targets[] = {{"recv_fuzz", [](const uint8_t* d, size_t n) { return RecvFuzzOne(d, n); }, 40},
                 {"crypt_fuzz", &CryptFuzzOne, 3},
                 {"http_fuzz", &rtc::HttpFuzzOne, 10},
                 {"json_fuzz", &JsonFuzzOne, 8},
                 {"wire_fuzz", &WireFuzzOne, 12}};
  for (const auto& t : targets) {
    EXPECT_GE(fuzz_replay::Replay(kFuzzDir, t.name, t.target, 200), t.min_seeds) << t.name;
  }
  EXPECT_GE(fuzz_replay::ReadCorpus(kFuzzDir, "recv_fuzz", "regressions").size(), 3u);
  // The recv seeds are what the library sends encrypted, so the fuzzer starts past the
  // signature, decryption and app id checks; each is routed by its command's name.
  int seeds = 0, decrypted = 0;
  for (const auto& file : fuzz_replay::ReadCorpus(kFuzzDir, "recv_fuzz")) {
    if (file.name.rfind("enc-", 0) != 0) continue;
    ++seeds;
    RecvFuzzPipeline pipeline;
    RecvFuzzOne(reinterpret_cast<const uint8_t*>(file.bytes.data()), file.bytes.size(), &pipeline);
    EXPECT_EQ(1, pipeline.dispatched) << file.name;
    decrypted += pipeline.decrypted;
  }
  EXPECT_GE(seeds, 40);
  EXPECT_GE(decrypted, seeds - 4);  // four commands have no body to encrypt
}

TEST(FuzzTest, MutatedTrafficAndRandomBytesNeverCrashOrHang) {
  std::mt19937 rng(12345);
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey,
                             "0123456789abcdef0123456789abcdef");
  for (int round = 0; round < 400; ++round) {
    std::string input(1, static_cast<char>(rng()));
    for (int i = 0; i < 8; ++i) {
      std::string envelope;
      BuildEnvelope(CommandRouter::kCommandNames[rng() % CommandRouter::kCommandCount],
                    rng() % 4 ? R"({"MsgId":12,"Code":0,"Status":[{"UserId":"u","Online":true}],)"
                                R"("Members":["a","b"],"FromUId":"x","Attribs":"{\"a\":\"1\"}",)"
                                R"("Attributes":"[{\"Key\":\"k\",\"Val\":\"v\",\"Time\":1}]"})" : "",
                    rng() % 3 ? &crypt : nullptr, nullptr, 1733500000000, &envelope);
      input += Frame(envelope);
    }
    for (int f = static_cast<int>(rng() % 6); f > 0; --f) {
      size_t pos = rng() % input.size();
      switch (rng() % 3) {
        case 0: input[pos] = static_cast<char>(rng()); break;
        case 1: input.erase(pos, rng() % 16); break;
        default: input.insert(pos, std::string(rng() % 8, static_cast<char>(rng())));
      }
      if (input.empty()) input = "#";
    }
    if (round % 2) {
      for (char& c : input) c = static_cast<char>(rng());
      input.resize(1 + rng() % 4096);
      input[0] = "#$"[rng() % 2];
    }
    RecvFuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  }
}

}  // namespace
}  // namespace vy
