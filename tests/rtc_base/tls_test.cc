// TLS, certificates, digests and Base64 against real peers and the command-line tools: openssl
// s_server, s_client, x509 and dgst, gnutls-serv, socat and coreutils, with a private CA made
// by the test, plus scripted peers for hostile timing.
#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "log_capture.h"
#include "openssl_cli.h"
#include "rtc_base/crypto/openssl_digest.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/strings/base64.h"
#include "rtc_base/strings/string_encode.h"
#include "rtc_base/threads/thread.h"
#include "rtc_base/tls/openssl_adapter.h"
#include "rtc_base/tls/openssl_identity.h"
#include "rtc_base/tls/ssl_fingerprint.h"
#include "rtc_base/tls/ssl_roots.h"

namespace rtc {
namespace {

using testing::DrainQueue;
using testing::LoggedPeer;
using testing::PumpUntil;
using testing::RunCommand;
using testing::ScriptedServer;

std::string Der(const std::string& pem) {
  std::string der;
  SSLIdentity::PemToDer("CERTIFICATE", pem, &der);
  return der;
}

// Records what an adapter reports; reads everything on each read event.
class Client : public sigslot::has_slots<> {
 public:
  explicit Client(SSLAdapter* adapter) : adapter(adapter) {
    adapter->SignalConnectEvent.connect(this, &Client::OnConnect);
    adapter->SignalReadEvent.connect(this, &Client::OnRead);
    adapter->SignalWriteEvent.connect(this, &Client::OnWrite);
    adapter->SignalCloseEvent.connect(this, &Client::OnClose);
  }
  void OnConnect(AsyncSocket*) {
    ++connects;
    *handshaking = false;
  }
  void OnRead(AsyncSocket* socket) {
    ++reads;
    char buf[16384];
    int n;
    while ((n = socket->Recv(buf, sizeof(buf), nullptr)) > 0) received.append(buf, n);
  }
  void OnWrite(AsyncSocket*) {
    ++writes;
    if (on_write) on_write();
  }
  void OnClose(AsyncSocket*, int err) {
    ++closes;
    *handshaking = false;
    close_error = err;
    if (delete_on_close) adapter.reset();
  }
  bool Settled() const { return connects + closes > 0; }

  std::unique_ptr<SSLAdapter> adapter;
  int connects = 0;
  int closes = 0;
  int reads = 0;
  int writes = 0;
  std::shared_ptr<bool> handshaking = std::make_shared<bool>(true);
  int close_error = -12345;
  std::string received;
  std::function<void()> on_write;
  bool delete_on_close = false;
};

// Reads that wait for the peer until the handshake has ended, so that all of it runs inside
// the first SSL_connect, as it does against a fast peer.
class WaitingReads : public AsyncSocketAdapter {
 public:
  WaitingReads(AsyncSocket* socket, std::shared_ptr<bool> handshaking)
      : AsyncSocketAdapter(socket), handshaking_(std::move(handshaking)) {}
  int Recv(void* pv, size_t cb, int64_t* timestamp) override {
    pollfd p = {static_cast<SocketDispatcher*>(socket_.get())->GetDescriptor(), POLLIN, 0};
    if (*handshaking_) poll(&p, 1, 5000);
    return AsyncSocketAdapter::Recv(pv, cb, timestamp);
  }

