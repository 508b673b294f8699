#include "rtc_base/openssl_utility.h"

#include <limits.h>
#include <openssl/bio.h>
#include <openssl/err.h>

#include "rtc_base/logging.h"

namespace rtc {
namespace openssl {

ScopedErrorQueueClear::~ScopedErrorQueueClear() {
  ERR_clear_error();
}

std::string MemoryBioContents(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);  // NOLINT(runtime/int)
  return size > 0 ? std::string(data, size) : std::string();
}

BIO* NewReadOnlyMemoryBio(const std::string& text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  if (bio) BIO_set_mem_eof_return(bio, 0);
  return bio;
}

void LogSSLErrors(const std::string& prefix) {
  char error_buf[200];
  unsigned long err;  // NOLINT(runtime/int)
  while ((err = ERR_get_error()) != 0) {
    ERR_error_string_n(err, error_buf, sizeof(error_buf));
    RTC_LOG(LS_ERROR) << prefix << ": " << error_buf << "\n";
  }
}

}  // namespace openssl
}  // namespace rtc
