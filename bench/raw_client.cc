// A raw client of the messaging protocol, the baseline of ratios_bench: written from the wire
// format alone with OpenSSL EVP, rapidjson and plain sockets (nothing of the library's), and run
// as a process of its own so that the CPU it reports is only its own. It does each message's
// protocol work once: the cipher and digest are set up once, the text is escaped once by the
// JSON writer, the Base64 content goes into the envelope as it is encoded, and received JSON is
// parsed in place.
//
//   raw_client HOST UID      logs in through the gateway on HOST:7080, prints "ready", then
//                            answers one command per line of standard input:
//   send TO N BYTES          N messages of BYTES bytes to TO, written as the socket takes them
//                            while results are read as they come; once every result is back:
//                            "sent <seconds> <cpu seconds> <failed>"
//   ping TO N GAP_MS BYTES   N messages one at a time, GAP_MS after each result:
//                            "ping <µs from send to result>..."
//   mark                     "mark <cpu seconds> <messages received>"
// Every "RecvMsgFromPeer" is acknowledged as it arrives. End of input ends the program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>

#include "local_service/msg_crypt.h"  // the key strings the service accepts, nothing else
#include "rapidjson/document.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";
constexpr size_t kAppIdSize = sizeof(kAppId) - 1;
constexpr int kGatewayPort = 7080;
constexpr size_t kHeaderSize = 5;  // '#' and the packet's length, big-endian, header included
constexpr size_t kMaxPacket = 4 << 20;
constexpr size_t kReadSize = 65536;
constexpr char kAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void PutBigEndian32(unsigned char* p, size_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

uint32_t BigEndian32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string Text(size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text.push_back("abcdefghijklmnopqrstuvwxyz 0123456789"[i % 37]);
  return text;
}

// Envelope contents: a 16-character random prefix, the text's length, the text and the app id,
// padded to a multiple of 32 bytes, AES-256-CBC under the key the encoding key decodes to (its
// first 16 bytes the IV), in Base64; signed with SHA-1 over the sorted token, timestamp, nonce
// and Base64 text. Both cipher contexts are keyed once; each message only resets the IV.
class Crypt {
 public:
  Crypt() {
    const std::string encoded = std::string(local_service::kEncodingKey) + "=";
    unsigned char decoded[33];
    EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(encoded.data()),
                    static_cast<int>(encoded.size()));
    std::memcpy(key_, decoded, sizeof(key_));
    EVP_CIPHER* aes = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    EVP_CipherInit_ex2(seal_, aes, key_, key_, 1, nullptr);
    EVP_CipherInit_ex2(open_, aes, key_, key_, 0, nullptr);
    EVP_CIPHER_CTX_set_padding(seal_, 0);
    EVP_CIPHER_CTX_set_padding(open_, 0);
    EVP_CIPHER_free(aes);
  }
  ~Crypt() {
    EVP_CIPHER_CTX_free(seal_);
    EVP_CIPHER_CTX_free(open_);
    EVP_MD_CTX_free(md_);
    EVP_MD_free(sha1_);
  }

  // Appends the Base64 cipher text of `text` to `out`; `random` gives the prefix.
  void Seal(std::string_view text, const unsigned char random[16], std::string* out) {
    const size_t plain = 20 + text.size() + kAppIdSize;
    const size_t padded = plain + 32 - plain % 32;
    block_.resize(padded);
    for (int i = 0; i < 16; ++i) block_[i] = kAlnum[random[i] % 62];
    PutBigEndian32(&block_[16], text.size());
    std::memcpy(&block_[20], text.data(), text.size());
    std::memcpy(&block_[20 + text.size()], kAppId, kAppIdSize);
    std::memset(&block_[plain], static_cast<int>(padded - plain), padded - plain);
    int n = 0;
    EVP_CipherInit_ex2(seal_, nullptr, nullptr, key_, -1, nullptr);
    EVP_CipherUpdate(seal_, block_.data(), &n, block_.data(), static_cast<int>(padded));
    const size_t at = out->size();
    out->resize(at + 4 * ((padded + 2) / 3) + 1);
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&(*out)[at]),
                                        block_.data(), static_cast<int>(padded));
    out->resize(at + static_cast<size_t>(written));
  }

  // The text inside `b64`, NUL-terminated in place for parsing; empty when any check fails.
  char* Open(std::string_view b64) {
    if (b64.size() < 44 || b64.size() % 4 != 0) return nullptr;
    block_.resize(b64.size() / 4 * 3);
    const int decoded =
        EVP_DecodeBlock(block_.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                        static_cast<int>(b64.size()));
    if (decoded < 0) return nullptr;
    const size_t size = static_cast<size_t>(decoded) - (b64.back() == '=') - (b64.end()[-2] == '=');
    if (size % 32 != 0) return nullptr;
    int n = 0;
    EVP_CipherInit_ex2(open_, nullptr, nullptr, key_, -1, nullptr);
    EVP_CipherUpdate(open_, block_.data(), &n, block_.data(), static_cast<int>(size));
    const size_t pad = block_[size - 1];
    if (pad < 1 || pad > 32) return nullptr;
    const size_t length = BigEndian32(&block_[16]);
    if (length + 20 + kAppIdSize != size - pad ||
        std::memcmp(&block_[20 + length], kAppId, kAppIdSize) != 0) {
      return nullptr;
    }
    block_[20 + length] = '\0';
    return reinterpret_cast<char*>(&block_[20]);
  }

  // 40 lower-case hexadecimal characters into `out`.
  void Sign(std::string_view ts, std::string_view nonce, std::string_view b64, char* out) {
    std::string_view parts[] = {local_service::kSigningToken, ts, nonce, b64};
    std::sort(std::begin(parts), std::end(parts));
    EVP_DigestInit_ex2(md_, sha1_, nullptr);
    for (std::string_view p : parts) EVP_DigestUpdate(md_, p.data(), p.size());
    unsigned char digest[20];
    EVP_DigestFinal_ex(md_, digest, nullptr);
    for (int i = 0; i < 20; ++i) {
      out[2 * i] = "0123456789abcdef"[digest[i] >> 4];
      out[2 * i + 1] = "0123456789abcdef"[digest[i] & 15];
    }
  }

 private:
  unsigned char key_[32];
  EVP_CIPHER_CTX* seal_ = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* open_ = EVP_CIPHER_CTX_new();
  EVP_MD* sha1_ = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  EVP_MD_CTX* md_ = EVP_MD_CTX_new();
  std::vector<unsigned char> block_;
};