 private:
  std::shared_ptr<bool> handshaking_;
};

// A private CA with its certificates, and identities of our own, shared by the tests: key
// generation, RSA above all, is slow.
class OpenSSLAdapterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ecdsa_ = SSLIdentity::Generate("ecdsa-id", KT_ECDSA).release();
    rsa_ = SSLIdentity::Generate("rsa-id", KT_RSA).release();
    ca_ = new testing::TestCa;
    using Leaf = testing::TestCa::Leaf;
    const std::vector<std::string> localhost = {"DNS:localhost"};
    std::vector<Leaf> certs = {
        {"localhost", {"DNS:localhost", "IP:127.0.0.1"}},
        {"expired", localhost, "EC", "20200101000000Z", "20200201000000Z"},
        {"other", {"DNS:other.test", "IP:127.0.0.1"}},
        {"inter", {}, "EC", "", "", "ca", true},
        {"inter2", {}, "EC", "", "", "ca", true},
        {"via-inter", localhost, "EC", "", "", "inter"},
        {"notca", {"DNS:notca.test"}},
        {"via-notca", localhost, "EC", "", "", "notca"},
    };
    // i1 under the root, each next one under the one before: four or five intermediates.
    for (int i = 1; i <= 5; ++i) {
      const std::string issuer = i == 1 ? "ca" : "i" + std::to_string(i - 1);
      certs.push_back({"i" + std::to_string(i), {}, "EC", "", "", issuer, true});
    }
    certs.push_back({"deep4", localhost, "EC", "", "", "i4"});
    certs.push_back({"deep5", localhost, "EC", "", "", "i5"});
    bool ok = ca_->Init();
    for (const Leaf& leaf : certs) ok = ok && ca_->Issue(leaf);
    ok = ok && testing::RunCommand(
                   ca_->dir().path(),
                   "cat i4.pem i3.pem i2.pem i1.pem > deep4.chain && "
                   "cat i5.pem deep4.chain > deep5.chain && "
                   "openssl req -x509 -nodes -newkey ec -pkeyopt "
                   "ec_paramgen_curve:P-256 -keyout selfsigned.key -out selfsigned.pem "
                   "-subj /CN=localhost -addext subjectAltName=DNS:localhost -days 2") == 0;
    if (!ok) {
      delete ca_;
      ca_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete ecdsa_;
    delete rsa_;
    delete ca_;
    UseSystemSSLRootCertificates();
  }
  void SetUp() override {
    ASSERT_TRUE(ca_ && ecdsa_ && rsa_);
    SetSSLRootCertificates({Der(ca_->ca_pem())});
  }

  // openssl s_server with `cert` on a free port; -1 when it does not come up.
  int StartServer(LoggedPeer* peer, const std::string& cert, const std::string& options = "-rev") {
    const int port = peer->ReservePort();
    if (port < 0) return -1;
    const std::string p = std::to_string(port);
    bool ok = peer->Start(ca_->dir().path(),
                          "stdbuf -oL openssl s_server -accept 127.0.0.1:" + p + " -cert " + cert +
                              ".pem -key " + cert + ".key " + options,
                          "s_server_" + p + ".log", "ACCEPT");
    return ok ? port : -1;
  }

  std::unique_ptr<Client> Connect(int port, const std::string& host,
                                  const std::function<void(SSLAdapter*)>& setup = nullptr,
                                  SSLAdapterFactory* factory = nullptr) {
    auto handshaking = std::make_shared<bool>(true);
    AsyncSocket* socket = ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM);
    if (fast_peer_) socket = new WaitingReads(socket, handshaking);
    SSLAdapter* adapter = factory ? factory->CreateAdapter(socket) : SSLAdapter::Create(socket);
    auto client = std::make_unique<Client>(adapter);
    client->handshaking = handshaking;
    if (setup) setup(adapter);
    EXPECT_EQ(0, adapter->StartSSL(host.c_str(), false));
    EXPECT_EQ(0, adapter->Connect(SocketAddress("127.0.0.1", port)));
    return client;
  }

  // Connects, sends a line and waits for `reply`.
  bool EchoRoundTrip(Client* client, const std::string& reply) {
    if (!PumpUntil([&] { return client->Settled(); }, 5000) || client->connects != 1) {
      return false;
    }
    if (client->adapter->Send("hello\n", 6) != 6) return false;
    return PumpUntil([&] { return client->received == reply || client->closes > 0; }, 5000) &&
           client->received == reply;
  }

  // `openssl x509 <options>` on a certificate file in the CA's directory.
  static std::string X509Cli(const std::string& file, const std::string& options) {
    std::string out;
    EXPECT_EQ(0, RunCommand(ca_->dir().path(), "openssl x509 -in " + file + " " + options, &out));
    return out;
  }

  bool fast_peer_ = false;
  static testing::TestCa* ca_;
  static SSLIdentity* ecdsa_;
  static SSLIdentity* rsa_;
  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
};

testing::TestCa* OpenSSLAdapterTest::ca_ = nullptr;
SSLIdentity* OpenSSLAdapterTest::ecdsa_ = nullptr;
SSLIdentity* OpenSSLAdapterTest::rsa_ = nullptr;

class AcceptingVerifier : public SSLCertificateVerifier {
 public:
  explicit AcceptingVerifier(bool accept) : accept_(accept) {}
  bool Verify(const SSLCertificate& certificate) override {
    ++calls;
    std::string alg;
    certificate.GetSignatureDigestAlgorithm(&alg);
    return accept_ && alg == DIGEST_SHA_256;
  }
  int calls = 0;

