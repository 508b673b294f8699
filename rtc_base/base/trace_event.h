#ifndef RTC_BASE_BASE_TRACE_EVENT_H_
#define RTC_BASE_BASE_TRACE_EVENT_H_

// Scoped trace events: a begin event now and an end event when the scope ends, sent through the
// event tracer hooks when the category is enabled. Costs one hook test when disabled.
//
//   TRACE_EVENT2("rtc", "MessageQueue::Dispatch", "src_file_and_line", loc.file_and_line(),
//                "src_func", loc.function_name());

#include "rtc_base/base/event_tracer.h"

#define TRACE_EVENT_PHASE_BEGIN ('B')
#define TRACE_EVENT_PHASE_END ('E')
#define TRACE_EVENT_PHASE_INSTANT ('I')
#define TRACE_VALUE_TYPE_STRING (static_cast<unsigned char>(6))
#define TRACE_EVENT_FLAG_NONE (static_cast<unsigned char>(0))

namespace rtc {
namespace tracing {

class ScopedTraceEvent {
 public:
  ScopedTraceEvent(const char* category, const char* name)
      : ScopedTraceEvent(category, name, 0, nullptr, nullptr, nullptr, nullptr) {}
  ScopedTraceEvent(const char* category, const char* name, const char* arg1_name,
                   const char* arg1_val)
      : ScopedTraceEvent(category, name, 1, arg1_name, arg1_val, nullptr, nullptr) {}
  ScopedTraceEvent(const char* category, const char* name, const char* arg1_name,
                   const char* arg1_val, const char* arg2_name, const char* arg2_val)
      : ScopedTraceEvent(category, name, 2, arg1_name, arg1_val, arg2_name, arg2_val) {}
  ~ScopedTraceEvent() {
    if (enabled_) {
      EventTracer::AddTraceEvent(TRACE_EVENT_PHASE_END, category_enabled_, name_, 0, 0, nullptr,
                                 nullptr, nullptr, TRACE_EVENT_FLAG_NONE);
    }
  }
  ScopedTraceEvent(const ScopedTraceEvent&) = delete;
  ScopedTraceEvent& operator=(const ScopedTraceEvent&) = delete;

 private:
  ScopedTraceEvent(const char* category, const char* name, int num_args, const char* arg1_name,
                   const char* arg1_val, const char* arg2_name, const char* arg2_val)
      : category_enabled_(EventTracer::GetCategoryEnabled(category)),
        name_(name),
        enabled_(*category_enabled_ != 0) {
    if (!enabled_) return;
    const char* arg_names[2] = {arg1_name, arg2_name};
    const unsigned char arg_types[2] = {TRACE_VALUE_TYPE_STRING, TRACE_VALUE_TYPE_STRING};
    const unsigned long long arg_values[2] = {
        static_cast<unsigned long long>(reinterpret_cast<__UINTPTR_TYPE__>(arg1_val)),
        static_cast<unsigned long long>(reinterpret_cast<__UINTPTR_TYPE__>(arg2_val))};
    EventTracer::AddTraceEvent(TRACE_EVENT_PHASE_BEGIN, category_enabled_, name_, 0, num_args,
                               arg_names, arg_types, arg_values, TRACE_EVENT_FLAG_NONE);
  }

  const unsigned char* const category_enabled_;
  const char* const name_;
  const bool enabled_;
};

}  // namespace tracing
}  // namespace rtc

#define TRACE_EVENT_CONCAT_INNER(a, b) a##b
#define TRACE_EVENT_CONCAT(a, b) TRACE_EVENT_CONCAT_INNER(a, b)

#define TRACE_EVENT0(category, name) \
  ::rtc::tracing::ScopedTraceEvent TRACE_EVENT_CONCAT(rtc_trace_event_, __LINE__)(category, name)
#define TRACE_EVENT1(category, name, arg1_name, arg1_val)                          \
  ::rtc::tracing::ScopedTraceEvent TRACE_EVENT_CONCAT(rtc_trace_event_, __LINE__)( \
      category, name, arg1_name, arg1_val)
#define TRACE_EVENT2(category, name, arg1_name, arg1_val, arg2_name, arg2_val)     \
  ::rtc::tracing::ScopedTraceEvent TRACE_EVENT_CONCAT(rtc_trace_event_, __LINE__)( \
      category, name, arg1_name, arg1_val, arg2_name, arg2_val)

#endif  // RTC_BASE_BASE_TRACE_EVENT_H_
