#ifndef RTC_BASE_STRINGS_CRYPT_STRING_H_
#define RTC_BASE_STRINGS_CRYPT_STRING_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace rtc {

// Percent-encodes every byte outside the unreserved set of URIs (letters, digits, "-._~"), so
// that the result can go into a URL or a header without carrying raw separators.
std::string UrlEncodeString(const std::string& text);

// How a secret text is kept. The holders of a secret only ask for its length and for copies
// of it; which memory it lives in is the implementation's business.
class CryptStringImpl {
 public:
  virtual ~CryptStringImpl() = default;
  virtual size_t GetLength() const = 0;
  // Writes the secret's bytes and, when `nullterminate` is set, a NUL after them. The caller
  // provides GetLength() + 1 bytes.
  virtual void CopyTo(char* dest, bool nullterminate) const = 0;
  virtual std::string UrlEncode() const = 0;
  virtual CryptStringImpl* Copy() const = 0;
  virtual void CopyRawTo(std::vector<unsigned char>* dest) const = 0;
};

class EmptyCryptStringImpl : public CryptStringImpl {
 public:
  ~EmptyCryptStringImpl() override = default;
  size_t GetLength() const override;
  void CopyTo(char* dest, bool nullterminate) const override;
  std::string UrlEncode() const override;
  CryptStringImpl* Copy() const override;
  void CopyRawTo(std::vector<unsigned char>* dest) const override;
};

// Allocator whose memory is wiped before it goes back to the heap, so that a string that
// grows or dies leaves no copy of the secret behind.
template <typename T>
struct ZeroingAllocator {
  using value_type = T;
  ZeroingAllocator() = default;
  template <typename U>
  ZeroingAllocator(const ZeroingAllocator<U>&) {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n);
  template <typename U>
  bool operator==(const ZeroingAllocator<U>&) const {
    return true;
  }
};

using SecretString = std::basic_string<char, std::char_traits<char>, ZeroingAllocator<char>>;

// Keeps the secret in ordinary process memory, wiped when the object dies.
class InsecureCryptStringImpl : public CryptStringImpl {
 public:
  InsecureCryptStringImpl() = default;
  explicit InsecureCryptStringImpl(const std::string& password);
  InsecureCryptStringImpl(const char* password, size_t len);
  ~InsecureCryptStringImpl() override;

  InsecureCryptStringImpl(const InsecureCryptStringImpl&) = delete;
  InsecureCryptStringImpl& operator=(const InsecureCryptStringImpl&) = delete;

  const SecretString& password() const { return password_; }

  size_t GetLength() const override;
  void CopyTo(char* dest, bool nullterminate) const override;
  std::string UrlEncode() const override;
  CryptStringImpl* Copy() const override;
  void CopyRawTo(std::vector<unsigned char>* dest) const override;

 private:
  SecretString password_;
};

// Owns exactly one implementation; copies never share it.
class CryptString {
 public:
  CryptString();
  CryptString(const CryptString& other);
  explicit CryptString(const CryptStringImpl& impl);
  CryptString(CryptString&& other) noexcept;
  CryptString& operator=(const CryptString& other);
  CryptString& operator=(CryptString&& other) noexcept;
  ~CryptString();

  size_t GetLength() const { return impl_->GetLength(); }
  void CopyTo(char* dest, bool nullterminate) const { impl_->CopyTo(dest, nullterminate); }
  std::string UrlEncode() const { return impl_->UrlEncode(); }
  void CopyRawTo(std::vector<unsigned char>* dest) const { impl_->CopyRawTo(dest); }

 private:
  // Never null, also after a move.
  std::unique_ptr<CryptStringImpl> impl_;
};

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_CRYPT_STRING_H_
