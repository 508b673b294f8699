#include "platform/netwatch/modem_manager_radio.h"

#include <errno.h>
#include <string.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "rtc_base/base/logging.h"
#include "rtc_base/base/time_utils.h"

namespace vortm {
namespace {

constexpr char kService[] = "org.freedesktop.ModemManager1";
constexpr char kManagerPath[] = "/org/freedesktop/ModemManager1";
constexpr char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";
constexpr char kModemInterface[] = "org.freedesktop.ModemManager1.Modem";

// From the best down; the first entry whose bits are all set names a modem's technology.
// CoreTelephony has no names of its own for GSM without packet data (GPRS stands for it), for
// HSPA and HSPA+ (which carry HSUPA's uplink) or for LTE's IoT forms (LTE).
struct Technology {
  uint32_t bits;
  const char* name;
};
constexpr Technology kTechnologies[] = {
    {kMMAccessTechnology5gnr | kMMAccessTechnologyLte, kCTRadioAccessTechnologyNRNSA},
    {kMMAccessTechnology5gnr, kCTRadioAccessTechnologyNR},
    {kMMAccessTechnologyLte, kCTRadioAccessTechnologyLTE},
    {kMMAccessTechnologyLteCatM, kCTRadioAccessTechnologyLTE},
    {kMMAccessTechnologyLteNbIot, kCTRadioAccessTechnologyLTE},
    {kMMAccessTechnologyHspaPlus, kCTRadioAccessTechnologyHSUPA},
    {kMMAccessTechnologyHspa, kCTRadioAccessTechnologyHSUPA},
    {kMMAccessTechnologyHsupa, kCTRadioAccessTechnologyHSUPA},
    {kMMAccessTechnologyHsdpa, kCTRadioAccessTechnologyHSDPA},
    {kMMAccessTechnologyUmts, kCTRadioAccessTechnologyWCDMA},
    {kMMAccessTechnologyEvdoB, kCTRadioAccessTechnologyCDMAEVDORevB},
    {kMMAccessTechnologyEvdoA, kCTRadioAccessTechnologyCDMAEVDORevA},
    {kMMAccessTechnologyEvdo0, kCTRadioAccessTechnologyCDMAEVDORev0},
    {kMMAccessTechnologyEdge, kCTRadioAccessTechnologyEdge},
    {kMMAccessTechnologyGprs, kCTRadioAccessTechnologyGPRS},
    {kMMAccessTechnology1xrtt, kCTRadioAccessTechnologyCDMA1x},
    {kMMAccessTechnologyGsm, kCTRadioAccessTechnologyGPRS},
    {kMMAccessTechnologyGsmCompact, kCTRadioAccessTechnologyGPRS},
};
constexpr size_t kNoTechnology = std::size(kTechnologies);

// The place of the best technology in kTechnologies; kNoTechnology when none is set.
size_t BestTechnology(uint32_t bits) {
  for (size_t i = 0; i < std::size(kTechnologies); ++i) {
    if ((bits & kTechnologies[i].bits) == kTechnologies[i].bits) return i;
  }
  return kNoTechnology;
}

bool IsAttached(int32_t state) {
  return state == kMMModemStateRegistered || state == kMMModemStateDisconnecting ||
         state == kMMModemStateConnecting || state == kMMModemStateConnected;
}

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  static_cast<Message*>(userdata)->reset(sd_bus_message_ref(reply));
  return 0;
}

// Reads an integer property of the type ModemManager gives it; any other type is skipped and
// leaves `value` as it was. Negative on a broken message.
template <typename T>
int ReadProperty(sd_bus_message* m, char type, T* value) {
  char peeked = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &peeked, &contents);
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  const char wanted[] = {type, '\0'};
  if (peeked != SD_BUS_TYPE_VARIANT || contents == nullptr || strcmp(contents, wanted) != 0) {
    return sd_bus_message_skip(m, "v");
  }
  if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, wanted)) <= 0 ||
      (r = sd_bus_message_read_basic(m, type, value)) <= 0) {
    return r < 0 ? r : -EBADMSG;
  }
  return sd_bus_message_exit_container(m);
}

