// Wire formats of channels: the bodies a channel sends and the limits on what the server sends
// about channels. Values in, text out; no I/O. Bodies are compact JSON with their keys in the
// order the server expects.
#ifndef CORE_CHANNEL_WIRE_H_
#define CORE_CHANNEL_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace vy {

// A received channel id or user id longer than this is refused.
constexpr size_t kMaxChannelIdBytes = 256;
// A member list or attribute list keeps at most this many elements; the rest are skipped.
constexpr size_t kMaxChannelListEntries = 10000;

// {"ChanId"}: "JoinChannel" and "LeaveChannel".
std::string BuildChannelIdBody(const std::string& channel_id);

// {"MsgId","FromUId","ChanId","MsgType","MsgBody","HistoryMsg"(when set)}. The body ends at its
// first zero byte, as a peer message's does.
std::string BuildSendChannelMsgBody(long long message_id, const std::string& from,
                                    const std::string& channel_id, int type,
                                    const std::string& body, bool history);

// {"MsgId","ChanId"}: "GetChanMembers".
std::string BuildGetChanMembersBody(uint32_t message_id, const std::string& channel_id);

}  // namespace vy

#endif  // CORE_CHANNEL_WIRE_H_
