// Hands results and events to the main loop.
#ifndef PLATFORM_LOOP_KIT_POST_H_
#define PLATFORM_LOOP_KIT_POST_H_

#include <utility>

#include "platform/loop/main_loop.h"

namespace vortm {

// Calls `fn(args...)` on the main loop; nothing for an empty fn. The arguments are moved into the
// posted block, so they must own their data.
template <typename Fn, typename... Args>
void PostCompletion(Fn fn, Args... args) {
  if (!fn) return;
  MainLoop::post([fn = std::move(fn), ... args = std::move(args)]() mutable { fn(args...); });
}

}  // namespace vortm

#endif  // PLATFORM_LOOP_KIT_POST_H_