 private:
  bool accept_;
};

// What the server sees of the handshake, and whether the chain it sends leads to a trusted
// root: a server with two names answers with the certificate of the name the client sent; an
// address is never sent as a name; chains through up to four intermediates are accepted.
TEST_F(OpenSSLAdapterTest, CertificateDecisions) {
  const char* kSeen = "Hostname in TLS extension: \"localhost\"";
  // Each server's certificate and its s_server options.
  const std::map<std::string, std::pair<std::string, std::string>> servers = {
      {"good", {"localhost", "-rev"}},
      {"expired", {"expired", "-rev"}},
      {"selfsigned", {"selfsigned", "-rev"}},
      {"named",
       {"other",
        "-rev -trace -servername localhost -cert2 localhost.pem -key2 localhost.key "
        "-servername_fatal"}},
      {"via-inter", {"via-inter", "-rev -cert_chain inter.pem"}},
      {"inter-not-sent", {"via-inter", "-rev"}},
      {"wrong-inter", {"via-inter", "-rev -cert_chain inter2.pem"}},
      {"via-notca", {"via-notca", "-rev -cert_chain notca.pem"}},
      {"deep4", {"deep4", "-rev -cert_chain deep4.chain"}},
      {"deep5", {"deep5", "-rev -cert_chain deep5.chain"}},
  };
  std::map<std::string, int> port;
  std::map<std::string, LoggedPeer> peer;
  for (const auto& [name, server] : servers) {
    port[name] = StartServer(&peer[name], server.first, server.second);
    ASSERT_GT(port[name], 0) << name;
  }
  AcceptingVerifier accept(true), refuse(false);
  const struct {
    const char* what;
    const char* server;
    const char* host;
    bool ignore_bad_cert;
    SSLCertificateVerifier* verifier;
    bool connects;
    const char* log;
    int names_seen = 0;  // By the server with two names.
  } cases[] = {
      {"matching name", "good", "localhost", false, nullptr, true, ""},
      {"wrong name", "good", "wrong.test", false, nullptr, false,
       "TLS post connection check failed"},
      {"no name", "good", "", false, nullptr, false,
       "Hostname is empty. Cannot verify peer certificate."},
      {"wrong name ignored", "good", "wrong.test", true, nullptr, true,
       "Overriding name verification failure!"},
      {"expired", "expired", "localhost", false, nullptr, false, "certificate has expired"},
      {"unknown issuer", "selfsigned", "localhost", false, nullptr, false,
       "Error with certificate at depth: 0"},
      {"unknown issuer, verifier accepts", "selfsigned", "localhost", false, &accept, true,
       "Validated certificate using custom callback"},
      {"unknown issuer, verifier refuses", "selfsigned", "localhost", false, &refuse, false,
       "Failed to verify certificate using custom callback"},
      {"unknown issuer ignored", "selfsigned", "localhost", true, nullptr, true,
       "Ignoring cert error while verifying cert chain"},
      {"server name sent", "named", "localhost", false, nullptr, true, "", 1},
      {"no server name for an address", "named", "127.0.0.1", false, nullptr, true, ""},
      {"through an intermediate", "via-inter", "localhost", false, nullptr, true, ""},
      {"intermediate not sent", "inter-not-sent", "localhost", false, nullptr, false,
       "unable to get local issuer certificate"},
      {"another authority's intermediate", "wrong-inter", "localhost", false, nullptr, false,
       "unable to get local issuer certificate"},
      {"issuer that is no authority", "via-notca", "localhost", false, nullptr, false,
       "invalid CA certificate"},
      {"four intermediates", "deep4", "localhost", false, nullptr, true, ""},
      {"five intermediates", "deep5", "localhost", false, nullptr, false,
       "certificate chain too long"},
  };
  // The same decisions whether the handshake takes several socket events or ends inside the
  // first SSL_connect. A refused connection is closed: nothing passes in the clear either way.
  for (bool fast_peer : {false, true}) {
    fast_peer_ = fast_peer;
    for (const auto& c : cases) {
      CapturingSink log;
      const int seen = peer["named"].CountInLog(kSeen);
      std::unique_ptr<Client> client = Connect(port[c.server], c.host, [&](SSLAdapter* adapter) {
        adapter->SetIgnoreBadCert(c.ignore_bad_cert);
        adapter->SetCertVerifier(c.verifier);
      });
      ASSERT_TRUE(PumpUntil([&] { return client->Settled(); })) << c.what;
      EXPECT_EQ(c.connects ? 1 : 0, client->connects) << c.what;
      EXPECT_TRUE(log.Contains(c.log)) << c.what;
      if (c.names_seen > 0) EXPECT_TRUE(peer["named"].WaitForLog(kSeen, seen + c.names_seen));
      EXPECT_EQ(seen + c.names_seen, peer["named"].CountInLog(kSeen)) << c.what;
      if (c.connects) continue;
      ASSERT_TRUE(DrainQueue());
      EXPECT_EQ(1, client->closes) << c.what;
      EXPECT_NE(0, client->close_error) << c.what;
      EXPECT_EQ(0, client->reads + client->writes) << c.what << " " << client->received;
      char buf[64];
      EXPECT_EQ(-1, client->adapter->Send("plain", 5)) << c.what;
      EXPECT_EQ(-1, client->adapter->Recv(buf, sizeof(buf), nullptr)) << c.what;
      EXPECT_EQ(client->close_error, client->adapter->GetError()) << c.what;
      EXPECT_EQ(Socket::CS_CLOSED, client->adapter->GetState()) << c.what;
    }
  }
  EXPECT_GT(accept.calls, 0);
  EXPECT_GT(refuse.calls, 0);
}

