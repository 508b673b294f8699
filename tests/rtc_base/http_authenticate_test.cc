#include "rtc_base/http_authenticate.h"

#include <sys/wait.h>

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "http_test_server.h"
#include "proxy_peers.h"

namespace rtc {
namespace {

using testing::Password;

struct Answer {
  HttpAuthResult result;
  std::string response;
  std::string scheme;
};

Answer Authenticate(const std::string& challenge,
                    const std::string& user,
                    const std::string& password,
                    std::unique_ptr<HttpAuthContext>* context,
                    const std::string& method = "GET",
                    const std::string& uri = "/dir/index.html") {
  Answer answer;
  answer.result = HttpAuthenticate(challenge.data(), challenge.size(), SocketAddress(), method,
                                   uri, user, Password(password), context, &answer.response,
                                   &answer.scheme);
  return answer;
}

class FixedCnonce {
 public:
  explicit FixedCnonce(const char* cnonce) { SetDigestCnonceForTesting(cnonce); }
  ~FixedCnonce() { SetDigestCnonceForTesting(nullptr); }
};

TEST(HttpAuthenticateTest, BasicAnswersWithTheEncodedCredentialsOnce) {
  std::unique_ptr<HttpAuthContext> context;
  Answer answer = Authenticate("Basic realm=\"p\"", "a", "b", &context);
  EXPECT_EQ(answer.result, HAR_RESPONSE);
  EXPECT_EQ(answer.response, "Basic YTpi");
  ASSERT_TRUE(context);
  EXPECT_EQ(context->auth_method, "Basic");
  // The same scheme again: the answer was refused. Another scheme is not ours to answer now.
  EXPECT_EQ(Authenticate("Basic realm=\"p\"", "a", "b", &context).result, HAR_CREDENTIALS);
  EXPECT_EQ(Authenticate("Digest realm=\"p\", nonce=\"n\"", "a", "b", &context).result,
            HAR_IGNORE);

  std::unique_ptr<HttpAuthContext> fresh;
  EXPECT_EQ(Authenticate("Basic realm=\"p\"", "", "b", &fresh).result, HAR_CREDENTIALS);
  Answer unknown = Authenticate("Negotiate abc", "a", "b", &fresh);
  EXPECT_EQ(unknown.result, HAR_IGNORE);
  EXPECT_EQ(unknown.scheme, "Negotiate");
}

TEST(HttpAuthenticateTest, DigestReproducesTheRfc2617Example) {
  FixedCnonce cnonce("0a4f113b");
  std::unique_ptr<HttpAuthContext> context;
  Answer answer = Authenticate(
      "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
      "Mufasa", "Circle Of Life", &context);
  ASSERT_EQ(answer.result, HAR_RESPONSE);
  EXPECT_EQ(answer.response,
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
            "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");

  std::string nonce;
  const std::string header = answer.response;
  EXPECT_EQ(HttpAuthorization(header.data(), header.size(), "GET", &nonce, "Mufasa",
                              Password("Circle Of Life")),
            HAR_RESPONSE);
  EXPECT_EQ(nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
  EXPECT_EQ(HttpAuthorization(header.data(), header.size(), "GET", &nonce, "Mufasa",
                              Password("circle of life")),
            HAR_CREDENTIALS);
  EXPECT_EQ(HttpAuthorization(header.data(), header.size(), "POST", &nonce, "Mufasa",
                              Password("Circle Of Life")),
            HAR_CREDENTIALS);
}

TEST(HttpAuthenticateTest, DigestWithoutQopLeavesItsFieldsOutAndNoncesAreRandom) {
  std::unique_ptr<HttpAuthContext> context;
  Answer plain = Authenticate("Digest realm=\"r\", nonce=\"n\"", "u", "p", &context);
  ASSERT_EQ(plain.result, HAR_RESPONSE);
  EXPECT_EQ(plain.response.find("qop"), std::string::npos) << plain.response;
  EXPECT_EQ(plain.response.find("nc="), std::string::npos);
  EXPECT_EQ(plain.response.find("cnonce"), std::string::npos);
  EXPECT_EQ(plain.response.find("opaque"), std::string::npos);

  std::unique_ptr<HttpAuthContext> first, second;
  Answer a = Authenticate("Digest realm=\"r\", nonce=\"n\", qop=\"auth\"", "u", "p", &first);
  Answer b = Authenticate("Digest realm=\"r\", nonce=\"n\", qop=\"auth\"", "u", "p", &second);
  EXPECT_NE(a.response, b.response) << "two answers in the same second repeat their cnonce";

  std::unique_ptr<HttpAuthContext> other;
  EXPECT_EQ(Authenticate("Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256", "u", "p", &other)
                .result,
            HAR_IGNORE);
}

TEST(HttpAuthorizationTest, BasicAnswerIsCheckedAgainstTheCredentials) {
  std::string nonce;
  const std::string good = "Basic YTpi";
  EXPECT_EQ(HttpAuthorization(good.data(), good.size(), "GET", &nonce, "a", Password("b")),
            HAR_RESPONSE);
  EXPECT_EQ(HttpAuthorization(good.data(), good.size(), "GET", &nonce, "a", Password("c")),
            HAR_CREDENTIALS);
  EXPECT_EQ(HttpAuthorization(good.data(), good.size(), "GET", &nonce, "", Password("b")),
            HAR_CREDENTIALS);
  const std::string other = "Bearer YTpi";
  EXPECT_EQ(HttpAuthorization(other.data(), other.size(), "GET", &nonce, "a", Password("b")),
            HAR_CREDENTIALS);
}

// curl, an independent client, answers our proxy's Digest challenge; the check must accept
// it, and refuse the same answer for a wrong password.
TEST(HttpAuthorizationTest, CurlDigestAnswerToAConnectChallengePassesTheCheck) {
  if (!testing::ProgramAvailable(testing::kCurl)) {
    GTEST_SKIP() << "curl is not installed";
  }
  std::string answer;
  testing::ScriptedServer proxy([&](int fd, int index) {
    std::string request;
    if (!testing::ReadHttpRequest(fd, &request)) {
      return;
    }
    proxy.Record(request);
    if (index == 0 && request.find("Proxy-Authorization") == std::string::npos) {
      testing::SendText(fd,
                        "HTTP/1.1 407 Proxy Authentication Required\r\n"
                        "Proxy-Authenticate: Digest realm=\"proxy\", nonce=\"abc123\", "
                        "qop=\"auth\"\r\nContent-Length: 0\r\n\r\n");
      if (!testing::ReadHttpRequest(fd, &request)) {
        return;
      }
      proxy.Record(request);
    }
    testing::SendText(fd, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
  });
  ASSERT_TRUE(proxy.Start());
  std::string cmd = std::string(testing::kCurl) +
                    " -s -o /dev/null --max-time 5 --proxytunnel --proxy-digest -U "
                    "user:secret -x http://127.0.0.1:" + std::to_string(proxy.port()) +
                    " http://127.0.0.1:9/ 2>/dev/null";
  int status = system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  proxy.Stop();
  auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string prefix = "Proxy-Authorization: ";
  size_t start = requests[1].find(prefix);
  ASSERT_NE(start, std::string::npos) << requests[1];
  start += prefix.size();
  answer = requests[1].substr(start, requests[1].find("\r\n", start) - start);
  std::string nonce;
  EXPECT_EQ(HttpAuthorization(answer.data(), answer.size(), "CONNECT", &nonce, "user",
                              Password("secret")),
            HAR_RESPONSE)
      << answer;
  EXPECT_EQ(nonce, "abc123");
  EXPECT_EQ(HttpAuthorization(answer.data(), answer.size(), "CONNECT", &nonce, "user",
                              Password("secreT")),
            HAR_CREDENTIALS);
  // curl names the CONNECT target as the Digest uri, as this library does.
  EXPECT_NE(answer.find("uri=\"127.0.0.1:9\""), std::string::npos) << answer;
}

}  // namespace
}  // namespace rtc