// A JSON document parsed in place, its values kept in a pool that each parse starts afresh.
class InsituDocument {
 public:
  bool Parse(char* text) {
    pool_.Clear();
    doc_.ParseInsitu(text);
    return !doc_.HasParseError() && doc_.IsObject();
  }
  std::string_view Str(const char* key) const {
    auto it = doc_.FindMember(key);
    if (it == doc_.MemberEnd() || !it->value.IsString()) return {};
    return {it->value.GetString(), it->value.GetStringLength()};
  }
  int64_t Int(const char* key) const {
    auto it = doc_.FindMember(key);
    return it != doc_.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : -1;
  }

 private:
  char buffer_[4096];
  rapidjson::MemoryPoolAllocator<> pool_{buffer_, sizeof(buffer_)};
  rapidjson::Document doc_{&pool_};
};

class Client {
 public:
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }

  bool Login(const std::string& host, const std::string& uid) {
    uid_ = uid;
    httplib::Client http(host, kGatewayPort);
    auto res = http.Post("/vyapi/v1?action=wrtm_gateway",
                         std::string(R"({"cType":2,"appId":")") + kAppId + R"(","uid":")" + uid +
                             R"(","wss":false})",
                         "application/x-www-form-urlencoded");
    rapidjson::Document answer;
    if (!res || answer.Parse(res->body.c_str()).HasParseError() || !answer.IsObject() ||
        !answer.HasMember("sessionid") || !answer.HasMember("addresses")) {
      return false;
    }
    for (const auto& a : answer["addresses"].GetArray()) {
      if (a["type"].GetInt() == 1 && Connect(a["addr"].GetString(), a["port"].GetInt())) break;
    }
    if (fd_ < 0) return false;
    Writer& w = Body();
    w.StartObject();
    w.Key("UserId");
    w.String(uid.c_str());
    w.Key("SessionId");
    w.String(answer["sessionid"].GetString());
    w.EndObject();
    Send("Login", true);
    while (login_code_ < 0) {
      if (!Read()) return false;
    }
    return login_code_ == 0;
  }

  // Writes one "SendMsgToPeer"; returns its id.
  int64_t SendMessage(const std::string& to, const std::string& text) {
    Writer& w = Body();
    w.StartObject();
    w.Key("MsgId");
    w.Int64(++last_id_);
    w.Key("FromUId");
    w.String(uid_.data(), static_cast<rapidjson::SizeType>(uid_.size()));
    w.Key("ToUId");
    w.String(to.data(), static_cast<rapidjson::SizeType>(to.size()));
    w.Key("MsgType");
    w.Int(1);
    w.Key("MsgBody");
    w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    w.EndObject();
    Send("SendMsgToPeer");
    return last_id_;
  }

  // Reads once and handles every whole packet; false when the connection is gone or broken.
  bool Read() {
    in_.resize(std::max(in_.size(), in_used_ + kReadSize + 1));
    const ssize_t n = recv(fd_, &in_[in_used_], kReadSize, 0);
    if (n <= 0) return false;
    in_used_ += static_cast<size_t>(n);
    size_t at = 0;
    while (in_used_ - at >= kHeaderSize) {
      const size_t size = BigEndian32(reinterpret_cast<unsigned char*>(&in_[at + 1]));
      if (in_[at] != '#' || size <= kHeaderSize || size > kMaxPacket) return false;
      if (in_used_ - at < size) break;
      // The byte after the packet is lent as its terminator while it is parsed.
      char* end = &in_[at + size];
      const char next = *end;
      *end = '\0';
      Handle(&in_[at + kHeaderSize]);
      *end = next;
      at += size;
    }
    std::memmove(in_.data(), &in_[at], in_used_ - at);
    in_used_ -= at;
    return true;
  }

  // Sends `n` messages as the socket takes them, reading results as they come.
  bool SendMany(const std::string& to, int n, const std::string& text) {
    const uint64_t wanted = results_ + static_cast<uint64_t>(n);
    int sent = 0;
    while (results_ < wanted) {
      pollfd p{fd_, static_cast<short>(POLLIN | (sent < n ? POLLOUT : 0)), 0};
      if (poll(&p, 1, -1) < 0) return false;
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Read()) return false;
      if ((p.revents & POLLOUT) != 0 && sent < n) {
        SendMessage(to, text);
        ++sent;
      }
    }
    return true;
  }

  // Sends one message and reads until its result is back.
  bool Ping(const std::string& to, const std::string& text) {
    const int64_t id = SendMessage(to, text);
    while (last_result_ != id) {
      if (!Read()) return false;
    }
    return true;
  }

  int fd() const { return fd_; }
  uint64_t received() const { return received_; }
  uint64_t failed() const { return failed_; }

 private:
  bool Connect(const char* addr, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) return false;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
  }

  // The writer of the next command's body, kept with its buffer from one command to the next.
  Writer& Body() {
    body_.Clear();
    writer_.Reset(body_);
    return writer_;
  }

  // Seals the body in `body_` into an envelope and writes its packet. The Base64 content is
  // encoded straight into the packet and the signature over it filled in after.
  void Send(std::string_view cmd, bool login = false) {
    unsigned char random[26];
    RAND_bytes(random, sizeof(random));
    char nonce[10];
    for (int i = 0; i < 10; ++i) nonce[i] = kAlnum[random[16 + i] % 62];
    const long long now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    char ts_text[24];
    const std::string_view ts(
        ts_text,
        static_cast<size_t>(std::to_chars(ts_text, std::end(ts_text), now_ms).ptr - ts_text));
    out_.assign(kHeaderSize, '#');
    out_.append(R"({"Cmd":")").append(cmd).append("\"");
    if (login) out_.append(R"(,"AppId":")").append(kAppId).append("\"");
    out_.append(R"(,"Encrypt":true,"TimeStamp":")").append(ts);
    out_.append(R"(","Nonce":")").append(nonce, sizeof(nonce)).append(R"(","Signature":")");
    const size_t signature = out_.size();
    out_.append(40, '0').append(R"(","Content":")");
    const size_t content = out_.size();
    crypt_.Seal({body_.GetString(), body_.GetSize()}, random, &out_);
    crypt_.Sign(ts, {nonce, sizeof(nonce)}, std::string_view(out_).substr(content),
                &out_[signature]);
    out_.append("\"}");
    PutBigEndian32(reinterpret_cast<unsigned char*>(&out_[1]), out_.size());
    for (size_t off = 0; off < out_.size();) {
      const ssize_t n = send(fd_, out_.data() + off, out_.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  }

  void Handle(char* payload) {
    if (!envelope_.Parse(payload)) return;
    const std::string_view content = envelope_.Str("Content");
    char signature[40];
    crypt_.Sign(envelope_.Str("TimeStamp"), envelope_.Str("Nonce"), content, signature);
    if (envelope_.Str("Signature") != std::string_view(signature, sizeof(signature))) return;
    char* text = crypt_.Open(content);
    if (text == nullptr || !body_doc_.Parse(text)) return;
    const std::string_view cmd = envelope_.Str("Cmd");
    if (cmd == "RecvMsgFromPeer") {
      ++received_;
      Writer& w = Body();
      const std::string_view from = body_doc_.Str("FromUId");
      w.StartObject();
      w.Key("MsgId");
      w.Int64(body_doc_.Int("MsgId"));
      w.Key("FromUId");
      w.String(from.data(), static_cast<rapidjson::SizeType>(from.size()));
      w.EndObject();
      Send("RecvMsgFromPeerAck");
    } else if (cmd == "MsgStatus") {
      ++results_;
      if (body_doc_.Int("Status") != 1) ++failed_;
      last_result_ = body_doc_.Int("MsgId");
    } else if (cmd == "Login") {
      login_code_ = body_doc_.Int("Code");
    }
  }

  int fd_ = -1;
  std::string uid_;
  Crypt crypt_;
  rapidjson::StringBuffer body_;
  Writer writer_{body_};
  std::string out_;
  std::vector<char> in_;
  size_t in_used_ = 0;
  InsituDocument envelope_;
  InsituDocument body_doc_;
  int64_t login_code_ = -1;
  int64_t last_id_ = 0;
  int64_t last_result_ = -1;
  uint64_t results_ = 0;
  uint64_t failed_ = 0;
  uint64_t received_ = 0;
};