// socat ends TLS and forwards to a scripted reader that reads nothing until released.
TEST_F(OpenSSLAdapterTest, LargeWritesAgainstAStalledReaderArriveIntactAndOnce) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<std::string> received;
  ScriptedServer reader([&](int fd, int) {
    released.wait();
    std::string all;
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;) all.append(buf, n);
    received.set_value(all);
  });
  ASSERT_TRUE(reader.Start());
  // The reader is let go however the test ends, so that its server can stop.
  std::shared_ptr<void> let_go(nullptr, [&](void*) {
    try {
      release.set_value();
    } catch (const std::future_error&) {
    }
  });
  LoggedPeer socat;
  const int port = socat.ReservePort();
  ASSERT_GT(port, 0);
  ASSERT_TRUE(socat.Start(ca_->dir().path(),
                          "socat -d -d OPENSSL-LISTEN:" + std::to_string(port) +
                              ",bind=127.0.0.1,reuseaddr,rcvbuf=32768,cert=localhost.pem,"
                              "key=localhost.key,verify=0 TCP:127.0.0.1:" +
                              std::to_string(reader.port()) + ",sndbuf=32768",
                          "socat.log", "listening on"));

  // Small buffers on every hop, so that they fill after little data.
  std::unique_ptr<Client> client = Connect(port, "localhost", [](SSLAdapter* adapter) {
    adapter->SetOption(Socket::OPT_SNDBUF, 32768);
  });
  ASSERT_TRUE(PumpUntil([&] { return client->Settled(); }));
  ASSERT_EQ(1, client->connects);
  SSLAdapter* adapter = client->adapter.get();

  // Byte i of the stream is i % 251, so a part sent twice or skipped shows.
  constexpr size_t kChunk = 256 * 1024;
  constexpr size_t kPeriod = 251;
  std::string pattern(kChunk + kPeriod, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i % kPeriod);
  std::string sent;
  auto send_next = [&]() {
    const char* chunk = pattern.data() + sent.size() % kPeriod;
    int n = adapter->Send(chunk, kChunk);
    if (n > 0) sent.append(chunk, n);
    return n;
  };
  // OpenSSL returns after each record while the socket takes them; once it takes none, the
  // whole chunk is kept and counted as sent, and the next Send must wait.
  bool buffered_whole = false;
  int last = 0;
  for (int i = 0; i < 20000 && last >= 0; ++i) {
    last = send_next();
    if (last == static_cast<int>(kChunk)) buffered_whole = true;
  }
  ASSERT_EQ(-1, last);
  EXPECT_EQ(EWOULDBLOCK, adapter->GetError());
  EXPECT_TRUE(buffered_whole);

  const size_t target = sent.size() + 3 * kChunk;
  bool done = false;
  client->on_write = [&] {
    while (sent.size() < target) {
      if (send_next() <= 0) return;
    }
    // An empty Send gives 0 only once nothing is held back any more; until then the next
    // write event comes when what was buffered has gone out.
    if (adapter->Send("", 0) != 0) return;
    done = true;
    adapter->Close();
  };
  release.set_value();
  ASSERT_TRUE(PumpUntil([&] { return done; }, 20000));
  std::future<std::string> arrived = received.get_future();
  ASSERT_EQ(std::future_status::ready, arrived.wait_for(std::chrono::seconds(20)));
  const std::string all = arrived.get();
  EXPECT_EQ(sent.size(), all.size());
  EXPECT_TRUE(sent == all);
}