// The "State" and "AccessTechnologies" of one a{sv} of properties.
int ReadModem(sd_bus_message* m, ModemStatus* modem) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* name = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &name)) <= 0) return -EBADMSG;
    if (strcmp(name, "State") == 0) {
      r = ReadProperty(m, SD_BUS_TYPE_INT32, &modem->state);
    } else if (strcmp(name, "AccessTechnologies") == 0) {
      r = ReadProperty(m, SD_BUS_TYPE_UINT32, &modem->accessTechnologies);
    } else {
      r = sd_bus_message_skip(m, "v");
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

// The modems of a GetManagedObjects answer (a{oa{sa{sv}}}): every object with the Modem
// interface, up to kMaxModems. Negative when the answer cannot be read.
int ReadModems(sd_bus_message* m, std::vector<ModemStatus>* modems) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    if (sd_bus_message_read_basic(m, SD_BUS_TYPE_OBJECT_PATH, &path) <= 0 ||
        sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}") <= 0) {
      return -EBADMSG;
    }
    while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}")) > 0) {
      const char* interface = nullptr;
      if (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) <= 0) return -EBADMSG;
      if (strcmp(interface, kModemInterface) != 0) {
        r = sd_bus_message_skip(m, "a{sv}");
      } else if (modems->size() == ModemManagerRadioSource::kMaxModems) {
        RTC_LOG(LS_WARNING) << "ModemManager lists more than "
                            << ModemManagerRadioSource::kMaxModems
                            << " modems; the others are not looked at";
        return 0;
      } else {
        modems->emplace_back();
        r = ReadModem(m, &modems->back());
      }
      if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
        (r = sd_bus_message_exit_container(m)) < 0) {
      return r;
    }
  }
  return r;
}

}  // namespace

std::optional<std::string> RadioAccessTechnologyName(uint32_t accessTechnologies) {
  size_t best = BestTechnology(accessTechnologies);
  if (best == kNoTechnology) return std::nullopt;
  return kTechnologies[best].name;
}

std::optional<std::string> RadioAccessTechnologyOfModems(const std::vector<ModemStatus>& modems) {
  bool bestConnected = false;
  size_t best = kNoTechnology;
  for (const ModemStatus& modem : modems) {
    if (!IsAttached(modem.state)) continue;
    size_t technology = BestTechnology(modem.accessTechnologies);
    if (technology == kNoTechnology) continue;
    bool connected = modem.state == kMMModemStateConnected;
    if (best == kNoTechnology || (connected && !bestConnected) ||
        (connected == bestConnected && technology < best)) {
      best = technology;
      bestConnected = connected;
    }
  }
  if (best == kNoTechnology) return std::nullopt;
  return kTechnologies[best].name;
}

ModemManagerRadioSource::ModemManagerRadioSource(int timeoutMs) : timeout_ms_(timeoutMs) {}

ModemManagerRadioSource::~ModemManagerRadioSource() {
  rtc::MutexLock lock(&mu_);
  disconnect();
}

std::optional<std::string> ModemManagerRadioSource::currentRadioAccessTechnology() {
  rtc::MutexLock lock(&mu_);
  if (bus_ == nullptr && rtc::TimeMillis() < retry_at_) return std::nullopt;
  const int64_t deadline = rtc::SystemTimeMillis() + timeout_ms_;
  // A connection that worked before and broke since (the bus restarted) gets one new one at
  // once; a new connection that fails makes the source pause.
  for (bool fresh = bus_ == nullptr;; fresh = true) {
    if (bus_ == nullptr) {
      int r = sd_bus_open_system(&bus_);
      if (r < 0) {
        bus_ = nullptr;
        backOff("no system bus", -r);
        return std::nullopt;
      }
    }
    std::vector<ModemStatus> modems;
    int error = 0;
    switch (ask(deadline, &modems, &error)) {
      case Outcome::kAnswered:
        retry_delay_ms_ = kFirstRetryDelayMs;
        return RadioAccessTechnologyOfModems(modems);
      case Outcome::kNoModemManager:
      case Outcome::kRefused:
        retry_delay_ms_ = kFirstRetryDelayMs;
        return std::nullopt;
      case Outcome::kFailed:
        disconnect();
        if (fresh) {
          backOff("the system bus failed or did not answer in time", error);
          return std::nullopt;
        }
        break;
    }
  }
}

