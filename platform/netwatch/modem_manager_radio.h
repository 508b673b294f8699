// The radio access technology of the cellular modems ModemManager drives, read from the system bus
// (DBUS_SYSTEM_BUS_ADDRESS when set): one GetManagedObjects call on
// org.freedesktop.ModemManager1 gives every modem's "State" and "AccessTechnologies".
//
// The watcher asks on the main loop, once per reachability change, and wants the technology of
// that moment; a local bus answers in about a millisecond. So the source asks there and then,
// and bounds the whole question (connecting included) by a short time-out instead of keeping a
// cache that a background reader would fill. A bus that fails or does not answer in time is
// left alone for a while (5 s, doubling up to 5 min), so a wedged bus costs the main loop at most
// one time-out per pause. Nothing is ever started on the bus: the call goes out with auto-start
// off, so where ModemManager does not run the bus answers at once that the name has no owner.
#ifndef PLATFORM_NETWATCH_MODEM_MANAGER_RADIO_H_
#define PLATFORM_NETWATCH_MODEM_MANAGER_RADIO_H_

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/netwatch/radio_info.h"
#include "rtc_base/base/mutex.h"

struct sd_bus;

namespace vortm {

// ModemManager's MMModemState values that matter here.
inline constexpr int32_t kMMModemStateRegistered = 8;
inline constexpr int32_t kMMModemStateDisconnecting = 9;
inline constexpr int32_t kMMModemStateConnecting = 10;
inline constexpr int32_t kMMModemStateConnected = 11;

// ModemManager's MMModemAccessTechnology bits.
inline constexpr uint32_t kMMAccessTechnologyPots = 1u << 0;
inline constexpr uint32_t kMMAccessTechnologyGsm = 1u << 1;
inline constexpr uint32_t kMMAccessTechnologyGsmCompact = 1u << 2;
inline constexpr uint32_t kMMAccessTechnologyGprs = 1u << 3;
inline constexpr uint32_t kMMAccessTechnologyEdge = 1u << 4;
inline constexpr uint32_t kMMAccessTechnologyUmts = 1u << 5;
inline constexpr uint32_t kMMAccessTechnologyHsdpa = 1u << 6;
inline constexpr uint32_t kMMAccessTechnologyHsupa = 1u << 7;
inline constexpr uint32_t kMMAccessTechnologyHspa = 1u << 8;
inline constexpr uint32_t kMMAccessTechnologyHspaPlus = 1u << 9;
inline constexpr uint32_t kMMAccessTechnology1xrtt = 1u << 10;
inline constexpr uint32_t kMMAccessTechnologyEvdo0 = 1u << 11;
inline constexpr uint32_t kMMAccessTechnologyEvdoA = 1u << 12;
inline constexpr uint32_t kMMAccessTechnologyEvdoB = 1u << 13;
inline constexpr uint32_t kMMAccessTechnologyLte = 1u << 14;
inline constexpr uint32_t kMMAccessTechnology5gnr = 1u << 15;
inline constexpr uint32_t kMMAccessTechnologyLteCatM = 1u << 16;
inline constexpr uint32_t kMMAccessTechnologyLteNbIot = 1u << 17;

// One modem as ModemManager describes it; a property it lacks (or gives with another type)
// stays 0, which is neither attached nor a technology.
struct ModemStatus {
  int32_t state = 0;
  uint32_t accessTechnologies = 0;
};

// The name of the best technology among `accessTechnologies` (LTE with 5G NR is NRNSA), nullopt
// when there is none (unknown, or only an analog line).
std::optional<std::string> RadioAccessTechnologyName(uint32_t accessTechnologies);

// The technology of the modems that are attached (registered, connecting, connected or
// disconnecting): the best one of the connected modems, else the best of the others; nullopt
// when no attached modem names one. The route the watcher asks about cannot be tied to a modem,
// but only a connected modem carries data, and among equals the best technology is taken so that
// the answer does not depend on the order in which the bus lists them.
std::optional<std::string> RadioAccessTechnologyOfModems(const std::vector<ModemStatus>& modems);

class ModemManagerRadioSource : public RadioInfoSource {
 public:
  // The budget of one question: connecting, ModemManager's answer and all.
  static constexpr int kDefaultTimeoutMs = 200;
  // The pause after a failure, doubling after each failure in a row.
  static constexpr int64_t kFirstRetryDelayMs = 5000;
  static constexpr int64_t kMaxRetryDelayMs = 300000;
  // More modems than this in one answer are not looked at.
  static constexpr size_t kMaxModems = 32;

  explicit ModemManagerRadioSource(int timeoutMs = kDefaultTimeoutMs);
  ~ModemManagerRadioSource() override;
  ModemManagerRadioSource(const ModemManagerRadioSource&) = delete;
  ModemManagerRadioSource& operator=(const ModemManagerRadioSource&) = delete;

  // nullopt at once while pausing after a failure; otherwise after at most the time-out. Any
  // thread; questions are taken one at a time.
  std::optional<std::string> currentRadioAccessTechnology() override;

 private:
  enum class Outcome { kAnswered, kNoModemManager, kRefused, kFailed };

  // One GetManagedObjects call; with kFailed, `error` is the errno of the failure.
  Outcome ask(int64_t deadlineMs, std::vector<ModemStatus>* modems, int* error)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void disconnect() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void backOff(const char* what, int error) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_);

  const int timeout_ms_;
  rtc::Mutex mu_;
  // The connection, kept while it works.
  sd_bus* bus_ ABSL_GUARDED_BY(mu_) = nullptr;
  // While no connection is made before this time (rtc::TimeMillis).
  int64_t retry_at_ ABSL_GUARDED_BY(mu_) = 0;
  int64_t retry_delay_ms_ ABSL_GUARDED_BY(mu_) = kFirstRetryDelayMs;
};

// The system's radio source, one for the process: ModemManager's.
std::shared_ptr<RadioInfoSource> SystemRadioInfoSource();

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_MODEM_MANAGER_RADIO_H_
