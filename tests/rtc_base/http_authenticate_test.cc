#include "rtc_base/http_authenticate.h"

#include <memory>
#include <string>

#include "gtest/gtest.h"
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
  std::string nonce;
  const std::string good = "Basic YTpi";
  EXPECT_EQ(HAR_RESPONSE,
            HttpAuthorization(good.data(), good.size(), "GET", &nonce, "a", Password("b")));
  EXPECT_EQ(HAR_CREDENTIALS,
            HttpAuthorization(good.data(), good.size(), "GET", &nonce, "a", Password("c")));
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

}  // namespace
}  // namespace rtc
