#include <vortm/vo_rtm_call_kit.h>

#include "platform/kit_internals.h"

namespace vortm {

// The call kit needs the core's call manager, which this build does not have yet: the kit makes
// none, and a call kit is never handed out.
VoRtmCallKit::VoRtmCallKit() = default;
VoRtmCallKit::~VoRtmCallKit() = default;

std::shared_ptr<VoRtmCallKit> VoRtmKit::getRtmCallKit() { return nullptr; }

void KitInternals::destroyCall(VoRtmCallKit&) {}

}  // namespace vortm
