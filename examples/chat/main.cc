// vortm-chat: a small line-oriented chat client on the VoRtmKit kit API.
//
//   vortm-chat --user alice [--token T] [--app-id ID] [--gateway HOST:PORT]
//   vortm-chat --help
//
// It logs in, then reads commands, one a line, from standard input (a terminal or a pipe):
//   /msg PEER TEXT   send TEXT to PEER (stored for PEER by the service while PEER is offline)
//   /status PEER...  say whether each PEER is online
//   /sub PEER...     be told whenever a PEER comes online or goes offline; /unsub PEER... stops
//   /attr set K=V... replace this user's attributes; /attr get USER prints USER's attributes
//   /join CH         join channel CH; /leave CH leaves it
//   /say CH TEXT     send TEXT to the members of CH
//   /members CH      list the members of CH
//   /call PEER       invite PEER to a call
//   /cancel          cancel the invitation sent last
//   /accept, /refuse answer the invitation received last (waiting for one if none came yet)
//   /sleep MS        pause reading for MS milliseconds
//   /wait            wait until every message and request made so far has its result and every
//                    call has ended
//   /quit            wait for outstanding results, log out and exit (end of input does too)
// Connection changes, results, presence changes, received messages, channel events and every
// step of a call invitation are printed as they happen, each line starting with the user's name
// in brackets. Ctrl-C (or SIGTERM) logs out, then exits; when the user logs in elsewhere the chat
// says so and exits.
// Completions and delegate calls arrive on the library's main loop; the program's own thread only
// reads input and waits. The exit status is 0 when every message was delivered or stored and
// every request succeeded, 1 when the login failed, 2 for bad arguments, 3 when a message or
// request failed, 4 when the user logged in elsewhere and 130 after Ctrl-C.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <vortm/vo_rtm_kit.h>

namespace rtm = vy::rtm;
using vortm::VoRtmKit;