ModemManagerRadioSource::Outcome ModemManagerRadioSource::ask(int64_t deadlineMs,
                                                              std::vector<ModemStatus>* modems,
                                                              int* error) {
  auto failed = [error](int r) {
    *error = -r;
    return Outcome::kFailed;
  };
  sd_bus_message* made = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &made, kService, kManagerPath, kObjectManager,
                                         "GetManagedObjects");
  if (r < 0) return failed(r);
  Message call(made);
  // Where ModemManager is not running it stays so: the bus must not start it for us.
  if ((r = sd_bus_message_set_auto_start(call.get(), 0)) < 0) return failed(r);
  Message reply;
  sd_bus_slot* slot = nullptr;
  r = sd_bus_call_async(bus_, &slot, call.get(), &OnReply, &reply,
                        static_cast<uint64_t>(timeout_ms_) * 1000);
  if (r < 0) return failed(r);
  Slot pending(slot);
  // The bus is driven here, up to the deadline, rather than by sd_bus_call, which waits for a new
  // connection's authentication for as long as sd-bus's own time-outs allow.
  while (!reply) {
    if ((r = sd_bus_process(bus_, nullptr)) < 0) return failed(r);
    if (r > 0) continue;
    int64_t left = deadlineMs - rtc::SystemTimeMillis();
    if (left <= 0) return failed(-ETIMEDOUT);
    r = sd_bus_wait(bus_, static_cast<uint64_t>(left) * 1000);
    if (r < 0 && r != -EINTR) return failed(r);
  }
  if (sd_bus_message_is_method_error(reply.get(), nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(reply.get());
    const char* name = error != nullptr && error->name != nullptr ? error->name : "";
    if (strcmp(name, SD_BUS_ERROR_NAME_HAS_NO_OWNER) == 0 ||
        strcmp(name, SD_BUS_ERROR_SERVICE_UNKNOWN) == 0) {
      return Outcome::kNoModemManager;
    }
    // sd-bus's own answers for a lost connection or a call it gave up on.
    if (strcmp(name, SD_BUS_ERROR_NO_REPLY) == 0 || strcmp(name, SD_BUS_ERROR_TIMEOUT) == 0 ||
        strcmp(name, SD_BUS_ERROR_DISCONNECTED) == 0) {
      return failed(-sd_bus_error_get_errno(error));
    }
    RTC_LOG(LS_WARNING) << "ModemManager refused GetManagedObjects: " << name;
    return Outcome::kRefused;
  }
  if (sd_bus_message_has_signature(reply.get(), "a{oa{sa{sv}}}") <= 0 ||
      ReadModems(reply.get(), modems) < 0) {
    RTC_LOG(LS_WARNING) << "ModemManager's answer to GetManagedObjects could not be read";
    modems->clear();
    return Outcome::kRefused;
  }
  return Outcome::kAnswered;
}

void ModemManagerRadioSource::disconnect() {
  if (bus_ != nullptr) bus_ = sd_bus_close_unref(bus_);
}

void ModemManagerRadioSource::backOff(const char* what, int error) {
  RTC_LOG(LS_INFO) << "ModemManager: " << what << " (errno " << error << "); next try in "
                   << retry_delay_ms_ << " ms";
  retry_at_ = rtc::TimeMillis() + retry_delay_ms_;
  retry_delay_ms_ = std::min(retry_delay_ms_ * 2, kMaxRetryDelayMs);
}

std::shared_ptr<RadioInfoSource> SystemRadioInfoSource() {
  // Kept to the end of the process, so that a watcher working during exit still finds it.
  static auto* const source =
      new std::shared_ptr<RadioInfoSource>(std::make_shared<ModemManagerRadioSource>());
  return *source;
}

}  // namespace vortm
