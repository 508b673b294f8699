// libFuzzer target: an HTTP response from the server, received in chunks.
#include "fuzz/http_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return rtc::HttpFuzzOne(data, size);
}
