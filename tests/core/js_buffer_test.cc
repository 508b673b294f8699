#include "core/js_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace vy {

namespace {

class RecordingBuffer : public JSBuffer {
 public:
  explicit RecordingBuffer(bool hash = true) : JSBuffer(hash) {}
  void OnRecvMessage(const char* payload, int length) override {
    EXPECT_EQ('\0', payload[length]);
    packets.emplace_back(payload, static_cast<size_t>(length));
    if (on_packet) on_packet();
  }
  void Feed(const std::string& bytes) { RecvData(bytes.data(), static_cast<int>(bytes.size())); }

  std::vector<std::string> packets;
  std::function<void()> on_packet;
};

std::string Frame(const std::string& payload, char marker = '#') {
  std::string out(1, marker);
  uint32_t total = static_cast<uint32_t>(payload.size()) + (marker == '#' ? 5 : 3);
  if (marker == '#') {
    out.push_back(static_cast<char>(total >> 24));
    out.push_back(static_cast<char>(total >> 16));
  }
  out.push_back(static_cast<char>(total >> 8));
  out.push_back(static_cast<char>(total));
  return out + payload;
}

std::string RawHeader(uint32_t total) {
  return std::string{'#', static_cast<char>(total >> 24), static_cast<char>(total >> 16),
                     static_cast<char>(total >> 8), static_cast<char>(total)};
}

std::vector<std::string> RandomPayloads(std::mt19937& rng, int count) {
  std::vector<std::string> payloads;
  std::uniform_int_distribution<int> len(1, 3000);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < count; ++i) {
    std::string p(static_cast<size_t>(len(rng)), '\0');
    // Payload bytes include markers: they must not confuse reassembly.
    for (char& c : p) c = static_cast<char>(byte(rng));
    payloads.push_back(p);
  }
  return payloads;
}

TEST(JSBufferFraming, AnySplitOfTheStreamGivesTheSamePacketsInOrder) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    for (char marker : {'#', '$'}) {
      std::vector<std::string> payloads = RandomPayloads(rng, 40);
      std::string stream;
      for (const auto& p : payloads) stream += Frame(p, marker);

      RecordingBuffer whole;
      whole.Feed(stream);
      EXPECT_EQ(payloads, whole.packets) << seed;

      RecordingBuffer random_split;
      for (size_t pos = 0; pos < stream.size();) {
        size_t n = std::uniform_int_distribution<size_t>(1, 4000)(rng);
        n = std::min(n, stream.size() - pos);
        random_split.Feed(stream.substr(pos, n));
        pos += n;
      }
      EXPECT_EQ(payloads, random_split.packets) << seed;
      EXPECT_EQ(0u, random_split.buffered());
      EXPECT_FALSE(random_split.IsBroken());
    }
  }
}

TEST(JSBufferFraming, OneBytePerReadGivesTheSamePackets) {
  std::mt19937 rng(99);
  std::vector<std::string> payloads = RandomPayloads(rng, 10);
  std::string stream;
  for (const auto& p : payloads) stream += Frame(p);
  RecordingBuffer buffer;
  for (char c : stream) buffer.RecvData(&c, 1);
  EXPECT_EQ(payloads, buffer.packets);
}

TEST(JSBufferFraming, PacketIsDeliveredWhenItsLastByteArrives) {
  RecordingBuffer buffer;
  std::string frame = Frame("{\"Cmd\":\"KeepAlive\"}");
  buffer.Feed(frame.substr(0, frame.size() - 1));
  EXPECT_TRUE(buffer.packets.empty());
  buffer.Feed(frame.substr(frame.size() - 1));
  ASSERT_EQ(1u, buffer.packets.size());
  EXPECT_EQ("{\"Cmd\":\"KeepAlive\"}", buffer.packets[0]);
}

