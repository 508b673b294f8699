#include "rtc_base/strings/crypt_string.h"

#include <string.h>

#include <utility>

#include "rtc_base/strings/zero_memory.h"

namespace rtc {

std::string UrlEncodeString(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

template <typename T>
void ZeroingAllocator<T>::deallocate(T* p, size_t n) {
  ExplicitZeroMemory(p, n * sizeof(T));
  std::allocator<T>().deallocate(p, n);
}
template struct ZeroingAllocator<char>;

size_t EmptyCryptStringImpl::GetLength() const { return 0; }

void EmptyCryptStringImpl::CopyTo(char* dest, bool nullterminate) const {
  if (nullterminate) {
    *dest = '\0';
  }
}

std::string EmptyCryptStringImpl::UrlEncode() const { return std::string(); }

CryptStringImpl* EmptyCryptStringImpl::Copy() const { return new EmptyCryptStringImpl(); }

void EmptyCryptStringImpl::CopyRawTo(std::vector<unsigned char>* dest) const { dest->clear(); }

InsecureCryptStringImpl::InsecureCryptStringImpl(const std::string& password)
    : password_(password.data(), password.size()) {}

InsecureCryptStringImpl::InsecureCryptStringImpl(const char* password, size_t len)
    : password_(password, len) {}

InsecureCryptStringImpl::~InsecureCryptStringImpl() {
  // A short secret lives inside the string object itself; the allocator only sees heap
  // buffers. Wiping the whole capacity covers both.
  ExplicitZeroMemory(password_.data(), password_.capacity());
}

size_t InsecureCryptStringImpl::GetLength() const { return password_.size(); }

void InsecureCryptStringImpl::CopyTo(char* dest, bool nullterminate) const {
  memcpy(dest, password_.data(), password_.size());
  if (nullterminate) {
    dest[password_.size()] = '\0';
  }
}

std::string InsecureCryptStringImpl::UrlEncode() const {
  return UrlEncodeString(std::string(password_.data(), password_.size()));
}

CryptStringImpl* InsecureCryptStringImpl::Copy() const {
  return new InsecureCryptStringImpl(password_.data(), password_.size());
}

void InsecureCryptStringImpl::CopyRawTo(std::vector<unsigned char>* dest) const {
  dest->resize(password_.size());
  if (!password_.empty()) {
    memcpy(dest->data(), password_.data(), password_.size());
  }
}

CryptString::CryptString() : impl_(new EmptyCryptStringImpl()) {}

CryptString::CryptString(const CryptString& other) : impl_(other.impl_->Copy()) {}

CryptString::CryptString(const CryptStringImpl& impl) : impl_(impl.Copy()) {}

CryptString::CryptString(CryptString&& other) noexcept : impl_(new EmptyCryptStringImpl()) {
  std::swap(impl_, other.impl_);
}

CryptString& CryptString::operator=(const CryptString& other) {
  if (this != &other) {
    impl_.reset(other.impl_->Copy());
  }
  return *this;
}

CryptString& CryptString::operator=(CryptString&& other) noexcept {
  std::swap(impl_, other.impl_);
  return *this;
}

CryptString::~CryptString() = default;

}  // namespace rtc
