#ifndef RTC_BASE_BASE_CHECKS_H_
#define RTC_BASE_BASE_CHECKS_H_

// Fatal checks. A failed check writes a "# Fatal error in:" block with the source position, the
// last system error, the failed condition and any streamed text to standard error, then aborts:
//
//   RTC_CHECK(fd >= 0) << "socket " << name;
//   RTC_CHECK_EQ(written, size);            // also prints " (written vs. size)" values
//   RTC_DCHECK_LT(index, count);            // checked in debug builds only
//
// RTC_CHECK* always evaluate their arguments exactly once; RTC_DCHECK* do not evaluate them at
// all in release builds.

#include <errno.h>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "rtc_base/base/log_stream.h"

#if !defined(NDEBUG) || defined(DCHECK_ALWAYS_ON)
#define RTC_DCHECK_IS_ON 1
#else
#define RTC_DCHECK_IS_ON 0
#endif

// Same as FatalLog with no further arguments.
extern "C" [[noreturn]] void rtc_FatalMessage(const char* file, int line, const char* msg);

namespace rtc {
namespace checks_impl {

// Writes the fatal block to standard error and aborts. `values` is null except for a failed
// comparison, whose two values it holds.
[[noreturn]] void FatalLog(const char* file, int line, const char* message,
                           unsigned last_system_error,
                           const std::pair<std::string, std::string>* values,
                           const std::string& extra);

template <typename T>
std::string CheckValueToString(const T& v) {
  if constexpr (std::is_enum_v<T>) {
    return CheckValueToString(static_cast<std::underlying_type_t<T>>(v));
  } else if constexpr (requires(LogStream & s, const T& x) { s << x; }) {
    LogStream s;
    s << v;
    return s.str();
  } else {
    return "(unprintable)";
  }
}

// What a failed comparison leaves behind: errno at the moment of failure, then the text of the
// condition and both values. Empty when the comparison held.
class CheckOpResult {
 public:
  CheckOpResult() = default;
  template <typename T1, typename T2>
  CheckOpResult(const char* text, int saved_errno, const T1& v1, const T2& v2)
      : failure_(new Failure{text,
                             static_cast<unsigned>(saved_errno),
                             {CheckValueToString(v1), CheckValueToString(v2)}}) {}
  bool ok() const { return !failure_; }

 private:
  friend class FatalMessage;
  struct Failure {
    const char* text;
    unsigned last_system_error;
    std::pair<std::string, std::string> values;
  };
  std::unique_ptr<Failure> failure_;
};

template <typename T>
constexpr bool kIsSafeCmpInteger =
    std::is_integral_v<T> && !std::is_same_v<std::remove_cv_t<T>, bool> &&
    !std::is_same_v<std::remove_cv_t<T>, char> && !std::is_same_v<std::remove_cv_t<T>, wchar_t> &&
    !std::is_same_v<std::remove_cv_t<T>, char8_t> &&
    !std::is_same_v<std::remove_cv_t<T>, char16_t> &&
    !std::is_same_v<std::remove_cv_t<T>, char32_t>;

// Comparisons of integers of mixed signedness compare the values, not the converted bits.
#define RTC_CHECKS_DEFINE_CMP(name, op, std_cmp)                                \
  template <typename T1, typename T2>                                           \
  constexpr bool Safe##name(const T1& a, const T2& b) {                         \
    if constexpr (kIsSafeCmpInteger<T1> && kIsSafeCmpInteger<T2>) {             \
      return std::std_cmp(a, b);                                                \
    } else {                                                                    \
      return a op b;                                                            \
    }                                                                           \
  }                                                                             \
  template <typename T1, typename T2>                                           \
  CheckOpResult Check##name##Impl(const T1& a, const T2& b, const char* text) { \
    if (Safe##name(a, b)) [[likely]]                                            \
      return CheckOpResult();                                                   \
    return CheckOpResult(text, errno, a, b);                                    \
  }
RTC_CHECKS_DEFINE_CMP(Eq, ==, cmp_equal)
RTC_CHECKS_DEFINE_CMP(Ne, !=, cmp_not_equal)
RTC_CHECKS_DEFINE_CMP(Lt, <, cmp_less)
RTC_CHECKS_DEFINE_CMP(Le, <=, cmp_less_equal)
RTC_CHECKS_DEFINE_CMP(Gt, >, cmp_greater)
RTC_CHECKS_DEFINE_CMP(Ge, >=, cmp_greater_equal)
#undef RTC_CHECKS_DEFINE_CMP

// Collects the streamed text of a failed check. errno is read in the constructor, before any
// argument is formatted; FatalCall reports the text once the whole statement has been streamed.
class FatalMessage : public LogStream {
 public:
  FatalMessage(const char* file, int line, const char* message);
  FatalMessage(const char* file, int line, CheckOpResult&& result);
  FatalMessage(const FatalMessage&) = delete;
  FatalMessage& operator=(const FatalMessage&) = delete;

  LogStream& stream() { return *this; }
  [[noreturn]] void Report();