TEST_F(OpenSSLAdapterTest, PeerClosingMidHandshakeIsAnErrorAndTheOwnerMayDeleteTheAdapter) {
  ScriptedServer hangup([](int fd, int) {
    char buf[512];
    recv(fd, buf, sizeof(buf), 0);  // The ClientHello, then nothing.
  });
  ASSERT_TRUE(hangup.Start());
  std::unique_ptr<Client> client = Connect(hangup.port(), "localhost");
  client->delete_on_close = true;
  ASSERT_TRUE(PumpUntil([&] { return client->Settled(); }));
  EXPECT_EQ(0, client->connects);
  EXPECT_EQ(1, client->closes);
  EXPECT_NE(0, client->close_error);
  EXPECT_EQ(nullptr, client->adapter);
  // Nothing is left queued for the deleted adapter.
  Thread::Current()->ProcessMessages(0);
}

// Seconds since the epoch of an openssl "notAfter=Mar  3 12:00:00 2026 GMT" line.
int64_t CliDate(const std::string& line) {
  struct tm tm = {};
  const char* value = strchr(line.c_str(), '=');
  if (value == nullptr || strptime(value + 1, "%b %d %H:%M:%S %Y GMT", &tm) == nullptr) {
    return -1;
  }
  return timegm(&tm);
}

std::string Field(const std::string& text, const std::string& name) {
  size_t pos = text.find(name);
  if (pos == std::string::npos) return "";
  size_t end = text.find('\n', pos);
  return text.substr(pos, end - pos);
}

using SSLIdentityTest = OpenSSLAdapterTest;

TEST_F(SSLIdentityTest, GeneratedCertificatesReadAsSelfSignedV3ByOpenssl) {
  const time_t now = time(nullptr);
  for (const SSLIdentity* identity : {ecdsa_, rsa_}) {
    ca_->dir().Write("gen.pem", identity->certificate().ToPEMString());
    const std::string text = X509Cli("gen.pem", "-noout -text -subject -issuer -serial -dates");
    EXPECT_NE(std::string::npos, text.find("Version: 3 (0x2)"));
    const std::string subject = Field(text, "subject=");
    EXPECT_NE(std::string::npos, subject.find(identity == ecdsa_ ? "ecdsa-id" : "rsa-id"));
    EXPECT_EQ(subject.substr(strlen("subject=")), Field(text, "issuer=").substr(strlen("issuer=")));
    // 64 random bits with the top one set: 16 hex digits, the first at least 8.
    const std::string serial = Field(text, "serial=").substr(strlen("serial="));
    ASSERT_EQ(16u, serial.size()) << serial;
    EXPECT_GE(serial[0], '8');
    const int64_t not_before = CliDate(Field(text, "notBefore="));
    const int64_t not_after = CliDate(Field(text, "notAfter="));
    EXPECT_NEAR(now - 86400, not_before, 5);
    EXPECT_NEAR(now + 2592000, not_after, 5);
    EXPECT_EQ(not_after, identity->certificate().CertificateExpirationTime());
    std::string verify;
    RunCommand(ca_->dir().path(), "openssl verify -CAfile gen.pem gen.pem", &verify, true);
    EXPECT_EQ("gen.pem: OK\n", verify);
    std::string alg;
    EXPECT_TRUE(identity->certificate().GetSignatureDigestAlgorithm(&alg));
    EXPECT_EQ(DIGEST_SHA_256, alg);
  }
}