namespace {

constexpr char kDefaultAppId[] = "0123456789abcdef0123456789abcdef";
constexpr char kDefaultToken[] = "demo-token";
// The library's built-in gateway; offline messages always come from port 7080 of its host.
constexpr char kBuiltInGateway[] = VORTM_GATEWAY_HOST ":7080";
// Every command, for the usage text and the banner.
constexpr char kCommandList[] =
    "/msg PEER TEXT, /status PEER..., /sub PEER..., /unsub PEER..., /attr set K=V..., "
    "/attr get USER, /join CH, /leave CH, /say CH TEXT, /members CH, /call PEER, /cancel, "
    "/accept, /refuse, /sleep MS, /wait, /quit";
constexpr int kExitLoggedInElsewhere = 4;
constexpr int kExitInterrupted = 130;
constexpr int kLoginWaitMs = 15000;
// Longer than the library's own 10 s time-outs, so every request gets its result.
constexpr int kResultWaitMs = 12000;

const char* StateName(int state) {
  switch (state) {
    case rtm::CONNECTION_STATE_DISCONNECTED:
      return "disconnected";
    case rtm::CONNECTION_STATE_CONNECTING:
      return "connecting";
    case rtm::CONNECTION_STATE_CONNECTED:
      return "connected";
    case rtm::CONNECTION_STATE_RECONNECTING:
      return "reconnecting";
    case rtm::CONNECTION_STATE_ABORTED:
      return "aborted";
  }
  return "unknown";
}

const char* ReasonName(int reason) {
  switch (reason) {
    case rtm::CONNECTION_CHANGE_REASON_LOGIN:
      return "login";
    case rtm::CONNECTION_CHANGE_REASON_LOGIN_SUCCESS:
      return "login success";
    case rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE:
      return "login failure";
    case rtm::CONNECTION_CHANGE_REASON_LOGIN_TIMEOUT:
      return "login timeout";
    case rtm::CONNECTION_CHANGE_REASON_INTERRUPTED:
      return "interrupted";
    case rtm::CONNECTION_CHANGE_REASON_LOGOUT:
      return "logout";
    case rtm::CONNECTION_CHANGE_REASON_REMOTE_LOGIN:
      return "logged in elsewhere";
  }
  return "unknown";
}

const char* ResultName(int code) {
  switch (code) {
    case rtm::PEER_MESSAGE_ERR_OK:
      return "delivered";
    case rtm::PEER_MESSAGE_ERR_TIMEOUT:
      return "timed out";
    case rtm::PEER_MESSAGE_ERR_PEER_UNREACHABLE:
      return "peer offline, not delivered";
    case rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER:
      return "peer offline, stored by the service";
    case rtm::PEER_MESSAGE_ERR_TOO_OFTEN:
      return "refused: too many messages";
    case rtm::PEER_MESSAGE_ERR_INVALID_USERID:
      return "refused: bad peer id";
    case rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE:
      return "refused: bad message";
    case rtm::PEER_MESSAGE_ERR_NOT_INITIALIZED:
      return "refused: not initialized";
    case rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN:
      return "refused: not logged in";
  }
  return "failed";
}

// Prints whole lines, from any thread, each in one write.
class Printer {
 public:
  explicit Printer(std::string user) : prefix_("[" + std::move(user) + "] ") {}
  void Line(const std::string& text) {
    std::string line = prefix_ + text + "\n";
    std::lock_guard<std::mutex> lock(mu_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

 private:
  std::string prefix_;
  std::mutex mu_;
};

// What the program waits for: the login, outstanding results and running calls. Waiters are
// told with the lock held: main may destroy the tracker as soon as it sees a change, while the
// main loop's thread would otherwise still be inside the notification.
class Tracker {
 public:
  // A request or message made; its result ends it.
  void Started() {
    std::lock_guard<std::mutex> lock(mu_);
    ++outstanding_;
  }
  // Ends one; a failure counts for the exit status.
  void Ended(bool ok) {
    std::lock_guard<std::mutex> lock(mu_);
    --outstanding_;
    if (!ok) ++failures_;
    cv_.notify_all();
  }
  void CallStarted() {
    std::lock_guard<std::mutex> lock(mu_);
    ++calls_;
  }
  void CallEnded() {
    std::lock_guard<std::mutex> lock(mu_);
    --calls_;
    cv_.notify_all();
  }
  void SetLoggedOut() {
    std::lock_guard<std::mutex> lock(mu_);
    logged_out_ = true;
    cv_.notify_all();
  }
  bool WaitForLogout() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kLoginWaitMs),
                        [this] { return logged_out_; });
  }
  void SetLogin(bool ok) {
    std::lock_guard<std::mutex> lock(mu_);
    if (login_ < 0) login_ = ok ? 1 : 0;
    cv_.notify_all();
  }
  // 1 logged in, 0 failed, -1 no answer within `ms`.
  int WaitForLogin(int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return login_ >= 0; });
    return login_;
  }
  bool WaitForResults() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kResultWaitMs),
                        [this] { return outstanding_ == 0; });
  }
  bool WaitForCalls() {
    std::unique_lock<std::mutex> lock(mu_);
    // A call lasts at most 60 s unanswered, then 5 s more for its cancel.
    return cv_.wait_for(lock, std::chrono::seconds(70), [this] { return calls_ == 0; });
  }
  int failures() {
    std::lock_guard<std::mutex> lock(mu_);
    return failures_ + outstanding_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int login_ = -1;
  bool logged_out_ = false;
  int outstanding_ = 0;
  int calls_ = 0;
  int failures_ = 0;
};

class ChatDelegate : public vortm::VoRtmDelegate {
 public:
  // `wake` (an eventfd) is written when the user has logged in elsewhere, to wake the
  // program's thread.
  ChatDelegate(Printer* out, Tracker* tracker, int wake)
      : out_(out), tracker_(tracker), wake_(wake) {}