// Runs one command line; false when it is not understood or the connection failed.
bool Run(Client& client, const std::string& line) {
  std::istringstream in(line);
  std::string verb, to;
  int n = 0, gap_ms = 0;
  size_t bytes = 0;
  in >> verb;
  if (verb == "mark") {
    std::printf("mark %.9f %llu\n", CpuSeconds(),
                static_cast<unsigned long long>(client.received()));
  } else if (verb == "send" && in >> to >> n >> bytes) {
    const std::string text = Text(bytes);
    const uint64_t failed = client.failed();
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    if (!client.SendMany(to, n, text)) return false;
    std::printf("sent %.9f %.9f %llu\n",
                std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpu,
                static_cast<unsigned long long>(client.failed() - failed));
  } else if (verb == "ping" && in >> to >> n >> gap_ms >> bytes) {
    const std::string text = Text(bytes);
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
      const auto start = Clock::now();
      if (!client.Ping(to, text)) return false;
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    }
    std::printf("ping");
    for (double u : us) std::printf(" %.1f", u);
    std::printf("\n");
  } else {
    return false;
  }
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: raw_client HOST UID\n");
    return 2;
  }
  Client client;
  if (!client.Login(argv[1], argv[2])) {
    std::fprintf(stderr, "raw_client: login of %s on %s failed\n", argv[2], argv[1]);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  // Between commands, acknowledge what arrives.
  std::string input;
  while (true) {
    pollfd p[2] = {{0, POLLIN, 0}, {client.fd(), POLLIN, 0}};
    if (poll(p, 2, -1) < 0) return 1;
    if (p[1].revents != 0 && !client.Read()) return 1;
    if (p[0].revents == 0) continue;
    char chunk[256];
    const ssize_t n = read(0, chunk, sizeof(chunk));
    if (n <= 0) return 0;
    input.append(chunk, static_cast<size_t>(n));
    for (size_t eol; (eol = input.find('\n')) != std::string::npos; input.erase(0, eol + 1)) {
      if (!Run(client, input.substr(0, eol))) {
        std::fprintf(stderr, "raw_client: failed: %s\n", input.substr(0, eol).c_str());
        return 1;
      }
    }
  }
}