TEST_F(SSLIdentityTest, ChainTextWithTrailingJunkYieldsBothCertificatesDespiteAStaleError) {
  const std::string chain =
      ca_->Pem("localhost") + ca_->ca_pem() + "trailing text, no BEGIN line\n";
  ERR_raise(ERR_LIB_USER, 1);  // Left behind by someone else.
  std::unique_ptr<SSLIdentity> identity =
      SSLIdentity::FromPEMChainStrings(ca_->Key("localhost"), chain);
  ASSERT_TRUE(identity);
  EXPECT_EQ(0u, ERR_peek_error());
  ASSERT_EQ(2u, identity->cert_chain().GetSize());
  EXPECT_EQ(ca_->Pem("localhost"), identity->cert_chain().Get(0).ToPEMString());
  EXPECT_EQ(ca_->ca_pem(), identity->cert_chain().Get(1).ToPEMString());

  // Both links reach a TLS context.
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  EXPECT_TRUE(static_cast<OpenSSLIdentity*>(identity.get())->ConfigureIdentity(ctx));
  STACK_OF(X509)* extra = nullptr;
  SSL_CTX_get0_chain_certs(ctx, &extra);
  EXPECT_EQ(1, sk_X509_num(extra));
  SSL_CTX_free(ctx);

  // Stats walk the chain: the leaf's issuer entry is the CA.
  std::unique_ptr<SSLCertificateStats> stats = identity->cert_chain().GetStats();
  ASSERT_TRUE(stats && stats->issuer);
  EXPECT_EQ(nullptr, stats->issuer->issuer);
  EXPECT_EQ(DIGEST_SHA_256, stats->fingerprint_algorithm);
  const std::string cli = X509Cli("ca.pem", "-noout -fingerprint -sha256");
  EXPECT_EQ(cli.substr(cli.find('=') + 1), stats->issuer->fingerprint + "\n");
  Buffer der;
  identity->certificate().ToDER(&der);
  EXPECT_EQ(Base64::Encode(std::string(reinterpret_cast<const char*>(der.data()), der.size())),
            stats->base64_certificate);
}

// What IsValid accepts is what can be generated, and a key with another key's certificate is
// no identity.
TEST_F(SSLIdentityTest, KeysAreValidExactlyWhenTheyGenerateAndIdentitiesMustMatch) {
  const KeyParams cases[] = {
      KeyParams::RSA(1024),        KeyParams::RSA(2048),        KeyParams::RSA(2048, 3),
      KeyParams::RSA(2048, 65536), KeyParams::RSA(8193, 65537), KeyParams::ECDSA(EC_NIST_P256),
      KeyParams::ECDSA(EC_LAST),   KeyParams(KT_LAST),
  };
  for (const KeyParams& params : cases) {
    EXPECT_EQ(params.IsValid(), OpenSSLKeyPair::Generate(params) != nullptr) << &params - cases;
  }
  EXPECT_TRUE(KeyParams::RSA(8192, 65537).IsValid());
  EXPECT_FALSE(KeyParams::RSA(2047, 65537).IsValid());

  const std::string chain = ca_->Pem("localhost") + ca_->ca_pem();
  EXPECT_TRUE(SSLIdentity::FromPEMStrings(ca_->Key("localhost"), ca_->Pem("localhost")));
  EXPECT_FALSE(SSLIdentity::FromPEMStrings(ca_->Key("expired"), ca_->Pem("localhost")));
  EXPECT_FALSE(SSLIdentity::FromPEMChainStrings(ca_->Key("ca"), chain));
  EXPECT_FALSE(SSLIdentity::FromPEMStrings(ecdsa_->PrivateKeyToPEMString(),
                                           rsa_->certificate().ToPEMString()));
}

TEST_F(SSLIdentityTest, PemToDerAndBack) {
  const std::string pem = ca_->Pem("localhost");
  std::string der;
  ASSERT_TRUE(SSLIdentity::PemToDer("CERTIFICATE", pem, &der));
  EXPECT_EQ(pem,
            SSLIdentity::DerToPem("CERTIFICATE", reinterpret_cast<const unsigned char*>(der.data()),
                                  der.size()));
  std::string out = "untouched";
  std::string corrupt = pem;
  corrupt[pem.find('\n') + 10] = '!';
  EXPECT_FALSE(SSLIdentity::PemToDer("CERTIFICATE", corrupt, &out));
  EXPECT_FALSE(SSLIdentity::PemToDer("PRIVATE KEY", pem, &out));
  EXPECT_FALSE(SSLIdentity::PemToDer("CERTIFICATE", "-----BEGIN CERTIFICATE-----", &out));
  // An END line before the BEGIN line does not count.
  EXPECT_FALSE(SSLIdentity::PemToDer("X", "-----END X-----\n-----BEGIN X-----\nTWFu\n", &out));
  EXPECT_EQ("untouched", out);
  EXPECT_TRUE(SSLIdentity::PemToDer("X", "-----BEGIN X-----\nTWFu\n-----END X-----\n", &out));
  EXPECT_EQ("Man", out);
}

