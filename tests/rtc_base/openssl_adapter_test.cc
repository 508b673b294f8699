// The TLS adapter against real peers on loopback: openssl s_server, gnutls-serv, socat and
// s_client, with a private CA made by the test, plus scripted peers for hostile timing.
#include "rtc_base/openssl_adapter.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "log_capture.h"
#include "openssl_cli.h"
#include "rtc_base/message_digest.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/ssl_roots.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::UnusedLoopbackPort;
using testing::LoggedPeer;
using testing::PumpUntil;
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
  void OnConnect(AsyncSocket* socket) {
    ++connects;
    connected_state = socket->GetState();
  }
  void OnRead(AsyncSocket* socket) {
    char buf[16384];
    int n;
    while ((n = socket->Recv(buf, sizeof(buf), nullptr)) > 0) received.append(buf, n);
  }
  void OnWrite(AsyncSocket*) {
    if (on_write) on_write();
  }
  void OnClose(AsyncSocket*, int err) {
    ++closes;
    close_error = err;
    if (delete_on_close) adapter.reset();
  }
  bool Settled() const { return connects + closes > 0; }

  std::unique_ptr<SSLAdapter> adapter;
  int connects = 0;
  int closes = 0;
  int close_error = -12345;
  Socket::ConnState connected_state = Socket::CS_CLOSED;
  std::string received;
  std::function<void()> on_write;
  bool delete_on_close = false;
};

class OpenSSLAdapterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new testing::TestCa;
    const bool ok =
        ca_->Init() && ca_->Issue({"localhost", {"DNS:localhost", "IP:127.0.0.1"}}) &&
        ca_->Issue({"expired", {"DNS:localhost"}, "EC", "20200101000000Z", "20200201000000Z"}) &&
        testing::RunCommand(ca_->dir().path(),
                            "openssl req -x509 -nodes -newkey ec -pkeyopt "
                            "ec_paramgen_curve:P-256 -keyout selfsigned.key -out selfsigned.pem "
                            "-subj /CN=localhost -addext subjectAltName=DNS:localhost -days 2") == 0;
    if (!ok) {
      delete ca_;
      ca_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete ca_;
    UseSystemSSLRootCertificates();
  }
  void SetUp() override {
    ASSERT_TRUE(ca_);
    SetSSLRootCertificates({Der(ca_->ca_pem())});
  }

  // openssl s_server with `cert` on a free port; -1 when it does not come up.
  int StartServer(LoggedPeer* peer, const std::string& cert, const std::string& options = "-rev") {
    const int port = UnusedLoopbackPort();
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
    AsyncSocket* socket = ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM);
    SSLAdapter* adapter = factory ? factory->CreateAdapter(socket) : SSLAdapter::Create(socket);
    auto client = std::make_unique<Client>(adapter);
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

  static testing::TestCa* ca_;
  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
};

testing::TestCa* OpenSSLAdapterTest::ca_ = nullptr;

struct EchoPeer {
  const char* name;
  const char* command;  // %p is the port
  const char* ready;
  const char* reply;
};

class OpenSSLAdapterEchoTest : public OpenSSLAdapterTest,
                               public ::testing::WithParamInterface<EchoPeer> {};

TEST_P(OpenSSLAdapterEchoTest, HandshakesAndEchoes) {
  const EchoPeer& peer_info = GetParam();
  LoggedPeer peer;
  const int port = UnusedLoopbackPort();
  std::string command = peer_info.command;
  command.replace(command.find("%p"), 2, std::to_string(port));
  ASSERT_TRUE(peer.Start(ca_->dir().path(), command, std::string(peer_info.name) + ".log",
                         peer_info.ready))
      << peer.Log();

  std::unique_ptr<Client> client = Connect(port, "localhost");
  SSLAdapter* adapter = client->adapter.get();
  EXPECT_EQ(-1, adapter->StartSSL("localhost", false));
  EXPECT_EQ(-1, adapter->Send("x", 1));
  EXPECT_EQ(ENOTCONN, adapter->GetError());
  // Until the handshake is over the adapter says it is connecting, though TCP is up.
  bool connected_too_early = false;
  ASSERT_TRUE(PumpUntil([&] {
    if (client->connects == 0 && adapter->GetState() == Socket::CS_CONNECTED) {
      connected_too_early = true;
    }
    return client->Settled();
  }));
  EXPECT_FALSE(connected_too_early);
  ASSERT_EQ(1, client->connects) << peer.Log();
  EXPECT_EQ(Socket::CS_CONNECTED, client->connected_state);
  EXPECT_EQ(6, adapter->Send("hello\n", 6));
  ASSERT_TRUE(PumpUntil([&] { return client->received.size() >= 6; }));
  EXPECT_EQ(peer_info.reply, client->received);
  EXPECT_FALSE(adapter->IsResumedSession());
  EXPECT_EQ(0, client->closes);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, OpenSSLAdapterEchoTest,
    ::testing::Values(
        EchoPeer{"openssl_tls12",
                 "openssl s_server -accept 127.0.0.1:%p -cert localhost.pem -key localhost.key "
                 "-rev -tls1_2",
                 "ACCEPT", "olleh\n"},
        EchoPeer{"gnutls",
                 "gnutls-serv --echo -p %p --x509certfile=localhost.pem "
                 "--x509keyfile=localhost.key",
                 "Echo Server listening on IPv4", "hello\n"}),
    [](const ::testing::TestParamInfo<EchoPeer>& info) { return std::string(info.param.name); });

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