TEST(JSBufferFraming, LoneEmptyPacketIsHeldUntilMoreBytesArrive) {
  RecordingBuffer buffer;
  buffer.Feed(Frame(""));
  EXPECT_TRUE(buffer.packets.empty());
  EXPECT_EQ(5u, buffer.buffered());
  buffer.Feed(Frame("x"));
  EXPECT_EQ((std::vector<std::string>{"", "x"}), buffer.packets);
}

TEST(JSBufferFraming, GarbageBeforeAMarkerIsSkipped) {
  RecordingBuffer buffer;
  buffer.Feed(Frame("a"));
  buffer.Feed("xyz" + Frame("b") + "qq");
  buffer.Feed(Frame("c"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), buffer.packets);
  EXPECT_EQ(5u, buffer.skipped_bytes());
  EXPECT_FALSE(buffer.IsBroken());
}

TEST(JSBufferFraming, FirstByteDollarSwitchesBothDirectionsToDollarFraming) {
  RecordingBuffer buffer;
  EXPECT_EQ('#', buffer.marker());
  buffer.Feed(Frame("hi", '$'));
  EXPECT_EQ((std::vector<std::string>{"hi"}), buffer.packets);
  EXPECT_EQ('$', buffer.marker());
  EXPECT_EQ(3, buffer.header_size());
  char header[5];
  ASSERT_EQ(3, buffer.WritePktLength(header, 2));
  EXPECT_EQ(std::string("$\x00\x05", 3), std::string(header, 3));
  // The framing stays after ClearAll: a later '#' is garbage.
  buffer.ClearAll();
  buffer.Feed(Frame("x", '#') + Frame("y", '$'));
  EXPECT_EQ((std::vector<std::string>{"hi", "y"}), buffer.packets);
  // A new connection starts from '#' and its own first byte decides.
  buffer.Feed(std::string("$\x00", 2));
  buffer.ResetFraming();
  EXPECT_FALSE(buffer.IsFramingFixed());
  EXPECT_EQ(0u, buffer.buffered());
  ASSERT_EQ(5, buffer.WritePktLength(header, 2));
  EXPECT_EQ('#', header[0]);
  buffer.Feed(Frame("z", '#'));
  EXPECT_EQ((std::vector<std::string>{"hi", "y", "z"}), buffer.packets);
  EXPECT_EQ('#', buffer.marker());
}

TEST(JSBufferFraming, FramingIsDecidedOnlyOnceTwoBytesArrived) {
  RecordingBuffer buffer;
  buffer.Feed("$");
  EXPECT_FALSE(buffer.IsFramingFixed());
  buffer.Feed(std::string("\x00\x04z", 3));
  EXPECT_TRUE(buffer.IsFramingFixed());
  EXPECT_EQ((std::vector<std::string>{"z"}), buffer.packets);
}

TEST(JSBufferFraming, HeaderCarriesTheBigEndianTotalLength) {
  RecordingBuffer buffer;
  char header[5];
  ASSERT_EQ(5, buffer.WritePktLength(header, 0x00FEDCBA - 5));
  EXPECT_EQ(std::string("#\x00\xfe\xdc\xba", 5), std::string(header, 5));
  char* cursor = header + 1;
  EXPECT_EQ(0x00FEDCBAu, buffer.ReadPktLength(&cursor));
  EXPECT_EQ(header + 5, cursor);
}

TEST(JSBufferFraming, PayloadThatTheFramingCannotCarryIsRefused) {
  RecordingBuffer hash;
  char header[5] = {'k', 'k', 'k', 'k', 'k'};
  EXPECT_EQ(-1, hash.WritePktLength(header, -1));
  EXPECT_EQ(-1, hash.WritePktLength(header, JSBuffer::kMaxPacketLength - 4));
  EXPECT_EQ('k', header[0]);
  EXPECT_EQ(5, hash.WritePktLength(header, JSBuffer::kMaxPacketLength - 5));

  RecordingBuffer dollar(false);
  EXPECT_EQ(3, dollar.WritePktLength(header, 65532));
  EXPECT_EQ(std::string("$\xff\xff", 3), std::string(header, 3));
  EXPECT_EQ(-1, dollar.WritePktLength(header, 65533));
}

