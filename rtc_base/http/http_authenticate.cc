#include "rtc_base/http/http_authenticate.h"

#include <string.h>
#include <strings.h>

#include <atomic>

#include <openssl/crypto.h>

#include "rtc_base/crypto/helpers.h"
#include "rtc_base/crypto/openssl_digest.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/strings/base64.h"
#include "rtc_base/strings/buffer.h"
#include "rtc_base/strings/string_encode.h"

namespace rtc {

namespace {

// Every answer is the first use of its nonce: a fresh challenge comes with a fresh nonce.
constexpr char kNonceCount[] = "00000001";
constexpr size_t kCnonceBytes = 16;
constexpr size_t kMd5Bytes = 16;

std::atomic<const char*> g_fixed_cnonce{nullptr};

// The secret as text up to its first NUL, in memory that is wiped when it goes.
ZeroOnFreeBuffer<char> PasswordText(const CryptString& password) {
  ZeroOnFreeBuffer<char> text(password.GetLength() + 1);
  password.CopyTo(text.data(), true);
  text.SetSize(strlen(text.data()));
  return text;
}

// "a:b:secret", built where it is wiped.
ZeroOnFreeBuffer<char> JoinWithSecret(const std::string& a, const std::string* b,
                                      const CryptString& password) {
  ZeroOnFreeBuffer<char> text;
  text.AppendData(a.data(), a.size());
  text.AppendData(":", 1);
  if (b != nullptr) {
    text.AppendData(b->data(), b->size());
    text.AppendData(":", 1);
  }
  ZeroOnFreeBuffer<char> secret = PasswordText(password);
  text.AppendData(secret.data(), secret.size());
  return text;
}

std::string Md5Hex(const void* data, size_t len) {
  unsigned char digest[kMd5Bytes];
  size_t n = ComputeDigest(DIGEST_MD5, data, len, digest, sizeof(digest));
  return hex_encode(reinterpret_cast<const char*>(digest), n);
}

std::string Md5Hex(const std::string& text) { return Md5Hex(text.data(), text.size()); }

std::string NewCnonce() {
  const char* fixed = g_fixed_cnonce.load();
  if (fixed != nullptr) {
    return fixed;
  }
  std::string bytes;
  CreateRandomData(kCnonceBytes, &bytes);
  return hex_encode(bytes);
}

// The Digest "response" value of RFC 2617; without qop, the older RFC 2069 form.
std::string DigestResponse(const std::string& username, const std::string& realm,
                           const CryptString& password, const std::string& method,
                           const std::string& uri, const std::string& nonce, const std::string* qop,
                           const std::string& nc, const std::string& cnonce) {
  ZeroOnFreeBuffer<char> a1 = JoinWithSecret(username, &realm, password);
  std::string ha1 = Md5Hex(a1.data(), a1.size());
  std::string ha2 = Md5Hex(method + ":" + uri);
  std::string middle = qop != nullptr ? nonce + ":" + nc + ":" + cnonce + ":" + *qop : nonce;
  return Md5Hex(ha1 + ":" + middle + ":" + ha2);
}

std::string Attribute(const HttpAttributeList& attributes, const char* name, bool* present) {
  std::string value;
  bool found = HttpHasAttribute(attributes, name, &value);
  if (present != nullptr) {
    *present = found;
  }
  return value;
}

bool SameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

HttpAuthResult HttpAuthenticate(const char* challenge, size_t len, const SocketAddress& /*server*/,
                                const std::string& method, const std::string& uri,
                                const std::string& username, const CryptString& password,
                                std::unique_ptr<HttpAuthContext>* context, std::string* response,
                                std::string* auth_method) {
  HttpAttributeList args;
  HttpParseAttributes(challenge, len, args);
  *auth_method = args.empty() ? std::string() : args[0].first;

  if (*context && (*context)->auth_method != *auth_method) {
    return HAR_IGNORE;
  }
  const bool basic = strcasecmp(auth_method->c_str(), "basic") == 0;
  const bool digest = strcasecmp(auth_method->c_str(), "digest") == 0;
  if (!basic && !digest) {
    return HAR_IGNORE;
  }
  bool has_algorithm = false;
  std::string algorithm = Attribute(args, "algorithm", &has_algorithm);
  if (digest && has_algorithm && strcasecmp(algorithm.c_str(), "MD5") != 0) {
    // Other digests (RFC 7616) would give an answer the proxy cannot check.
    return HAR_IGNORE;
  }
  // A challenge after an answer of this scheme means the answer was refused.
  if (*context || username.empty()) {
    return HAR_CREDENTIALS;
  }
  context->reset(new HttpAuthContext(*auth_method));

  if (basic) {
    ZeroOnFreeBuffer<char> credentials = JoinWithSecret(username, nullptr, password);
    std::string encoded;
    Base64::EncodeFromArray(credentials.data(), credentials.size(), &encoded);
    *response = *auth_method + " " + encoded;
    return HAR_RESPONSE;
  }

  bool has_qop = false;
  bool has_opaque = false;
  std::string realm = Attribute(args, "realm", nullptr);
  std::string nonce = Attribute(args, "nonce", nullptr);
  Attribute(args, "qop", &has_qop);
  std::string opaque = Attribute(args, "opaque", &has_opaque);
  // Only "auth" is answered, whatever else the proxy offers.
  const std::string qop = "auth";
  const std::string cnonce = NewCnonce();
  std::string digest_value = DigestResponse(username, realm, password, method, uri, nonce,
                                            has_qop ? &qop : nullptr, kNonceCount, cnonce);

  std::string answer = *auth_method + " username=" + quote(username) + ", realm=" + quote(realm) +
                       ", nonce=" + quote(nonce) + ", uri=" + quote(uri);
  if (has_qop) {
    answer += ", qop=" + qop + ", nc=" + kNonceCount + ", cnonce=" + quote(cnonce);
  }
  answer += ", response=\"" + digest_value + "\"";
  if (has_opaque) {
    answer += ", opaque=" + quote(opaque);
  }
  *response = answer;
  return HAR_RESPONSE;
}

HttpAuthResult HttpAuthorization(const char* header, size_t len, const std::string& method,
                                 std::string* nonce, const std::string& username,
                                 const CryptString& password) {
  HttpAttributeList args;
  HttpParseAttributes(header, len, args);
  if (args.empty() || username.empty()) {
    return HAR_CREDENTIALS;
  }
  const std::string& scheme = args[0].first;
  if (strcasecmp(scheme.c_str(), "basic") == 0) {
    if (args.size() < 2) {
      return HAR_CREDENTIALS;
    }
    ZeroOnFreeBuffer<char> credentials = JoinWithSecret(username, nullptr, password);
    std::string expected;
    Base64::EncodeFromArray(credentials.data(), credentials.size(), &expected);
    return SameSecret(args[1].first, expected) ? HAR_RESPONSE : HAR_CREDENTIALS;
  }
  if (strcasecmp(scheme.c_str(), "digest") != 0) {
    return HAR_CREDENTIALS;
  }
  if (Attribute(args, "username", nullptr) != username) {
    return HAR_CREDENTIALS;
  }
  bool has_qop = false;
  std::string qop = Attribute(args, "qop", &has_qop);
  *nonce = Attribute(args, "nonce", nullptr);
  std::string expected =
      DigestResponse(username, Attribute(args, "realm", nullptr), password, method,
                     Attribute(args, "uri", nullptr), *nonce, has_qop ? &qop : nullptr,
                     Attribute(args, "nc", nullptr), Attribute(args, "cnonce", nullptr));
  return SameSecret(Attribute(args, "response", nullptr), expected) ? HAR_RESPONSE
                                                                    : HAR_CREDENTIALS;
}

void SetDigestCnonceForTesting(const char* cnonce) { g_fixed_cnonce.store(cnonce); }

}  // namespace rtc
