// VyRtmChannelAttribute: one channel attribute, as the app builds it for a write and as the
// service reports it from a read or a change notice.
#ifndef CORE_VY_CHANNEL_ATTRIBUTE_H_
#define CORE_VY_CHANNEL_ATTRIBUTE_H_

#include <memory>
#include <string>
#include <vector>

#include <vortm/rtm_channel.h>

#include "core/request_wire.h"

namespace vy {

class VyRtmChannelAttribute : public vy::rtm::IRtmChannelAttribute {
 public:
  VyRtmChannelAttribute() = default;
  ~VyRtmChannelAttribute() override = default;

  void setKey(const char* key) override {
    if (key != nullptr) key_ = key;
  }
  const char* getKey() const override { return key_.c_str(); }
  void setValue(const char* value) override {
    if (value != nullptr) value_ = value;
  }
  const char* getValue() const override { return value_.c_str(); }
  const char* getLastUpdateUserId() const override { return user_id_.c_str(); }
  long long getLastUpdateTs() const override { return update_ts_; }
  void release() override { delete this; }

  // Set by the service from what the server reports.
  void SetUserId(const std::string& user_id) { user_id_ = user_id; }
  void SetUpdateTs(long long update_ts) { update_ts_ = update_ts; }

 private:
  std::string key_;
  std::string value_;
  std::string user_id_;
  long long update_ts_ = 0;
};

struct ChannelAttributeReleaser {
  void operator()(VyRtmChannelAttribute* attribute) const { attribute->release(); }
};
using ChannelAttributePtr = std::unique_ptr<VyRtmChannelAttribute, ChannelAttributeReleaser>;

// The attributes the server reported, made into objects, and the array a handler is given; both
// live as long as this object.
class ChannelAttributeArray {
 public:
  explicit ChannelAttributeArray(const std::vector<ChannelAttributeEntry>& entries) {
    owned_.reserve(entries.size());
    pointers_.reserve(entries.size());
    for (const ChannelAttributeEntry& e : entries) {
      owned_.emplace_back(new VyRtmChannelAttribute());
      owned_.back()->setKey(e.key.c_str());
      owned_.back()->setValue(e.value.c_str());
      owned_.back()->SetUserId(e.user_id);
      owned_.back()->SetUpdateTs(e.time);
      pointers_.push_back(owned_.back().get());
    }
  }
  // Null when there are none.
  const vy::rtm::IRtmChannelAttribute** data() {
    return pointers_.empty() ? nullptr : pointers_.data();
  }
  int size() const { return static_cast<int>(pointers_.size()); }

 private:
  std::vector<ChannelAttributePtr> owned_;
  std::vector<const vy::rtm::IRtmChannelAttribute*> pointers_;
};

}  // namespace vy

#endif  // CORE_VY_CHANNEL_ATTRIBUTE_H_