TEST_F(OpenSSLAdapterTest, CertificateDecisions) {
  LoggedPeer good, expired, selfsigned;
  const int good_port = StartServer(&good, "localhost");
  const int expired_port = StartServer(&expired, "expired");
  const int selfsigned_port = StartServer(&selfsigned, "selfsigned");
  ASSERT_GT(good_port, 0);
  ASSERT_GT(expired_port, 0);
  ASSERT_GT(selfsigned_port, 0);
  AcceptingVerifier accept(true), refuse(false);
  const struct {
    const char* what;
    int port;
    const char* host;
    bool ignore_bad_cert;
    SSLCertificateVerifier* verifier;
    bool connects;
    const char* log;
  } cases[] = {
      {"matching name", good_port, "localhost", false, nullptr, true, ""},
      {"address in the certificate", good_port, "127.0.0.1", false, nullptr, true, ""},
      {"wrong name", good_port, "wrong.test", false, nullptr, false,
       "TLS post connection check failed"},
      {"no name", good_port, "", false, nullptr, false,
       "Hostname is empty. Cannot verify peer certificate."},
      {"wrong name ignored", good_port, "wrong.test", true, nullptr, true,
       "Overriding name verification failure!"},
      {"expired", expired_port, "localhost", false, nullptr, false, "certificate has expired"},
      {"unknown issuer", selfsigned_port, "localhost", false, nullptr, false,
       "Error with certificate at depth: 0"},
      {"unknown issuer, verifier accepts", selfsigned_port, "localhost", false, &accept, true,
       "Validated certificate using custom callback"},
      {"unknown issuer, verifier refuses", selfsigned_port, "localhost", false, &refuse, false,
       "Failed to verify certificate using custom callback"},
      {"unknown issuer ignored", selfsigned_port, "localhost", true, nullptr, true,
       "Ignoring cert error while verifying cert chain"},
  };
  for (const auto& c : cases) {
    CapturingSink log;
    std::unique_ptr<Client> client = Connect(c.port, c.host, [&](SSLAdapter* adapter) {
      adapter->SetIgnoreBadCert(c.ignore_bad_cert);
      adapter->SetCertVerifier(c.verifier);
    });
    ASSERT_TRUE(PumpUntil([&] { return client->Settled(); })) << c.what;
    EXPECT_EQ(c.connects ? 1 : 0, client->connects) << c.what;
    EXPECT_EQ(c.connects ? 0 : 1, client->closes) << c.what;
    if (!c.connects) EXPECT_NE(0, client->close_error) << c.what;
    EXPECT_TRUE(log.Contains(c.log)) << c.what;
  }
  EXPECT_GT(accept.calls, 0);
  EXPECT_GT(refuse.calls, 0);
}

TEST_F(OpenSSLAdapterTest, FactoryConnectionsResumeTheirSession) {
  LoggedPeer selfsigned;
  const int port = StartServer(&selfsigned, "selfsigned");
  ASSERT_GT(port, 0);
  AcceptingVerifier verifier(true);
  {
    std::unique_ptr<SSLAdapterFactory> factory = SSLAdapterFactory::Create();
    factory->SetCertVerifier(&verifier);
    // The first connection reads after the handshake, so that TLS 1.3 tickets arrive.
    std::unique_ptr<Client> first = Connect(port, "localhost", nullptr, factory.get());
    ASSERT_TRUE(EchoRoundTrip(first.get(), "olleh\n")) << port;
    EXPECT_FALSE(first->adapter->IsResumedSession());
    first->adapter->Close();

    std::unique_ptr<Client> second = Connect(port, "localhost", nullptr, factory.get());
    ASSERT_TRUE(EchoRoundTrip(second.get(), "olleh\n")) << port;
    EXPECT_TRUE(second->adapter->IsResumedSession()) << port;
    second->adapter->Close();  // s_server serves one connection at a time.

    // A stand-alone adapter has no cache.
    std::unique_ptr<Client> alone = Connect(port, "localhost", [&](SSLAdapter* adapter) {
      adapter->SetCertVerifier(&verifier);
    });
    ASSERT_TRUE(EchoRoundTrip(alone.get(), "olleh\n")) << port;
    EXPECT_FALSE(alone->adapter->IsResumedSession());
    alone->adapter->Close();
  }
}