TEST(JSBufferProtocolErrors, FirstByteThatIsNoMarkerBreaksTheStream) {
  RecordingBuffer buffer;
  buffer.Feed("x");
  EXPECT_FALSE(buffer.IsBroken());
  buffer.Feed("y" + Frame("a"));
  EXPECT_TRUE(buffer.IsBroken());
  EXPECT_STRNE("", buffer.error_text());
  EXPECT_EQ(0u, buffer.buffered());
  buffer.Feed(Frame("b"));  // ignored until the owner clears
  EXPECT_TRUE(buffer.packets.empty());
  buffer.ClearAll();
  EXPECT_FALSE(buffer.IsBroken());
  EXPECT_STREQ("", buffer.error_text());
  buffer.Feed(Frame("c"));
  EXPECT_EQ((std::vector<std::string>{"c"}), buffer.packets);
}

TEST(JSBufferProtocolErrors, LengthBelowTheHeaderOrAboveTheCapBreaksTheStream) {
  for (uint32_t total : {0u, 1u, 4u, JSBuffer::kMaxPacketLength + 1, 0x80000000u, 0xFFFFFFFFu}) {
    RecordingBuffer buffer;
    buffer.Feed(Frame("ok") + RawHeader(total) + "payload" + Frame("after"));
    EXPECT_EQ((std::vector<std::string>{"ok"}), buffer.packets) << total;
    EXPECT_TRUE(buffer.IsBroken()) << total;
    EXPECT_EQ(0u, buffer.buffered()) << total;
  }
  RecordingBuffer dollar;
  dollar.Feed(std::string("$\x00\x02zz", 5));
  EXPECT_TRUE(dollar.IsBroken());
}

TEST(JSBufferProtocolErrors, LengthAtTheCapWaitsForItsBytes) {
  RecordingBuffer buffer;
  buffer.Feed(RawHeader(JSBuffer::kMaxPacketLength) + "x");
  EXPECT_FALSE(buffer.IsBroken());
  EXPECT_EQ(6u, buffer.buffered());
}

TEST(JSBufferGrowth, LargePacketsGrowTheBuffersByDoublingAndLeaveNoMemoryBehind) {
  std::string payload(4 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + 7);
  const std::string stream = Frame(payload);
  RecordingBuffer buffer;
  for (int round = 0; round < 2; ++round) {
    std::set<size_t> capacities;
    for (size_t pos = 0; pos < stream.size(); pos += 65535) {
      buffer.Feed(stream.substr(pos, 65535));
      capacities.insert(buffer.capacity());
    }
    EXPECT_LE(capacities.size(), 13u);
    ASSERT_EQ(static_cast<size_t>(round + 1), buffer.packets.size());
    EXPECT_EQ(payload, buffer.packets.back());
    EXPECT_EQ(JSBuffer::kInitialCapacity, buffer.capacity());
    EXPECT_EQ(JSBuffer::kInitialCapacity, buffer.packet_capacity());
  }
  // Small packets keep the buffers as they are.
  buffer.Feed(Frame(std::string(3000, 's')));
  EXPECT_EQ(3001u, buffer.packet_capacity());
}

TEST(JSBufferGrowth, LargePacketInSmallChunksArrivesIntact) {
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + 7);
  std::string stream = Frame(payload);
  RecordingBuffer buffer;
  for (size_t pos = 0; pos < stream.size(); pos += 1000) buffer.Feed(stream.substr(pos, 1000));
  ASSERT_EQ(1u, buffer.packets.size());
  EXPECT_EQ(payload, buffer.packets[0]);
}

