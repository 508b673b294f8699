#ifndef CORE_RAND_STR_H_
#define CORE_RAND_STR_H_

#include <string>

namespace vy {

// Random texts that go on the wire (envelope nonces, the crypt's block prefix, the login's
// session id). Both draw from the secure generator: a peer sees them, and a time-seeded
// generator would repeat them within a second.

// Fills `out` with `n` characters from [A-Za-z0-9]. Returns false (with `out` empty) only
// when the secure generator fails.
bool GenRandStr(std::string& out, unsigned n);

// Fills `out` with `n` characters of the table "A-Za-z0-9" followed by "00", one secure random
// byte modulo 64 per character (rtc::CreateRandomString). Returns false (with `out` empty)
// when the generator fails.
bool CreateRandomString(std::string& out, unsigned n);

// The 64-character table of CreateRandomString.
extern const char kRandomStringTable[65];

}  // namespace vy

#endif  // CORE_RAND_STR_H_
