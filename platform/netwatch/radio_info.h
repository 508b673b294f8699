// Where the network watcher gets the current cellular radio access technology. The values are the
// names the watcher's table knows ("CTRadioAccessTechnologyLTE" and the others below).
#ifndef PLATFORM_NETWATCH_RADIO_INFO_H_
#define PLATFORM_NETWATCH_RADIO_INFO_H_

#include <memory>
#include <optional>
#include <string>

namespace vortm {

inline constexpr char kCTRadioAccessTechnologyGPRS[] = "CTRadioAccessTechnologyGPRS";
inline constexpr char kCTRadioAccessTechnologyEdge[] = "CTRadioAccessTechnologyEdge";
inline constexpr char kCTRadioAccessTechnologyWCDMA[] = "CTRadioAccessTechnologyWCDMA";
inline constexpr char kCTRadioAccessTechnologyHSDPA[] = "CTRadioAccessTechnologyHSDPA";
inline constexpr char kCTRadioAccessTechnologyHSUPA[] = "CTRadioAccessTechnologyHSUPA";
inline constexpr char kCTRadioAccessTechnologyCDMA1x[] = "CTRadioAccessTechnologyCDMA1x";
inline constexpr char kCTRadioAccessTechnologyCDMAEVDORev0[] =
    "CTRadioAccessTechnologyCDMAEVDORev0";
inline constexpr char kCTRadioAccessTechnologyCDMAEVDORevA[] =
    "CTRadioAccessTechnologyCDMAEVDORevA";
inline constexpr char kCTRadioAccessTechnologyCDMAEVDORevB[] =
    "CTRadioAccessTechnologyCDMAEVDORevB";
inline constexpr char kCTRadioAccessTechnologyeHRPD[] = "CTRadioAccessTechnologyeHRPD";
inline constexpr char kCTRadioAccessTechnologyLTE[] = "CTRadioAccessTechnologyLTE";
inline constexpr char kCTRadioAccessTechnologyNRNSA[] = "CTRadioAccessTechnologyNRNSA";
inline constexpr char kCTRadioAccessTechnologyNR[] = "CTRadioAccessTechnologyNR";

class RadioInfoSource {
 public:
  virtual ~RadioInfoSource() = default;
  // The current technology, nullopt when there is no cellular radio or it is not attached.
  virtual std::optional<std::string> currentRadioAccessTechnology() = 0;
  // Whether the system knows the 5G names at all; with false an NR name counts as unknown.
  virtual bool supportsNR() { return true; }
};

// A device without a cellular radio: always nullopt.
class NoRadioInfoSource : public RadioInfoSource {
 public:
  std::optional<std::string> currentRadioAccessTechnology() override { return std::nullopt; }
};

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_RADIO_INFO_H_
