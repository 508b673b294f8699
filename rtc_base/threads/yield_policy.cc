#include "rtc_base/threads/yield_policy.h"

namespace rtc {
namespace {

thread_local YieldInterface* current_yield_policy = nullptr;

}  // namespace

ScopedYieldPolicy::ScopedYieldPolicy(YieldInterface* policy) : previous_(current_yield_policy) {
  current_yield_policy = policy;
}

ScopedYieldPolicy::~ScopedYieldPolicy() { current_yield_policy = previous_; }

void ScopedYieldPolicy::YieldExecution() {
  if (YieldInterface* policy = current_yield_policy) policy->YieldExecution();
}

}  // namespace rtc
