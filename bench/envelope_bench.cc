// Per-message cost of the send path (envelope, encrypt, sign, frame) and the receive path
// (unframe, verify, decrypt, parse), against raw OpenSSL doing the same AES and SHA-1 work.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "core/command_router.h"
#include "core/envelope.h"
#include "core/js_buffer.h"
#include "core/sync_msg_crypt.h"

namespace vy {
namespace {

const char kAppId[] = "0123456789abcdef0123456789abcdef";

std::string Body(size_t size) {
  std::string body = R"({"PeerId":"bob","MsgId":1733500000123,"MsgType":1,"MsgBody":")";
  body.append(size > body.size() + 2 ? size - body.size() - 2 : 1, 'x');
  body += "\"}";
  return body;
}

class CountingBuffer : public JSBuffer {
 public:
  explicit CountingBuffer(const zentho::SyncMsgCrypt* crypt) : JSBuffer(true), crypt_(crypt) {
    router_.SetHandler("RecvMsgFromPeer", [this](const rapidjson::Value& c) {
      delivered += GetJsonInt64(c, "MsgId") > 0 ? 1 : 0;
    });
  }
  void OnRecvMessage(const char* payload, int length) override {
    ReceivedCommand cmd;
    if (crypt_ == nullptr) {
      ++delivered;
      return;
    }
    if (UnwrapEnvelope(payload, length, crypt_, &cmd) == EnvelopeResult::kOk) {
      router_.Dispatch(cmd.cmd, cmd.content_doc);
    }
  }
  int64_t delivered = 0;

 private:
  const zentho::SyncMsgCrypt* crypt_;
  CommandRouter router_;
};

std::string Frame(const JSBuffer& framer, const std::string& envelope) {
  char header[JSBuffer::kHashHeaderSize];
  int n = framer.WritePktLength(header, static_cast<int>(envelope.size()));
  std::string frame(header, static_cast<size_t>(n));
  frame += envelope;
  return frame;
}

void BM_SendPath(benchmark::State& state) {
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, kAppId);
  CountingBuffer framer(nullptr);
  std::string body = Body(static_cast<size_t>(state.range(0)));
  std::string envelope;
  for (auto _ : state) {
    BuildEnvelope("SendMsgToPeer", body, &crypt, nullptr, 1733500000123, &envelope);
    std::string frame = Frame(framer, envelope);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_SendPath)->Arg(300)->Arg(32 * 1024);

void BM_RecvPath(benchmark::State& state) {
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, kAppId);
  CountingBuffer buffer(&crypt);
  std::string body = Body(static_cast<size_t>(state.range(0)));
  std::string envelope;
  BuildEnvelope("RecvMsgFromPeer", body, &crypt, nullptr, 1733500000123, &envelope);
  std::string frame = Frame(buffer, envelope);
  for (auto _ : state) {
    buffer.RecvData(frame.data(), static_cast<int>(frame.size()));
  }
  if (buffer.delivered != static_cast<int64_t>(state.iterations())) {
    state.SkipWithError("a packet was not delivered");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_RecvPath)->Arg(300)->Arg(32 * 1024);

// The floor: AES-256-CBC over the padded block, SHA-1 over the Base64 text, and the Base64
// coding itself, with one reused context.
void BM_RawOpensslSameWork(benchmark::State& state) {
  size_t block = 20 + static_cast<size_t>(state.range(0)) + sizeof(kAppId) - 1;
  block += 32 - block % 32;
  std::vector<unsigned char> in(block, 'x'), out(block + 32);
  std::vector<unsigned char> b64(4 * ((block + 2) / 3) + 1), back(b64.size());
  unsigned char key[32] = {1}, md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int n = 0, m = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, key);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(block));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
    int b = EVP_EncodeBlock(b64.data(), out.data(), n + m);
    EVP_Digest(b64.data(), static_cast<size_t>(b), md, &md_len, EVP_sha1(), nullptr);
    benchmark::DoNotOptimize(EVP_DecodeBlock(back.data(), b64.data(), b));
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawOpensslSameWork)->Arg(300)->Arg(32 * 1024);

// Reassembly alone: many 100-byte packets in 64 KB reads, and one 1 MB packet in small reads.
void BM_FramingSmallPackets(benchmark::State& state) {
  CountingBuffer buffer(nullptr);
  std::string stream;
  while (stream.size() < 64 * 1024 - 105) stream += Frame(buffer, std::string(100, 'p'));
  for (auto _ : state) buffer.RecvData(stream.data(), static_cast<int>(stream.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FramingSmallPackets);

void BM_FramingLargePacket(benchmark::State& state) {
  CountingBuffer buffer(nullptr);
  std::string stream = Frame(buffer, std::string(1024 * 1024, 'q'));
  size_t chunk = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      size_t n = std::min(chunk, stream.size() - pos);
      buffer.RecvData(stream.data() + pos, static_cast<int>(n));
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FramingLargePacket)->Arg(1024)->Arg(64 * 1024);

void BM_Memcpy(benchmark::State& state) {
  std::string src(1024 * 1024, 'm'), dst(src.size(), '\0');
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_Memcpy);

}  // namespace
}  // namespace vy
