// libFuzzer target: received JSON through the core's parse and readers, against rapidjson.
#include "fuzz/json_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vy::JsonFuzzOne(data, size);
}
