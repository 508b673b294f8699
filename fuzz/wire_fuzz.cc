// libFuzzer target: the gateway's answer, the offline fetch's answer and "setParameters".
#include "fuzz/wire_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vy::WireFuzzOne(data, size);
}
