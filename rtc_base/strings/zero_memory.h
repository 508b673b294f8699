#ifndef RTC_BASE_STRINGS_ZERO_MEMORY_H_
#define RTC_BASE_STRINGS_ZERO_MEMORY_H_

#include <stddef.h>

#include <type_traits>

namespace rtc {

// Sets `len` bytes at `ptr` to zero in a way the compiler may not drop as a dead store. Used to
// wipe passwords and other secrets before their memory is released.
void ExplicitZeroMemory(void* ptr, size_t len);

// Wipes a whole array of trivially copyable elements.
template <typename T, size_t N>
void ExplicitZeroMemory(T (&array)[N]) {
  static_assert(std::is_trivially_copyable<T>::value, "only plain data can be wiped");
  ExplicitZeroMemory(array, sizeof(array));
}

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_ZERO_MEMORY_H_