TEST(SSLKeyPairTest, AnEncryptedKeyIsRefusedWithoutAPrompt) {
  testing::ScratchDir dir;
  ASSERT_EQ(0, RunCommand(dir.path(),
                          "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256"
                          " -aes256 -pass pass:secret -out enc.pem"));
  const std::string pem = dir.Read("enc.pem");
  // In a child whose controlling terminal is a pseudo-terminal we hold: a prompt would show
  // up on it, and the child would wait for an answer. Our own open of the other side keeps
  // the master from reporting a hang-up before the child opens it.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  const std::string slave_name = ptsname(master);
  int held = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int slave = open(slave_name.c_str(), O_RDWR);
    if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(3);
    _exit(OpenSSLKeyPair::FromPrivateKeyPEMString(pem) == nullptr ? 0 : 1);
  }
  int exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  ASSERT_GE(exited, 0);
  std::string terminal;
  pollfd pfds[2] = {{master, POLLIN, 0}, {exited, POLLIN, 0}};
  while (poll(pfds, 2, 5000) > 0 && pfds[1].revents == 0) {
    char buf[256];
    ssize_t n = read(master, buf, sizeof(buf));
    if (n > 0) terminal.append(buf, n);
  }
  int status = 0;
  if (pfds[1].revents == 0) {
    kill(pid, SIGKILL);
    ADD_FAILURE() << "still waiting after 5 s; the terminal shows: " << terminal;
  }
  waitpid(pid, &status, 0);
  close(exited);
  close(held);
  close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ("", terminal);
}

std::string RandomBytes(size_t len, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data(len, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  return data;
}

TEST(Base64Test, EncodingMatchesCoreutilsAndDecodesStrictlyBack) {
  testing::ScratchDir dir;
  for (size_t len : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 57u, 58u, 59u, 1000u}) {
    const std::string data = RandomBytes(len, 20 + static_cast<uint32_t>(len));
    dir.Write("data", data);
    std::string expected;
    ASSERT_EQ(0, testing::RunCommand(dir.path(), "base64 -w0 data", &expected));
    EXPECT_EQ(expected, Base64::Encode(data)) << len;
    std::string decoded;
    size_t used = 99;
    EXPECT_TRUE(Base64::Decode(expected, Base64::DO_STRICT, &decoded, &used)) << len;
    EXPECT_EQ(data, decoded);
    EXPECT_EQ(expected.size(), used);
  }
}

constexpr int kStrict = Base64::DO_PARSE_STRICT;
constexpr int kWhite = Base64::DO_PARSE_WHITE;
constexpr int kAny = Base64::DO_PARSE_ANY;
constexpr int kPadYes = Base64::DO_PAD_YES;
constexpr int kPadAny = Base64::DO_PAD_ANY;
constexpr int kPadNo = Base64::DO_PAD_NO;
constexpr int kBuffer = Base64::DO_TERM_BUFFER;
constexpr int kChar = Base64::DO_TERM_CHAR;
constexpr int kTermAny = Base64::DO_TERM_ANY;

