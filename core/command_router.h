#ifndef CORE_COMMAND_ROUTER_H_
#define CORE_COMMAND_ROUTER_H_

#include <array>
#include <cstddef>
#include <functional>
#include <string>

#include "rapidjson/document.h"

namespace vy {

// The table of every command the server sends, in dispatch order. Each family of commands
// (session, peer messages, presence, channels, calls, attributes) installs its handlers; a
// name without a handler is ignored like a name that is not in the table.
class CommandRouter {
 public:
  using Handler = std::function<void(const rapidjson::Value& content)>;

  static constexpr size_t kCommandCount = 43;
  static const std::array<const char*, kCommandCount> kCommandNames;

  // Installs (or with an empty handler removes) the handler of `name`. False when the name
  // is not in the table.
  bool SetHandler(const char* name, Handler handler);
  bool HasHandler(const char* name) const;

  // Runs the handler of `cmd` with the content document. False when the name is not in the
  // table or has no handler.
  bool Dispatch(const std::string& cmd, const rapidjson::Value& content) const;

  // The table index of `name`, or -1.
  static int IndexOf(const std::string& name);

 private:
  std::array<Handler, kCommandCount> handlers_;
};

}  // namespace vy

#endif  // CORE_COMMAND_ROUTER_H_
