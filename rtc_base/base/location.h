#ifndef RTC_BASE_BASE_LOCATION_H_
#define RTC_BASE_BASE_LOCATION_H_

#include <string>

namespace rtc {

// A source position carried by posts, invokes and log lines. Both texts are static strings
// owned by nobody, so a Location is two pointers and cheap to copy.
class Location {
 public:
  // "Unknown" in both texts.
  Location();
  Location(const char* function_name, const char* file_and_line);
  Location(const Location& other) = default;
  Location& operator=(const Location& other) = default;

  const char* function_name() const { return function_name_; }
  const char* file_and_line() const { return file_and_line_; }

  // "function@file:line", at most 255 characters.
  std::string ToString() const;

 private:
  const char* function_name_;
  const char* file_and_line_;
};

}  // namespace rtc

#define RTC_LOCATION_STRINGIZE_INNER(x) #x
#define RTC_LOCATION_STRINGIZE(x) RTC_LOCATION_STRINGIZE_INNER(x)

#define RTC_FROM_HERE RTC_FROM_HERE_WITH_FUNCTION(__FUNCTION__)
#define RTC_FROM_HERE_WITH_FUNCTION(function_name) \
  ::rtc::Location(function_name, __FILE__ ":" RTC_LOCATION_STRINGIZE(__LINE__))

#endif  // RTC_BASE_BASE_LOCATION_H_
