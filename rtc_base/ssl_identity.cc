#include "rtc_base/ssl_identity.h"

#include <string.h>
#include <time.h>

#include "rtc_base/base64.h"
#include "rtc_base/checks.h"
#include "rtc_base/openssl_identity.h"
#include "rtc_base/time_utils.h"

namespace rtc {
namespace {

constexpr size_t kPemLineLength = 64;

// The two-digit value at `s`; the caller has checked that both are digits.
int TwoDigits(const unsigned char* s) {
  return (s[0] - '0') * 10 + (s[1] - '0');
}

}  // namespace

KeyParams::KeyParams(KeyType key_type) : type_(key_type) {
  if (key_type == KT_ECDSA) {
    params_.curve = EC_NIST_P256;
  } else if (key_type == KT_RSA) {
    params_.rsa.mod_size = kRsaDefaultModSize;
    params_.rsa.pub_exp = kRsaDefaultExponent;
  } else {
    params_.rsa = {0, 0};
  }
}

KeyParams KeyParams::RSA(int mod_size, int pub_exp) {
  KeyParams kt(KT_RSA);
  kt.params_.rsa.mod_size = mod_size;
  kt.params_.rsa.pub_exp = pub_exp;
  return kt;
}

KeyParams KeyParams::ECDSA(ECCurve curve) {
  KeyParams kt(KT_ECDSA);
  kt.params_.curve = curve;
  return kt;
}

bool KeyParams::IsValid() const {
  if (type_ == KT_RSA) {
    // An even exponent has no inverse modulo the even p - 1: no key can be made with it.
    return params_.rsa.mod_size >= static_cast<unsigned int>(kRsaMinModSize) &&
           params_.rsa.mod_size <= static_cast<unsigned int>(kRsaMaxModSize) &&
           params_.rsa.pub_exp > params_.rsa.mod_size && params_.rsa.pub_exp % 2 == 1;
  }
  if (type_ == KT_ECDSA) {
    return params_.curve == EC_NIST_P256;
  }
  return false;
}

RSAParams KeyParams::rsa_params() const {
  RTC_DCHECK(type_ == KT_RSA);
  return params_.rsa;
}

ECCurve KeyParams::ec_curve() const {
  RTC_DCHECK(type_ == KT_ECDSA);
  return params_.curve;
}

KeyType IntKeyTypeFamilyToKeyType(int key_type_family) {
  return static_cast<KeyType>(key_type_family);
}

std::unique_ptr<SSLIdentity> SSLIdentity::Generate(const std::string& common_name,
                                                   const KeyParams& key_param) {
  return OpenSSLIdentity::GenerateWithExpiration(common_name, key_param,
                                                 kDefaultCertificateLifetimeInSeconds);
}

std::unique_ptr<SSLIdentity> SSLIdentity::Generate(const std::string& common_name,
                                                   KeyType key_type) {
  return Generate(common_name, KeyParams(key_type));
}

std::unique_ptr<SSLIdentity> SSLIdentity::GenerateWithExpiration(const std::string& common_name,
                                                                 const KeyParams& key_param,
                                                                 time_t certificate_lifetime) {
  return OpenSSLIdentity::GenerateWithExpiration(common_name, key_param, certificate_lifetime);
}

std::unique_ptr<SSLIdentity> SSLIdentity::GenerateForTest(const SSLIdentityParams& params) {
  return OpenSSLIdentity::GenerateForTest(params);
}

std::unique_ptr<SSLIdentity> SSLIdentity::FromPEMStrings(const std::string& private_key,
                                                         const std::string& certificate) {
  return OpenSSLIdentity::FromPEMStrings(private_key, certificate);
}

std::unique_ptr<SSLIdentity> SSLIdentity::FromPEMChainStrings(
    const std::string& private_key,
    const std::string& certificate_chain) {
  return OpenSSLIdentity::FromPEMChainStrings(private_key, certificate_chain);
}

bool SSLIdentity::PemToDer(const std::string& pem_type, const std::string& pem_string,
                           std::string* der) {
  const std::string pem_start = "-----BEGIN " + pem_type + "-----";
  const size_t header = pem_string.find(pem_start);
  if (header == std::string::npos) return false;
  const size_t newline = pem_string.find('\n', header);
  if (newline == std::string::npos) return false;
  const size_t body = newline + 1;
  // Searched after the BEGIN line, so that an earlier END cannot invert the range.
  const size_t trailer = pem_string.find("-----END " + pem_type + "-----", body);
  if (trailer == std::string::npos) return false;
  std::string decoded;
  if (!Base64::DecodeFromArray(pem_string.data() + body, trailer - body,
                               Base64::DO_PARSE_WHITE | Base64::DO_PAD_ANY |
                                   Base64::DO_TERM_BUFFER,
                               &decoded, nullptr)) {
    return false;
  }
  *der = std::move(decoded);
  return true;
}

std::string SSLIdentity::DerToPem(const std::string& pem_type, const unsigned char* data,
                                  size_t length) {
  std::string b64;
  Base64::EncodeFromArray(data, length, &b64);
  std::string result = "-----BEGIN " + pem_type + "-----\n";
  result.reserve(result.size() * 2 + b64.size() + b64.size() / kPemLineLength + 1);
  for (size_t pos = 0; pos < b64.size(); pos += kPemLineLength) {
    result.append(b64, pos, kPemLineLength);
    result += '\n';
  }
  result += "-----END " + pem_type + "-----\n";
  return result;
}

bool operator==(const SSLIdentity& a, const SSLIdentity& b) {
  return static_cast<const OpenSSLIdentity&>(a) == static_cast<const OpenSSLIdentity&>(b);
}

bool operator!=(const SSLIdentity& a, const SSLIdentity& b) {
  return !(a == b);
}

int64_t ASN1TimeToSec(const unsigned char* s, size_t length, bool long_format) {
  const size_t expected = long_format ? 15 : 13;
  if (s == nullptr || length != expected || s[length - 1] != 'Z') return -1;
  for (size_t i = 0; i + 1 < length; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
  }
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  if (long_format) {
    tm.tm_year = TwoDigits(s) * 100 + TwoDigits(s + 2) - 1900;
    s += 4;
  } else {
    const int year = TwoDigits(s);
    tm.tm_year = year < 50 ? year + 100 : year;
    s += 2;
  }
  tm.tm_mon = TwoDigits(s) - 1;
  tm.tm_mday = TwoDigits(s + 2);
  tm.tm_hour = TwoDigits(s + 4);
  tm.tm_min = TwoDigits(s + 6);
  tm.tm_sec = TwoDigits(s + 8);
  return TmToSeconds(tm);
}

}  // namespace rtc
