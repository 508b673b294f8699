#include "rtc_base/base/location.h"

#include <cstdio>

namespace rtc {

Location::Location() : function_name_("Unknown"), file_and_line_("Unknown") {}

Location::Location(const char* function_name, const char* file_and_line)
    : function_name_(function_name), file_and_line_(file_and_line) {}

std::string Location::ToString() const {
  char buf[256];
  snprintf(buf, sizeof(buf), "%s@%s", function_name_, file_and_line_);
  return buf;
}

}  // namespace rtc