TEST(JSBufferReentrancy, HandlerThatClearsTheBufferStopsTheRestOfTheRead) {
  RecordingBuffer buffer;
  buffer.on_packet = [&] { buffer.ClearAll(); };
  buffer.Feed(Frame("a") + Frame("b") + Frame("c"));
  EXPECT_EQ((std::vector<std::string>{"a"}), buffer.packets);
  EXPECT_EQ(0u, buffer.buffered());
}

TEST(JSBufferReentrancy, BytesFedFromInsideTheHandlerFollowInOrder) {
  RecordingBuffer buffer;
  bool fed = false;
  buffer.on_packet = [&] {
    if (!fed) {
      fed = true;
      buffer.Feed(Frame("nested"));
    }
  };
  buffer.Feed(Frame("a") + Frame("b"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "nested"}), buffer.packets);
}

TEST(JSBufferReentrancy, ParseMessageHandsOverANulTerminatedCopy) {
  RecordingBuffer buffer;
  std::string big(5000, 'q');
  buffer.ParseMessage(big.data(), static_cast<int>(big.size()));
  buffer.ParseMessage("ab", 2);
  EXPECT_EQ((std::vector<std::string>{big, "ab"}), buffer.packets);
}

// Takes packets in place, as the service does: it scribbles over each payload (an in-situ
// parse does) and may clear the buffer or feed it from inside.
class InPlaceBuffer : public JSBuffer {
 public:
  InPlaceBuffer() : JSBuffer(true) {}
  void OnRecvMessage(const char*, int) override { ADD_FAILURE() << "copy path taken"; }
  void OnRecvPacket(char* payload, int length) override {
    EXPECT_EQ('\0', payload[length]);
    packets.emplace_back(payload, static_cast<size_t>(length));
    std::memset(payload, 'x', static_cast<size_t>(length));
    if (on_packet) on_packet(packets.size());
  }
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

TEST(JSBufferInPlace, PayloadsChangedInPlaceLeaveTheFollowingPacketsIntact) {
  std::mt19937 rng(7);
  std::vector<std::string> payloads = RandomPayloads(rng, 40);
  std::string stream;
  for (const std::string& p : payloads) stream += Frame(p);
  for (size_t chunk : {1u, 7u, 1000u, 65535u}) {
    InPlaceBuffer buffer;
    for (size_t pos = 0; pos < stream.size(); pos += chunk) buffer.Read(stream.substr(pos, chunk));
    EXPECT_EQ(payloads, buffer.packets) << chunk;
    EXPECT_EQ(0u, buffer.buffered());
  }
}

TEST(JSBufferInPlace, HandlersMayFeedOrClearTheBufferTheyAreReadFrom) {
  struct Case {
    const char* name;
    std::function<void(InPlaceBuffer&, size_t)> on_packet;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"feed", [](InPlaceBuffer& b, size_t n) { if (n == 1) b.RecvData(Frame("n").data(), 6); },
       {"a", "b", "c", "n"}},
      {"clear", [](InPlaceBuffer& b, size_t n) { if (n == 1) b.ClearAll(); }, {"a"}},
      {"feed then clear",
       [](InPlaceBuffer& b, size_t n) {
         if (n == 1) {
           b.RecvData(Frame("lost").data(), 9);
           b.ClearAll();
           b.RecvData(Frame("kept").data(), 9);
         }
       },
       {"a", "kept"}},
      {"reserve refused while delivering",
       [](InPlaceBuffer& b, size_t) { EXPECT_EQ(nullptr, b.ReserveRecv(10)); },
       {"a", "b", "c"}},
  };
  for (const Case& c : cases) {
    InPlaceBuffer buffer;
    buffer.on_packet = [&](size_t n) { c.on_packet(buffer, n); };
    buffer.Read(Frame("a") + Frame("b") + Frame("c"));
    EXPECT_EQ(c.want, buffer.packets) << c.name;
    EXPECT_EQ(0u, buffer.buffered()) << c.name;
  }
}

}  // namespace

}  // namespace vy