  void connectionStateChanged(VoRtmKit&, rtm::CONNECTION_STATE state,
                              rtm::CONNECTION_CHANGE_REASON reason) override {
    out_->Line(std::string("* ") + StateName(state) + " (" + ReasonName(reason) + ")");
    if (reason == rtm::CONNECTION_CHANGE_REASON_LOGOUT) tracker_->SetLoggedOut();
    if (state == rtm::CONNECTION_STATE_ABORTED &&
        reason == rtm::CONNECTION_CHANGE_REASON_REMOTE_LOGIN && !elsewhere_.exchange(true)) {
      out_->Line("* logged in elsewhere: this chat ends");
      const uint64_t one = 1;
      ssize_t written = write(wake_, &one, sizeof(one));
      (void)written;
    }
  }
  bool LoggedInElsewhere() const { return elsewhere_.load(); }
  void tokenDidExpire(VoRtmKit&) override { out_->Line("* token expired"); }
  void messageReceived(VoRtmKit&, const vortm::VoRtmMessage& message,
                       const std::string& peer) override {
    out_->Line("<- " + peer + (message.isOfflineMessage() ? " (offline)" : "") + ": " +
               message.text());
  }
  void peersOnlineStatusChanged(
      VoRtmKit&, const std::vector<vortm::VoRtmPeerOnlineStatus>& statuses) override {
    for (const auto& status : statuses) {
      const char* now = status.state() == 0   ? "online"
                        : status.state() == 1 ? "offline (connection lost)"
                                              : "offline";
      out_->Line("* " + status.peerId() + " is now " + now);
    }
  }

 private:
  Printer* out_;
  Tracker* tracker_;
  int wake_;
  std::atomic<bool> elsewhere_{false};
};

// Prints every step of the call invitations and keeps the last one received for /accept and
// /refuse.
class CallDelegate : public vortm::VoRtmCallDelegate {
 public:
  CallDelegate(Printer* out, Tracker* tracker) : out_(out), tracker_(tracker) {}

  void localInvitationReceivedByPeer(vortm::VoRtmCallKit&,
                                     const vortm::VoRtmLocalInvitation& i) override {
    Outgoing(i, "ringing", false);
  }
  void localInvitationAccepted(vortm::VoRtmCallKit&, const vortm::VoRtmLocalInvitation& i,
                               const std::string& response) override {
    Outgoing(i, "accepted (" + response + ")", true);
  }
  void localInvitationRefused(vortm::VoRtmCallKit&, const vortm::VoRtmLocalInvitation& i,
                              const std::string& response) override {
    Outgoing(i, "refused (" + response + ")", true);
  }
  void localInvitationCanceled(vortm::VoRtmCallKit&,
                               const vortm::VoRtmLocalInvitation& i) override {
    Outgoing(i, "canceled", true);
  }
  void localInvitationFailure(vortm::VoRtmCallKit&, const vortm::VoRtmLocalInvitation& i,
                              int code) override {
    Outgoing(i, "failed, code " + std::to_string(code), true);
  }
  void remoteInvitationReceived(vortm::VoRtmCallKit&,
                                const vortm::VoRtmRemoteInvitation& i) override {
    tracker_->CallStarted();
    {
      std::lock_guard<std::mutex> lock(mu_);
      last_ = std::make_unique<vortm::VoRtmRemoteInvitation>(i);
      cv_.notify_all();
    }
    Incoming(i, "ringing (" + i.content() + ")", false);
  }
  void remoteInvitationAccepted(vortm::VoRtmCallKit&,
                                const vortm::VoRtmRemoteInvitation& i) override {
    Incoming(i, "accepted", true);
  }
  void remoteInvitationRefused(vortm::VoRtmCallKit&,
                               const vortm::VoRtmRemoteInvitation& i) override {
    Incoming(i, "refused", true);
  }
  void remoteInvitationCanceled(vortm::VoRtmCallKit&,
                                const vortm::VoRtmRemoteInvitation& i) override {
    Incoming(i, "canceled by the caller", true);
  }
  void remoteInvitationFailure(vortm::VoRtmCallKit&, const vortm::VoRtmRemoteInvitation& i,
                               int code) override {
    Incoming(i, "failed, code " + std::to_string(code), true);
  }

  // The last invitation received, waiting for one; null when none came.
  std::unique_ptr<vortm::VoRtmRemoteInvitation> LastReceived() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(kLoginWaitMs),
                 [this] { return last_ != nullptr; });
    return last_ ? std::make_unique<vortm::VoRtmRemoteInvitation>(*last_) : nullptr;
  }

 private:
  void Outgoing(const vortm::VoRtmLocalInvitation& i, const std::string& what, bool ended) {
    out_->Line("call to " + i.calleeId() + ": " + what);
    if (ended) tracker_->CallEnded();
  }
  void Incoming(const vortm::VoRtmRemoteInvitation& i, const std::string& what, bool ended) {
    out_->Line("call from " + i.callerId() + ": " + what);
    if (ended) tracker_->CallEnded();
  }

  Printer* out_;
  Tracker* tracker_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::unique_ptr<vortm::VoRtmRemoteInvitation> last_;
};

