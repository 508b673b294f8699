// A D-Bus daemon of the test's own, on a socket in a folder the test gives, killed with the
// object (and with the test, should the test die first). Its configuration lets any connection
// of the test's user own any name and call anything; a call may ask it to start a service
// the test names.
#ifndef TESTS_SUPPORT_PRIVATE_BUS_H_
#define TESTS_SUPPORT_PRIVATE_BUS_H_

#include <sys/types.h>

#include <string>

namespace rtc {
namespace testing {

class PrivateBus {
 public:
  // The bus of `dir`, which starts `command` for the bus name `service`.
  PrivateBus(std::string dir, const std::string& service, const std::string& command);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // "unix:path=DIR/bus", known before the start: what the daemon starts inherits the test's
  // environment, where the test may name it already.
  std::string address() const { return "unix:path=" + dir_ + "/bus"; }
  // Runs /usr/bin/dbus-daemon and waits until it takes connections; "" then, else why not.
  std::string Start();
  // What the daemon and the services it started wrote.
  std::string log() const;

 private:
  const std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace testing
}  // namespace rtc

#endif  // TESTS_SUPPORT_PRIVATE_BUS_H_
