#include "rtc_base/event_tracer.h"

#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/trace_event.h"

namespace rtc {
namespace tracing {
namespace {

struct RecordedEvent {
  char phase;
  std::string name;
  std::vector<std::string> args;
};

std::vector<RecordedEvent> g_events;
const unsigned char kEnabled = 1;
const unsigned char kDisabled = 0;

const unsigned char* CategoryEnabled(const char* name) {
  return strcmp(name, "rtc") == 0 ? &kEnabled : &kDisabled;
}

void AddEvent(char phase, const unsigned char*, const char* name, unsigned long long, int num_args,
              const char** arg_names, const unsigned char*, const unsigned long long* arg_values,
              unsigned char) {
  RecordedEvent event{phase, name, {}};
  for (int i = 0; i < num_args; ++i) {
    event.args.push_back(std::string(arg_names[i]) + "=" +
                         reinterpret_cast<const char*>(arg_values[i]));
  }
  g_events.push_back(event);
}

TEST(EventTracerTest, WithoutATracerEveryCategoryIsDisabledAndEventsGoNowhere) {
  SetupEventTracer(nullptr, nullptr);
  const unsigned char* enabled = EventTracer::GetCategoryEnabled("rtc");
  ASSERT_NE(enabled, nullptr);
  EXPECT_EQ(*enabled, 0);
  EventTracer::AddTraceEvent('B', enabled, "x", 0, 0, nullptr, nullptr, nullptr, 0);
  { TRACE_EVENT0("rtc", "nothing"); }
  EXPECT_TRUE(g_events.empty());
}

TEST(EventTracerTest, ScopedEventsReachAnInstalledTracerForEnabledCategories) {
  g_events.clear();
  SetupEventTracer(&CategoryEnabled, &AddEvent);
  {
    TRACE_EVENT2("rtc", "MessageQueue::Dispatch", "src_file_and_line", "a.cc:1", "src_func",
                 "Run");
    TRACE_EVENT0("other", "ignored");
  }
  SetupEventTracer(nullptr, nullptr);
  ASSERT_EQ(g_events.size(), 2u);
  EXPECT_EQ(g_events[0].phase, 'B');
  EXPECT_EQ(g_events[0].name, "MessageQueue::Dispatch");
  EXPECT_EQ(g_events[0].args,
            (std::vector<std::string>{"src_file_and_line=a.cc:1", "src_func=Run"}));
  EXPECT_EQ(g_events[1].phase, 'E');
  EXPECT_EQ(g_events[1].name, "MessageQueue::Dispatch");
}

}  // namespace
}  // namespace tracing
}  // namespace rtc