 private:
  const char* file_;
  int line_;
  const char* message_;
  unsigned last_system_error_;
  std::unique_ptr<CheckOpResult::Failure> failure_;
};

// Ends a failed check statement. `&` binds more loosely than `<<`, so it receives the stream
// after every argument is in, and being [[noreturn]] it tells the compiler the statement ends
// the program.
class FatalCall {
 public:
  [[noreturn]] void operator&(LogStream& stream) { static_cast<FatalMessage&>(stream).Report(); }
};

}  // namespace checks_impl
}  // namespace rtc

#define RTC_CHECK(condition)                          \
  (__builtin_expect(static_cast<bool>(condition), 1)) \
      ? static_cast<void>(0)                          \
      : ::rtc::checks_impl::FatalCall() &             \
            ::rtc::checks_impl::FatalMessage(__FILE__, __LINE__, #condition).stream()

// The values are evaluated once, into the hidden result; the switch keeps an outer else from
// binding to the inner if.
#define RTC_CHECK_OP(name, op, val1, val2)                                                      \
  switch (0)                                                                                    \
  case 0:                                                                                       \
  default:                                                                                      \
    if (::rtc::checks_impl::CheckOpResult rtc_check_op_result_ =                                \
            ::rtc::checks_impl::Check##name##Impl((val1), (val2), #val1 " " #op " " #val2);     \
        rtc_check_op_result_.ok()) {                                                            \
    } else                                                                                      \
      ::rtc::checks_impl::FatalCall() &                                                         \
          ::rtc::checks_impl::FatalMessage(__FILE__, __LINE__, std::move(rtc_check_op_result_)) \
              .stream()

#define RTC_CHECK_EQ(val1, val2) RTC_CHECK_OP(Eq, ==, val1, val2)
#define RTC_CHECK_NE(val1, val2) RTC_CHECK_OP(Ne, !=, val1, val2)
#define RTC_CHECK_LT(val1, val2) RTC_CHECK_OP(Lt, <, val1, val2)
#define RTC_CHECK_LE(val1, val2) RTC_CHECK_OP(Le, <=, val1, val2)
#define RTC_CHECK_GT(val1, val2) RTC_CHECK_OP(Gt, >, val1, val2)
#define RTC_CHECK_GE(val1, val2) RTC_CHECK_OP(Ge, >=, val1, val2)

#define RTC_FATAL()                 \
  ::rtc::checks_impl::FatalCall() & \
      ::rtc::checks_impl::FatalMessage(__FILE__, __LINE__, "FATAL()").stream()
#define RTC_CHECK_NOTREACHED() RTC_FATAL() << "unreachable code"

// Compiles the condition and the streamed text but evaluates neither.
#define RTC_EAT_STREAM_PARAMETERS(ignored) \
  (true || static_cast<bool>(ignored))     \
      ? static_cast<void>(0)               \
      : ::rtc::checks_impl::FatalCall() & ::rtc::checks_impl::FatalMessage("", 0, "").stream()

#if RTC_DCHECK_IS_ON
#define RTC_DCHECK(condition) RTC_CHECK(condition)
#define RTC_DCHECK_EQ(v1, v2) RTC_CHECK_EQ(v1, v2)
#define RTC_DCHECK_NE(v1, v2) RTC_CHECK_NE(v1, v2)
#define RTC_DCHECK_LT(v1, v2) RTC_CHECK_LT(v1, v2)
#define RTC_DCHECK_LE(v1, v2) RTC_CHECK_LE(v1, v2)
#define RTC_DCHECK_GT(v1, v2) RTC_CHECK_GT(v1, v2)
#define RTC_DCHECK_GE(v1, v2) RTC_CHECK_GE(v1, v2)
#else
#define RTC_DCHECK(condition) RTC_EAT_STREAM_PARAMETERS(condition)
#define RTC_DCHECK_EQ(v1, v2) RTC_EAT_STREAM_PARAMETERS(::rtc::checks_impl::SafeEq(v1, v2))
#define RTC_DCHECK_NE(v1, v2) RTC_EAT_STREAM_PARAMETERS(::rtc::checks_impl::SafeNe(v1, v2))
#define RTC_DCHECK_LT(v1, v2) RTC_EAT_STREAM_PARAMETERS(::rtc::checks_impl::SafeLt(v1, v2))
#define RTC_DCHECK_LE(v1, v2) RTC_EAT_STREAM_PARAMETERS(::rtc::checks_impl::SafeLe(v1, v2))
#define RTC_DCHECK_GT(v1, v2) RTC_EAT_STREAM_PARAMETERS(::rtc::checks_impl::SafeGt(v1, v2))
#define RTC_DCHECK_GE(v1, v2) RTC_EAT_STREAM_PARAMETERS(::rtc::checks_impl::SafeGe(v1, v2))
#endif

// Marks code that must not run: a fatal check in debug builds, nothing in release builds.
#define RTC_NOTREACHED() RTC_DCHECK(false) << "unreachable code"

#endif  // RTC_BASE_BASE_CHECKS_H_
