// libFuzzer target: arbitrary bytes from the server.
#include "fuzz/recv_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vy::RecvFuzzOne(data, size);
}
