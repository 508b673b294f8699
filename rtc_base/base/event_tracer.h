#ifndef RTC_BASE_BASE_EVENT_TRACER_H_
#define RTC_BASE_BASE_EVENT_TRACER_H_

// Hooks through which the runtime reports trace events to a tracer the app installs. With none
// installed every category reads as disabled and events go nowhere.

namespace rtc {
namespace tracing {

typedef const unsigned char* (*GetCategoryEnabledPtr)(const char* name);
typedef void (*AddTraceEventPtr)(char phase, const unsigned char* category_enabled,
                                 const char* name, unsigned long long id, int num_args,
                                 const char** arg_names, const unsigned char* arg_types,
                                 const unsigned long long* arg_values, unsigned char flags);

// Installs the two hooks; nulls remove them.
void SetupEventTracer(GetCategoryEnabledPtr get_category_enabled_ptr,
                      AddTraceEventPtr add_trace_event_ptr);

class EventTracer {
 public:
  // The installed hook's answer, or a pointer to a byte holding 0.
  static const unsigned char* GetCategoryEnabled(const char* name);
  static void AddTraceEvent(char phase, const unsigned char* category_enabled, const char* name,
                            unsigned long long id, int num_args, const char** arg_names,
                            const unsigned char* arg_types, const unsigned long long* arg_values,
                            unsigned char flags);
};

}  // namespace tracing
}  // namespace rtc

#endif  // RTC_BASE_BASE_EVENT_TRACER_H_
