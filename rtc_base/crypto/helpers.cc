#include "rtc_base/crypto/helpers.h"

#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"

namespace rtc {
namespace {

const char kBase64[64] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M',
                          'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z',
                          'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
                          'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x', 'y', 'z',
                          '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

const char kHex[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                       '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

const char kUuidDigit17[4] = {'8', '9', 'a', 'b'};

Mutex& TestGeneratorMutex() {
  static Mutex* const mutex = new Mutex;
  return *mutex;
}

struct GeneratorState {
  std::atomic<RandomGenerator*> current{nullptr};
  Mutex retired_mutex;
  // Replaced generators are kept: another thread may be drawing from one at that moment.
  std::vector<std::unique_ptr<RandomGenerator>> retired ABSL_GUARDED_BY(retired_mutex);
};

GeneratorState& Generators() {
  static GeneratorState* const state = [] {
    auto* s = new GeneratorState;
    MutexLock lock(&s->retired_mutex);
    s->retired.emplace_back(new SecureRandomGenerator);
    s->current.store(s->retired.back().get());
    return s;
  }();
  return *state;
}

RandomGenerator& Rng() { return *Generators().current.load(std::memory_order_acquire); }

}  // namespace

bool SecureRandomGenerator::Init(const void*, size_t) { return true; }

bool SecureRandomGenerator::Generate(void* buf, size_t len) {
  // RAND_bytes takes an int length.
  unsigned char* out = static_cast<unsigned char*>(buf);
  while (len > 0) {
    const int chunk = static_cast<int>(std::min<size_t>(len, 1 << 30));
    if (RAND_bytes(out, chunk) <= 0) return false;
    out += chunk;
    len -= chunk;
  }
  return true;
}

bool TestRandomGenerator::Init(const void*, size_t) { return true; }

bool TestRandomGenerator::Generate(void* buf, size_t len) {
  MutexLock lock(&TestGeneratorMutex());
  unsigned char* out = static_cast<unsigned char*>(buf);
  for (size_t i = 0; i < len; ++i) {
    seed_ = seed_ * 214013u + 2531011u;
    out[i] = static_cast<unsigned char>((seed_ >> 16) & 0xff);
  }
  return true;
}

void SetRandomTestMode(bool test) {
  if (test) {
    SetRandomGeneratorForTesting(std::make_unique<TestRandomGenerator>());
  } else {
    SetRandomGeneratorForTesting(std::make_unique<SecureRandomGenerator>());
  }
}

void SetRandomGeneratorForTesting(std::unique_ptr<RandomGenerator> generator) {
  RTC_CHECK(generator);
  GeneratorState& state = Generators();
  MutexLock lock(&state.retired_mutex);
  state.current.store(generator.get(), std::memory_order_release);
  state.retired.push_back(std::move(generator));
}

bool InitRandom(int seed) { return InitRandom(reinterpret_cast<const char*>(&seed), sizeof(seed)); }

bool InitRandom(const char* seed, size_t len) {
  if (!Rng().Init(seed, len)) {
    RTC_LOG(LS_ERROR) << "Failed to init random generator!";
    return false;
  }
  return true;
}

bool CreateRandomString(size_t len, const char* table, int table_size, std::string* str) {
  str->clear();
  // A size that does not divide 256 would favour the first characters of the table.
  if (table_size <= 0 || 256 % table_size != 0) {
    RTC_LOG(LS_ERROR) << "Table size must divide 256 evenly!";
    return false;
  }
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[len ? len : 1]);
  if (!Rng().Generate(bytes.get(), len)) {
    RTC_LOG(LS_ERROR) << "Failed to generate random string!";
    return false;
  }
  str->reserve(len);
  for (size_t i = 0; i < len; ++i) str->push_back(table[bytes[i] % table_size]);
  return true;
}

bool CreateRandomString(size_t len, std::string* str) {
  return CreateRandomString(len, kBase64, sizeof(kBase64), str);
}

bool CreateRandomString(size_t len, const std::string& table, std::string* str) {
  return CreateRandomString(len, table.c_str(), static_cast<int>(table.size()), str);
}

std::string CreateRandomString(size_t len) {
  std::string str;
  RTC_CHECK(CreateRandomString(len, &str));
  return str;
}

bool CreateRandomData(size_t len, std::string* data) {
  data->resize(len);
  if (!Rng().Generate(data->data(), len)) {
    data->clear();
    return false;
  }
  return true;
}

std::string CreateRandomUuid() {
  std::string str;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[31]);
  RTC_CHECK(Rng().Generate(bytes.get(), 31));
  str.reserve(36);
  for (size_t i = 0; i < 8; ++i) str.push_back(kHex[bytes[i] % 16]);
  str.push_back('-');
  for (size_t i = 8; i < 12; ++i) str.push_back(kHex[bytes[i] % 16]);
  str.push_back('-');
  str.push_back('4');
  for (size_t i = 12; i < 15; ++i) str.push_back(kHex[bytes[i] % 16]);
  str.push_back('-');
  str.push_back(kUuidDigit17[bytes[15] % 4]);
  for (size_t i = 16; i < 19; ++i) str.push_back(kHex[bytes[i] % 16]);
  str.push_back('-');
  for (size_t i = 19; i < 31; ++i) str.push_back(kHex[bytes[i] % 16]);
  return str;
}

uint32_t CreateRandomId() {
  uint32_t id;
  RTC_CHECK(Rng().Generate(&id, sizeof(id)));
  return id;
}

uint64_t CreateRandomId64() {
  const uint64_t high = CreateRandomId();
  const uint64_t low = CreateRandomId();
  return high << 32 | low;
}

uint32_t CreateRandomNonZeroId() {
  uint32_t id;
  do {
    id = CreateRandomId();
  } while (id == 0);
  return id;
}

double CreateRandomDouble() { return CreateRandomId() / 4294967295.0; }

double GetNextMovingAverage(double prev_average, double cur, double ratio) {
  return (prev_average * ratio + cur) / (ratio + 1);
}

}  // namespace rtc