// Prints the events of one channel, each line naming it.
class ChannelDelegate : public vortm::VoRtmChannelDelegate {
 public:
  explicit ChannelDelegate(Printer* out) : out_(out) {}

  void messageReceived(vortm::VoRtmChannel& channel, const vortm::VoRtmMessage& message,
                       const vortm::VoRtmMember& member) override {
    out_->Line("#" + channel.channelId() + " <- " + member.uid + ": " + message.text());
  }
  void memberJoined(vortm::VoRtmChannel& channel, const vortm::VoRtmMember& member) override {
    out_->Line("#" + channel.channelId() + ": " + member.uid + " joined");
  }
  void memberLeft(vortm::VoRtmChannel& channel, const vortm::VoRtmMember& member) override {
    out_->Line("#" + channel.channelId() + ": " + member.uid + " left");
  }
  void memberCount(vortm::VoRtmChannel& channel, int count) override {
    out_->Line("#" + channel.channelId() + ": " + std::to_string(count) + " members");
  }
  void attributeUpdate(vortm::VoRtmChannel& channel,
                       const std::vector<vortm::VoRtmChannelAttribute>& attributes) override {
    std::string line = "#" + channel.channelId() + " attributes:";
    for (const auto& attribute : attributes)
      line += " " + attribute.key() + "=" + attribute.value();
    out_->Line(line);
  }

 private:
  Printer* out_;
};

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: vortm-chat --user NAME [--token TOKEN] [--app-id ID] [--gateway HOST:PORT]\n"
               "       vortm-chat --help\n"
               "\n"
               "  --user NAME          the user to log in as (required)\n"
               "  --token TOKEN        the login token (default: %s)\n"
               "  --app-id ID          the app id, 32 characters (default: %s)\n"
               "  --gateway HOST:PORT  the gateway to ask for a server (default: %s, the\n"
               "                       library's built-in one); offline messages always come\n"
               "                       from port 7080 of HOST\n"
               "  --help               print this and exit\n"
               "\n"
               "commands, one a line on standard input:\n  %s\n"
               "Ctrl-C logs out and exits.\n"
               "\n"
               "exit status: 0 every message delivered or stored and every request done,\n"
               "1 login failed, 2 bad arguments, 3 a message or request failed, 4 logged in\n"
               "elsewhere, 130 interrupted\n",
               kDefaultToken, kDefaultAppId, kBuiltInGateway, kCommandList);
}

// Standard input, read a line at a time, while watching for SIGINT and SIGTERM (`signals`, a
// signalfd) and for the handler's wake-up (`wake`, an eventfd).
class Input {
 public:
  enum Event { kLine, kEnd, kSignal, kWake };

  Input(int signals, int wake) : signals_(signals), wake_(wake) {}

