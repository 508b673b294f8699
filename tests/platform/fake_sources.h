// Stand-ins for the watcher's sources: reachability flags, the radio and the echo engine, all
// driven by the test.
#ifndef TESTS_PLATFORM_FAKE_SOURCES_H_
#define TESTS_PLATFORM_FAKE_SOURCES_H_

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/netwatch/radio_info.h"
#include "platform/netwatch/reachability_source.h"
#include "platform/netwatch/vy_rtm_simple_ping.h"
#include "platform/netwatch/vy_rtm_simple_pinger.h"

namespace vortm {
namespace test {

// The flags every source it makes reports, set by the test; emit() plays a change.
class FakeReachability : public std::enable_shared_from_this<FakeReachability> {
 public:
  class Source : public ReachabilitySource {
   public:
    explicit Source(std::shared_ptr<FakeReachability> owner) : owner_(std::move(owner)) {}
    ~Source() override { stop(); }
    bool getFlags(uint32_t* flags) override {
      std::lock_guard<std::mutex> lock(owner_->mutex_);
      *flags = owner_->flags;
      return owner_->readable;
    }
    bool setCallback(Callback callback) override {
      std::lock_guard<std::mutex> lock(owner_->mutex_);
      callback_ = std::move(callback);
      return !callback_ || owner_->callbackWorks;
    }
    bool start() override {
      std::unique_lock<std::mutex> lock(owner_->mutex_);
      if (!owner_->startWorks) return false;
      owner_->sources_.push_back(this);
      uint32_t flags = owner_->flags;
      lock.unlock();
      if (callback_) callback_(flags);
      return true;
    }
    void stop() override {
      std::lock_guard<std::mutex> lock(owner_->mutex_);
      std::erase(owner_->sources_, this);
    }
    Callback callback_;

   private:
    std::shared_ptr<FakeReachability> owner_;
  };

  ReachabilitySourceFactory factory() {
    return [self = shared_from_this()](const ReachabilityTarget& target) {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->targets.push_back(target);
      return std::make_unique<Source>(self);
    };
  }

  // Sets the flags and tells every started source, on the calling thread.
  void emit(uint32_t newFlags) {
    std::unique_lock<std::mutex> lock(mutex_);
    flags = newFlags;
    std::vector<Source*> started = sources_;
    lock.unlock();
    for (Source* s : started) {
      if (s->callback_) s->callback_(newFlags);
    }
  }

  uint32_t flags = 0;
  bool readable = true;
  bool callbackWorks = true;
  bool startWorks = true;
  std::vector<ReachabilityTarget> targets;

 private:
  std::mutex mutex_;
  std::vector<Source*> sources_;
};

struct FakeRadio : RadioInfoSource {
  FakeRadio(std::optional<std::string> t, bool n) : technology(std::move(t)), nr(n) {}
  std::optional<std::string> currentRadioAccessTechnology() override { return technology; }
  bool supportsNR() override { return nr; }
  std::optional<std::string> technology;
  bool nr;
};

// An engine without a socket: the test says when it has started, what came back and when it
// failed; sends succeed and are numbered as the real engine numbers them.
class FakeEngine : public VyRtmSimplePing {
 public:
  explicit FakeEngine(const std::string& host) : VyRtmSimplePing(host) {}

  void start() override {}
  void stop() override { running = false; }
  void sendPingWithData(const std::vector<uint8_t>*) override {
    if (!running) return;
    uint16_t seq = next_sequence_number_++;
    if (next_sequence_number_ == 0) next_sequence_number_has_wrapped_ = true;
    auto d = delegate().lock();
    if (d && sendFails) d->didFailToSendPacket(*this, {}, seq, PingError::posix(ENETUNREACH));
    if (d && !sendFails) d->didSendPacket(*this, {}, seq);
  }

  void reportStart() {
    running = true;
    if (auto d = delegate().lock()) d->didStartWithAddress(*this, {});
  }
  void reply(uint16_t seq) {
    if (auto d = delegate().lock()) d->didReceivePingResponsePacket(*this, {}, seq);
  }
  void fail(int code) {
    running = false;
    auto self = shared_from_this();
    if (auto d = delegate().lock()) d->didFailWithError(*this, PingError::posix(code));
  }

  bool running = false;
  bool sendFails = false;
};

// Makes FakeEngines and keeps them for the test.
struct FakeEngines {
  PingEngineFactory factory() {
    return [this](const std::string& host) {
      auto engine = std::make_shared<FakeEngine>(host);
      made.push_back(engine);
      return engine;
    };
  }
  FakeEngine& last() { return *made.back(); }
  std::vector<std::shared_ptr<FakeEngine>> made;
};

}  // namespace test
}  // namespace vortm

#endif  // TESTS_PLATFORM_FAKE_SOURCES_H_
