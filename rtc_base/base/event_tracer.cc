#include "rtc_base/base/event_tracer.h"

#include <atomic>

namespace rtc {
namespace tracing {
namespace {

std::atomic<GetCategoryEnabledPtr> g_get_category_enabled{nullptr};
std::atomic<AddTraceEventPtr> g_add_trace_event{nullptr};

}  // namespace

void SetupEventTracer(GetCategoryEnabledPtr get_category_enabled_ptr,
                      AddTraceEventPtr add_trace_event_ptr) {
  g_get_category_enabled.store(get_category_enabled_ptr, std::memory_order_release);
  g_add_trace_event.store(add_trace_event_ptr, std::memory_order_release);
}

const unsigned char* EventTracer::GetCategoryEnabled(const char* name) {
  if (GetCategoryEnabledPtr hook = g_get_category_enabled.load(std::memory_order_acquire)) {
    return hook(name);
  }
  static const unsigned char kDisabled = 0;
  return &kDisabled;
}

void EventTracer::AddTraceEvent(char phase, const unsigned char* category_enabled, const char* name,
                                unsigned long long id, int num_args, const char** arg_names,
                                const unsigned char* arg_types,
                                const unsigned long long* arg_values, unsigned char flags) {
  if (AddTraceEventPtr hook = g_add_trace_event.load(std::memory_order_acquire)) {
    hook(phase, category_enabled, name, id, num_args, arg_names, arg_types, arg_values, flags);
  }
}

}  // namespace tracing
}  // namespace rtc