  // The next line, or the end of input, a signal or the wake-up, whichever comes first.
  Event Next(std::string* line) {
    while (true) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        *line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return kLine;
      }
      if (eof_) {
        if (buffer_.empty()) return kEnd;
        line->swap(buffer_);
        buffer_.clear();
        return kLine;
      }
      Event event = Wait(-1, true);
      if (event != kLine) return event;
      char chunk[4096];
      ssize_t n = read(STDIN_FILENO, chunk, sizeof(chunk));
      if (n > 0) {
        buffer_.append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        eof_ = true;
      }
    }
  }

  // Waits up to `ms` (-1: no limit) for a signal, the wake-up or, with `input`, something to
  // read (kLine); kEnd when the time has passed.
  Event Wait(int ms, bool input) {
    pollfd fds[3] = {{signals_, POLLIN, 0}, {wake_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int n = poll(fds, input ? 3 : 2, ms);
    if (n < 0) return errno == EINTR ? Wait(0, input) : kEnd;
    if (fds[0].revents & POLLIN) return kSignal;
    if (fds[1].revents & POLLIN) return kWake;
    if (input && fds[2].revents != 0) return kLine;
    return kEnd;
  }

 private:
  int signals_;
  int wake_;
  std::string buffer_;
  bool eof_ = false;
};

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The commands, each with its completions; they run on the library's main loop.
class Commands {
 public:
  Commands(VoRtmKit* kit, Printer* out, Tracker* tracker)
      : kit_(kit),
        out_(out),
        tracker_(tracker),
        channel_delegate_(std::make_shared<ChannelDelegate>(out)) {}

  // A "/msg" line's text; false for a malformed line.
  bool Message(const std::string& rest) {
    size_t space = rest.find(' ');
    if (space == std::string::npos || space == 0 || space + 1 >= rest.size()) return false;
    std::string peer = rest.substr(0, space);
    std::string text = rest.substr(space + 1);
    std::string name = "message #" + std::to_string(++messages_) + " to " + peer;
    vortm::VoRtmSendMessageOptions options;
    options.enableOfflineMessaging = true;
    out_->Line("-> " + peer + " #" + std::to_string(messages_) + ": " + text);
    tracker_->Started();
    kit_->sendMessage(vortm::VoRtmMessage(text), peer, options,
                      [this, name](rtm::PEER_MESSAGE_ERR_CODE code) {
                        out_->Line(name + ": " + ResultName(code));
                        tracker_->Ended(code == rtm::PEER_MESSAGE_ERR_OK ||
                                        code == rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER);
                      });
    return true;
  }

  // A "/status", "/sub", "/unsub" or "/attr" line; false for a malformed one.
  bool Request(const std::string& line) {
    std::vector<std::string> words = Words(line);
    const std::string command = words[0];
    words.erase(words.begin());
    std::string names;
    for (const std::string& word : words) names += " " + word;
    if ((command == "/status" || command == "/sub" || command == "/unsub") && !words.empty()) {
      tracker_->Started();
      if (command == "/status") {
        kit_->queryPeersOnlineStatus(words, [this](const auto& statuses, auto code) {
          if (!Done("status of", code)) return;
          for (const auto& status : statuses) {
            out_->Line(status.peerId() + " is " + (status.state() == 0 ? "online" : "offline"));
          }
        });
      } else if (command == "/sub") {
        kit_->subscribePeersOnlineStatus(words, Simple("subscription to" + names));
      } else {
        kit_->unsubscribePeersOnlineStatus(words, Simple("unsubscription from" + names));
      }
    } else if (command == "/attr" && words.size() == 2 && words[0] == "get") {
      tracker_->Started();
      kit_->getUserAllAttributes(
          words[1], [this](const auto& attributes, const std::string& user, auto code) {
            if (!Done("attributes of " + user, code)) return;
            std::string text = "attributes of " + user + ":";
            for (const auto& attribute : attributes)
              text += " " + attribute.key + "=" + attribute.value;
            out_->Line(attributes.empty() ? text + " none" : text);
          });
    } else if (command == "/attr" && words.size() >= 2 && words[0] == "set") {
      std::vector<vortm::VoRtmAttribute> attributes;
      for (size_t i = 1; i < words.size(); ++i) {
        size_t equals = words[i].find('=');
        if (equals == std::string::npos || equals == 0) return false;
        attributes.push_back({words[i].substr(0, equals), words[i].substr(equals + 1)});
      }
      tracker_->Started();
      kit_->setLocalUserAttributes(attributes, Simple("attributes set"));
    } else {
      return false;
    }
    return true;
  }

  // The channel commands; false for a malformed line.
  bool Channel(const std::string& line) {
    std::istringstream words(line);
    std::string command, id;
    words >> command >> id;
    if (id.empty()) return false;
    if (command != "/join" && command != "/leave" && command != "/say" && command != "/members") {
      return false;
    }
    std::shared_ptr<vortm::VoRtmChannel>& channel = channels_[id];
    if (channel == nullptr) {
      channel = kit_->createChannel(id, channel_delegate_);
      if (channel == nullptr) {
        channels_.erase(id);
        out_->Line("* bad channel id " + id);
        return true;
      }
    }
    const std::string prefix = "#" + id;
    tracker_->Started();
    if (command == "/say") {
      std::string text;
      std::getline(words >> std::ws, text);
      std::string name = prefix + " message #" + std::to_string(++messages_);
      out_->Line(prefix + " -> #" + std::to_string(messages_) + ": " + text);
      channel->sendMessage(vortm::VoRtmMessage(text), {}, [this, name](auto code) {
        out_->Line(name + (code == 0 ? ": sent" : ": failed, code " + std::to_string(code)));
        tracker_->Ended(code == 0);
      });
    } else if (command == "/join") {
      channel->join([this, prefix](auto code) {
        out_->Line(prefix +
                   (code == 0 ? ": joined" : ": join failed, code " + std::to_string(code)));
        tracker_->Ended(code == 0);
      });
    } else if (command == "/leave") {
      // Leaving is refused at once unless the channel is joined; the server's answer is 0.
      channel->leave([this, prefix, id](auto code) {
        out_->Line(code == 0 ? prefix + ": left"
                             : "* leave " + id + " refused, code " + std::to_string(code));
        tracker_->Ended(code == 0);
      });
    } else {
      channel->getMembers(
          [this, prefix](const std::vector<vortm::VoRtmMember>& members, auto code) {
            std::string text = prefix + " members:";
            for (const auto& member : members) text += " " + member.uid;
            if (code != 0) text += " failed, code " + std::to_string(code);
            out_->Line(text);
            tracker_->Ended(code == 0);
          });
    }
    return true;
  }

  // The call commands; false for a malformed line.
  bool Call(const std::string& line, vortm::VoRtmCallKit* calls, CallDelegate* delegate) {
    std::string command = line.substr(1);
    auto refused = [this, command](int code) {
      if (code != 0) out_->Line("* " + command + " refused, code " + std::to_string(code));
      return code == 0;
    };
    if (line.rfind("/call ", 0) == 0 && line.size() > 6) {
      last_call_ = vortm::VoRtmLocalInvitation(line.substr(6));
      out_->Line("-> calling " + last_call_.calleeId());
      calls->sendLocalInvitation(last_call_, [this, refused](int code) {
        if (refused(code)) tracker_->CallStarted();
      });
    } else if (line == "/cancel") {
      if (last_call_.calleeId().empty()) return false;
      calls->cancelLocalInvitation(last_call_, refused);
    } else if (line == "/accept" || line == "/refuse") {
      std::unique_ptr<vortm::VoRtmRemoteInvitation> invitation = delegate->LastReceived();
      if (invitation == nullptr) {
        out_->Line("* no invitation to answer");
        return true;
      }
      if (line == "/accept") {
        calls->acceptRemoteInvitation(*invitation, refused);
      } else {
        calls->refuseRemoteInvitation(*invitation, refused);
      }
    } else {
      return false;
    }
    return true;
  }

 private:
  // Ends a request; false (with a line) when it failed.
  bool Done(const std::string& name, int code) {
    if (code != 0) out_->Line(name + ": failed, code " + std::to_string(code));
    tracker_->Ended(code == 0);
    return code == 0;
  }
  std::function<void(int)> Simple(std::string name) {
    return [this, name](int code) {
      if (Done(name, code)) out_->Line(name + ": done");
    };
  }

  VoRtmKit* kit_;
  Printer* out_;
  Tracker* tracker_;
  int messages_ = 0;
  vortm::VoRtmLocalInvitation last_call_;
  std::shared_ptr<ChannelDelegate> channel_delegate_;
  std::map<std::string, std::shared_ptr<vortm::VoRtmChannel>> channels_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string user;
  std::string token = kDefaultToken;
  std::string app_id = kDefaultAppId;
  std::string gateway;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      Usage(stderr);
      return 2;
    }
    std::string value = argv[++i];
    if (arg == "--user") {
      user = value;
    } else if (arg == "--token") {
      token = value;
    } else if (arg == "--app-id") {
      app_id = value;
    } else if (arg == "--gateway") {
      gateway = value;
    } else {
      Usage(stderr);
      return 2;
    }
  }
  if (user.empty()) {
    Usage(stderr);
    return 2;
  }

  // Blocked before the library starts its threads, which inherit the mask: the main loop reads
  // the signals from a signalfd and logs out before it exits.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signals = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  const int wake = eventfd(0, EFD_CLOEXEC);
  if (signals < 0 || wake < 0) {
    std::perror("vortm-chat");
    return 1;
  }
  Input input(signals, wake);

  Printer out(user);
  Tracker tracker;
  auto delegate = std::make_shared<ChatDelegate>(&out, &tracker, wake);
  auto call_delegate = std::make_shared<CallDelegate>(&out, &tracker);
  std::shared_ptr<VoRtmKit> kit = VoRtmKit::create(app_id, delegate);
  if (kit == nullptr) {
    out.Line("* initialize refused the app id (it must have 32 characters)");
    return 2;
  }
  // Taken at start-up, so that invitations are received before the user calls anyone.
  std::shared_ptr<vortm::VoRtmCallKit> calls = kit->getRtmCallKit();
  if (calls != nullptr) calls->setCallDelegate(call_delegate);
  bool logged_in = false;
  auto finish = [&](int status) {
    // The logout is printed before the kit ends, which silences its delegate.
    if (logged_in) {
      kit->logout(nullptr);
      tracker.WaitForLogout();
    }
    kit->destroy();
    return status;
  };
  if (!gateway.empty()) {
    size_t colon = gateway.rfind(':');
    std::string host = colon == std::string::npos ? gateway : gateway.substr(0, colon);
    std::string port = colon == std::string::npos ? "" : gateway.substr(colon + 1);
    std::string params = R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + host + "\"" +
                         (port.empty() ? "" : ",\"Port\":" + port) + "}";
    if (kit->setParameters(params) != 0) {
      out.Line("* bad --gateway " + gateway);
      return finish(2);
    }
  }

  // A login the service refuses at once is answered before loginByToken returns.
  std::atomic<bool> returned{false};
  kit->loginByToken(token, user, [&](rtm::LOGIN_ERR_CODE code) {
    if (code == rtm::LOGIN_ERR_OK) {
      out.Line("* logged in");
    } else {
      out.Line(std::string("* login ") + (returned.load() ? "failed" : "refused") + ", code " +
               std::to_string(code));
    }
    tracker.SetLogin(code == rtm::LOGIN_ERR_OK);
  });
  returned.store(true);
  auto interrupted = [&] {
    out.Line("* interrupted: logging out");
    return finish(kExitInterrupted);
  };
  int login = -1;
  for (int waited = 0; login < 0 && waited < kLoginWaitMs; waited += 100) {
    if (input.Wait(0, false) == Input::kSignal) {
      logged_in = tracker.WaitForLogin(0) == 1;
      return interrupted();
    }
    login = tracker.WaitForLogin(100);
  }
  if (login != 1) {
    if (login < 0) out.Line("* no login answer");
    return finish(1);
  }

  logged_in = true;
  if (isatty(STDIN_FILENO)) {
    out.Line(std::string("* commands: ") + kCommandList + " (Ctrl-C logs out and exits)");
  }
  Commands commands(kit.get(), &out, &tracker);
  std::string line;
  while (true) {
    Input::Event event = input.Next(&line);
    if (event == Input::kSignal) return interrupted();
    if (event == Input::kWake) return finish(kExitLoggedInElsewhere);
    if (event == Input::kEnd) break;
    if (line.empty()) continue;
    if (line == "/quit") break;
    if (line == "/wait") {
      if (!tracker.WaitForResults()) out.Line("* some results did not come");
      if (!tracker.WaitForCalls()) out.Line("* some calls did not end");
    } else if (line.rfind("/sleep ", 0) == 0) {
      Input::Event during = input.Wait(std::atoi(line.c_str() + 7), false);
      if (during == Input::kSignal) return interrupted();
      if (during == Input::kWake) return finish(kExitLoggedInElsewhere);
    } else if (line == "/msg" || line.rfind("/msg ", 0) == 0) {
      if (line.size() < 5 || !commands.Message(line.substr(5))) {
        out.Line("* usage: /msg PEER TEXT");
      }
    } else if (line.rfind("/status", 0) == 0 || line.rfind("/sub", 0) == 0 ||
               line.rfind("/unsub", 0) == 0 || line.rfind("/attr", 0) == 0) {
      if (!commands.Request(line)) {
        out.Line(
            "* usage: /status PEER..., /sub PEER..., /unsub PEER..., /attr set K=V..., "
            "/attr get USER");
      }
    } else if (!commands.Channel(line) &&
               (calls == nullptr || !commands.Call(line, calls.get(), call_delegate.get()))) {
      out.Line("* unknown command: " + line);
    }
  }
  tracker.WaitForResults();
  if (delegate->LoggedInElsewhere()) return finish(kExitLoggedInElsewhere);
  return finish(tracker.failures() == 0 ? 0 : 3);
}