TEST_F(OpenSSLAdapterTest, AlpnOfferReachesTheServerUnlessAProtocolIsMalformed) {
  LoggedPeer peer;
  const int port = StartServer(&peer, "localhost", "-rev -alpn http/1.1");
  ASSERT_GT(port, 0);
  std::unique_ptr<Client> client = Connect(port, "localhost", [](SSLAdapter* adapter) {
    adapter->SetAlpnProtocols({"foo", "http/1.1"});
  });
  ASSERT_TRUE(EchoRoundTrip(client.get(), "olleh\n"));
  EXPECT_TRUE(peer.WaitForLog("ALPN protocols advertised by the client: foo, http/1.1"));
  EXPECT_TRUE(peer.WaitForLog("ALPN protocols selected: http/1.1"));
  client->adapter->Close();

  CapturingSink log;
  std::unique_ptr<Client> malformed = Connect(port, "localhost", [](SSLAdapter* adapter) {
    adapter->SetAlpnProtocols({"http/1.1", std::string(256, 'a')});
  });
  ASSERT_TRUE(EchoRoundTrip(malformed.get(), "olleh\n"));
  EXPECT_TRUE(log.Contains("TransformAlpnProtocols received proto with size 256"));
  // The server has seen two connections but only one offer.
  ASSERT_TRUE(peer.WaitForLog("CONNECTION ESTABLISHED", 2));
  EXPECT_EQ(1, peer.CountInLog("ALPN protocols advertised"));

  EXPECT_EQ("", TransformAlpnProtocols({"foo", ""}));
}

// socat ends TLS and forwards to a scripted reader that reads nothing until released.
TEST_F(OpenSSLAdapterTest, LargeWritesAgainstAStalledReaderArriveIntactAndOnce) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex mutex;
  std::string received_digest;
  size_t received_size = 0;
  ScriptedServer reader([&](int fd, int) {
    released.wait();
    std::unique_ptr<MessageDigest> digest = MessageDigestFactory::Create(DIGEST_SHA_256);
    size_t size = 0;
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) {
      digest->Update(buf, n);
      size += n;
    }
    unsigned char out[32];
    digest->Finish(out, sizeof(out));
    std::lock_guard<std::mutex> lock(mutex);
    received_digest.assign(reinterpret_cast<char*>(out), 32);
    received_size = size;
  });
  ASSERT_TRUE(reader.Start());
  LoggedPeer socat;
  const int port = UnusedLoopbackPort();
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

  // Byte i of the stream is i % 251, so a part sent twice or skipped changes the digest.
  constexpr size_t kChunk = 256 * 1024;
  constexpr size_t kPeriod = 251;
  std::string pattern(kChunk + kPeriod, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i % kPeriod);
  std::unique_ptr<MessageDigest> sent_digest = MessageDigestFactory::Create(DIGEST_SHA_256);
  size_t sent = 0;
  auto send_next = [&]() {
    const char* chunk = pattern.data() + sent % kPeriod;
    int n = adapter->Send(chunk, kChunk);
    if (n > 0) {
      sent_digest->Update(chunk, n);
      sent += n;
    }
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

  const size_t target = sent + 3 * kChunk;
  bool done = false;
  client->on_write = [&] {
    while (sent < target) {
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
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return received_size > 0;
  }, 20000));
  unsigned char expected[32];
  sent_digest->Finish(expected, sizeof(expected));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(sent, received_size);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(expected), 32), received_digest);
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

TEST_F(OpenSSLAdapterTest, RootListWithoutAParsableEntryFailsContextCreation) {
  CapturingSink log;
  SetSSLRootCertificates({"not a certificate", ""});
  std::unique_ptr<SSLAdapterFactory> factory = SSLAdapterFactory::Create();
  EXPECT_EQ(nullptr, factory->CreateAdapter(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM)));
  EXPECT_TRUE(log.Contains(
      "SSL_CTX creation failed: Failed to load any trusted ssl root certificates."));

  // Unparsable entries are skipped; the good one still verifies the server.
  LoggedPeer peer;
  const int port = StartServer(&peer, "localhost");
  ASSERT_GT(port, 0);
  SetSSLRootCertificates({"junk", Der(ca_->ca_pem())});
  std::unique_ptr<Client> client = Connect(port, "localhost");
  EXPECT_TRUE(EchoRoundTrip(client.get(), "olleh\n"));
  client->adapter->Close();

  // The system bundle trusts public roots, not the test CA.
  UseSystemSSLRootCertificates();
  std::unique_ptr<Client> untrusted = Connect(port, "localhost");
  ASSERT_TRUE(PumpUntil([&] { return untrusted->Settled(); }));
  EXPECT_EQ(1, untrusted->closes);
  EXPECT_TRUE(log.Contains("unable to get local issuer certificate"));
}

}  // namespace
}  // namespace rtc
