// VyRtmChannelAttribute: one channel attribute, as the app builds it for a write and as the
// service reports it from a read or a change notice.
#ifndef CORE_VY_CHANNEL_ATTRIBUTE_H_
#define CORE_VY_CHANNEL_ATTRIBUTE_H_

#include <memory>
#include <string>

#include <vortm/rtm_channel.h>

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

}  // namespace vy

#endif  // CORE_VY_CHANNEL_ATTRIBUTE_H_
