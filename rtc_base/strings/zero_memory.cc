#include "rtc_base/strings/zero_memory.h"

#include <string.h>

namespace rtc {

void ExplicitZeroMemory(void* ptr, size_t len) {
  if (ptr == nullptr || len == 0) {
    return;
  }
  // glibc guarantees that explicit_bzero survives dead-store elimination, unlike memset before
  // free.
  explicit_bzero(ptr, len);
}

}  // namespace rtc