TEST(Base64Test, DecodesAsTheFlagsSay) {
  struct FlagCase {
    const char* input;
    int flags;
    bool success;
    const char* output;
    size_t used;
  } cases[] = {{"TWE=", kStrict | kPadYes | kBuffer, true, "Ma", 4},
               {"TWE", kStrict | kPadYes | kBuffer, false, "Ma", 3},
               {"TWE", kStrict | kPadAny | kBuffer, true, "Ma", 3},
               // With pads illegal, '=' stops a strict parse and leaves input over.
               {"TWE=", kStrict | kPadNo | kBuffer, false, "Ma", 3},
               {"TWE=", kAny | kPadNo | kChar, true, "Ma", 4},
               {"TW E=", kStrict | kPadYes | kBuffer, false, "M", 2},
               {"TW E=", kWhite | kPadYes | kBuffer, true, "Ma", 5},
               // 'F' leaves non-zero bits that would start a third byte.
               {"TWF", kStrict | kPadAny | kChar, false, "Ma", 3},
               {"TWF", kStrict | kPadAny | kTermAny, true, "Ma", 3},
               {"TWFuA", kStrict | kPadAny | kChar, true, "Man", 5},
               {"TWFuA", kStrict | kPadAny | kBuffer, true, "Man", 5},
               {"TWFuB", kStrict | kPadAny | kChar, false, "Man", 5},
               {"TWFu!TWFu", kStrict | kPadAny | kChar, true, "Man", 4},
               {"TWFu!TWFu", kStrict | kPadAny | kBuffer, false, "Man", 4},
               {"TW\x80"
                "Fu!\xff"
                "TWFu",
                kAny | kPadAny | kBuffer, true, "ManMan", 11},
               // A pad run cut short by data is left unconsumed.
               {"TQ=TWE=", kStrict | kPadAny | kChar, true, "M", 2},
               {"TQ==", kStrict | kPadYes | kBuffer, true, "M", 4},
               {"TQ===", kStrict | kPadYes | kBuffer, false, "M", 4},
               {"", kStrict | kPadYes | kBuffer, true, "", 0},
               {"", kAny | kPadNo | kTermAny, true, "", 0}};
  for (const FlagCase& c : cases) {
    std::string out;
    size_t used = 99;
    EXPECT_EQ(c.success, Base64::DecodeFromArray(c.input, strlen(c.input), c.flags, &out, &used))
        << c.input << " " << c.flags;
    EXPECT_EQ(c.output, out) << c.input << " " << c.flags;
    EXPECT_EQ(c.used, used) << c.input << " " << c.flags;
  }
}

struct Algorithm {
  const char* name;
  const char* cli;  // openssl dgst option
};

const Algorithm kAlgorithms[] = {
    {DIGEST_MD5, "-md5"},        {DIGEST_SHA_1, "-sha1"},     {DIGEST_SHA_224, "-sha224"},
    {DIGEST_SHA_256, "-sha256"}, {DIGEST_SHA_384, "-sha384"}, {DIGEST_SHA_512, "-sha512"},
};

// The hex digest printed by `openssl dgst -r` for the file "data".
std::string CliDigest(const testing::ScratchDir& dir, const std::string& options) {
  std::string out;
  EXPECT_EQ(0, testing::RunCommand(dir.path(), "openssl dgst -r " + options + " data", &out));
  return out.substr(0, out.find(' '));
}

TEST(MessageDigestTest, DigestsAndHmacsMatchTheOpensslCommandLine) {
  testing::ScratchDir dir;
  const std::string data = RandomBytes(1001, 1);
  dir.Write("data", data);
  for (const Algorithm& alg : kAlgorithms) {
    EXPECT_EQ(CliDigest(dir, alg.cli), ComputeDigest(alg.name, data)) << alg.name;
  }
  // A key of 64 bytes is used as it is; 65 is hashed first.
  for (size_t key_len : {1u, 64u, 65u, 131u}) {
    const std::string key = RandomBytes(key_len, 100 + static_cast<uint32_t>(key_len));
    for (const Algorithm& alg : kAlgorithms) {
      std::string hmac;
      bool ok = ComputeHmac(alg.name, key, data, &hmac);
      if (alg.name == std::string(DIGEST_SHA_384) || alg.name == std::string(DIGEST_SHA_512)) {
        EXPECT_FALSE(ok);
        continue;
      }
      EXPECT_TRUE(ok);
      EXPECT_EQ(
          CliDigest(dir, std::string(alg.cli) + " -mac HMAC -macopt hexkey:" + hex_encode(key)),
          hmac)
          << alg.name << " with a key of " << key_len;
    }
  }
  unsigned char out[64];
  EXPECT_EQ(0u, ComputeHmac(DIGEST_SHA_256, "k", 1, "m", 1, out, 31));
  EXPECT_EQ(32u, ComputeHmac(DIGEST_SHA_256, "k", 1, "m", 1, out, 32));
  for (const char* name : {"SHA-256", "sha256", "sha-3", ""}) {
    EXPECT_EQ(nullptr, MessageDigestFactory::Create(name)) << name;
    std::string untouched = "untouched";
    EXPECT_FALSE(ComputeDigest(name, "abc", &untouched));
    EXPECT_FALSE(ComputeHmac(name, "key", "abc", &untouched));
    EXPECT_EQ("untouched", untouched);
  }
}

}  // namespace
}  // namespace rtc
