// A check of a fuzz target on what the code under test produced. A failure prints what broke
// and aborts, which libFuzzer keeps as a finding and a gtest twin reports as a crash.
#ifndef FUZZ_FUZZ_CHECK_H_
#define FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace fuzz

#endif  // FUZZ_FUZZ_CHECK_H_
