#ifndef RTC_BASE_CRYPTO_HELPERS_H_
#define RTC_BASE_CRYPTO_HELPERS_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace rtc {

// A source of random bytes.
class RandomGenerator {
 public:
  virtual ~RandomGenerator() = default;
  virtual bool Init(const void* seed, size_t len) = 0;
  virtual bool Generate(void* buf, size_t len) = 0;
};

// OpenSSL's RAND_bytes. Everything a peer sees comes from here.
class SecureRandomGenerator : public RandomGenerator {
 public:
  bool Init(const void* seed, size_t len) override;
  bool Generate(void* buf, size_t len) override;
};

// A repeatable sequence for tests: seed = seed * 214013 + 2531011 per byte, the byte being bits
// 16 to 23 of the new seed. The seed starts at 7.
class TestRandomGenerator : public RandomGenerator {
 public:
  bool Init(const void* seed, size_t len) override;
  bool Generate(void* buf, size_t len) override;

 private:
  uint32_t seed_ = 7;  // Guarded by an internal lock, so threads may share it.
};

// Replaces the process-wide generator: a new TestRandomGenerator (seed 7) when true, a new
// SecureRandomGenerator when false. For tests and start-up; the replaced generator stays alive,
// so a thread still drawing from it is safe.
void SetRandomTestMode(bool test);

// Installs `generator` as the process-wide generator, so a test can make the source fail. As
// above, the replaced generator stays alive; SetRandomTestMode(false) goes back to the secure one.
void SetRandomGeneratorForTesting(std::unique_ptr<RandomGenerator> generator);

// Seeds the process-wide generator; logs "Failed to init random generator!" on failure.
bool InitRandom(int seed);
bool InitRandom(const char* seed, size_t len);

// `len` characters drawn uniformly from `table`, whose size must divide 256 (so no character is
// favoured). On failure, false with an empty `str`.
bool CreateRandomString(size_t len, std::string* str);
bool CreateRandomString(size_t len, const char* table, int table_size, std::string* str);
bool CreateRandomString(size_t len, const std::string& table, std::string* str);
// As above with the 64-character table "A-Za-z0-9+/"; failure is fatal.
std::string CreateRandomString(size_t len);

// `len` random bytes. On failure, false with an empty `data`.
bool CreateRandomData(size_t len, std::string* data);

// A random (version 4) UUID: "xxxxxxxx-xxxx-4xxx-[89ab]xxx-xxxxxxxxxxxx", lower case.
std::string CreateRandomUuid();

uint32_t CreateRandomId();
uint64_t CreateRandomId64();
uint32_t CreateRandomNonZeroId();
// In [0, 1], both ends included.
double CreateRandomDouble();

double GetNextMovingAverage(double prev_average, double cur, double ratio);

}  // namespace rtc

#endif  // RTC_BASE_CRYPTO_HELPERS_H_
