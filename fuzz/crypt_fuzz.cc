// libFuzzer target: arbitrary plain blocks under a valid signature.
#include "fuzz/crypt_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vy::CryptFuzzOne(data, size);
}
