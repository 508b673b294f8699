// vortm-chat: a small line-oriented chat client on the vy::rtm API.
//
//   vortm-chat --user alice [--token T] [--app-id ID] [--gateway HOST:PORT]
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
// step of a call invitation are printed as they happen, each line starting with the user's name in brackets.
// Callbacks arrive on the library's worker thread; the main thread only reads input and waits.
// The exit status is 0 when every message was delivered or stored and every request succeeded,
// 1 when the login failed, 2 for bad arguments and 3 when a message or request failed.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vortm/rtm_call.h>
#include <vortm/rtm_channel.h>
#include <vortm/rtm_service.h>

namespace rtm = vy::rtm;

namespace {

constexpr char kDefaultAppId[] = "0123456789abcdef0123456789abcdef";
constexpr int kLoginWaitMs = 15000;
// Longer than the library's own 10 s send time-out, so every send gets its result.
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

class ChatHandler : public rtm::IRtmServiceEventHandler {
 public:
  explicit ChatHandler(Printer* out) : out_(out) {}

  void onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                rtm::CONNECTION_CHANGE_REASON reason) override {
    out_->Line(std::string("* ") + StateName(state) + " (" + ReasonName(reason) + ")");
  }
  void onLoginSuccess() override {
    out_->Line("* logged in");
    FinishLogin(true);
  }
  void onLoginFailure(rtm::LOGIN_ERR_CODE code) override {
    out_->Line("* login failed, code " + std::to_string(code));
    FinishLogin(false);
  }
  void onTokenExpired() override { out_->Line("* token expired"); }
  void onSendMessageResult(long long id, rtm::PEER_MESSAGE_ERR_CODE code) override {
    std::string peer;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = outstanding_.find(id);
      if (it != outstanding_.end()) {
        peer = it->second;
        outstanding_.erase(it);
      }
      if (code != rtm::PEER_MESSAGE_ERR_OK && code != rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER) {
        ++failures_;
      }
    }
    cv_.notify_all();
    out_->Line("message #" + std::to_string(id) + (peer.empty() ? "" : " to " + peer) + ": " +
               ResultName(code));
  }
  void onMessageReceivedFromPeer(const char* peer, const rtm::IMessage* message) override {
    std::string text(message->getRawMessageData(),
                     static_cast<size_t>(message->getRawMessageLength()));
    out_->Line("<- " + std::string(peer) + (message->isOfflineMessage() ? " (offline)" : "") +
               ": " + text);
  }

  void onQueryPeersOnlineStatusResult(long long id, const rtm::PeerOnlineStatus* statuses,
                                      int count, rtm::QUERY_PEERS_ONLINE_STATUS_ERR code) override {
    if (!Done(id, code)) return;
    for (int i = 0; i < count; ++i) {
      out_->Line(std::string(statuses[i].peerId) + " is " +
                 (statuses[i].isOnline ? "online" : "offline"));
    }
  }
  void onSubscriptionRequestResult(long long id, rtm::PEER_SUBSCRIPTION_STATUS_ERR code) override {
    if (Done(id, code)) out_->Line(Name(id) + ": done");
  }
  void onPeersOnlineStatusChanged(const rtm::PeerOnlineStatus statuses[], int count) override {
    for (int i = 0; i < count; ++i) {
      const char* now = "offline";
      if (statuses[i].isOnline) now = "online";
      if (statuses[i].state == 1) now = "offline (connection lost)";
      out_->Line("* " + std::string(statuses[i].peerId) + " is now " + now);
    }
  }
  void onSetLocalUserAttributesResult(long long id, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    if (Done(id, code)) out_->Line(Name(id) + ": done");
  }
  void onGetUserAttributesResult(long long id, const char* user,
                                 const rtm::RtmAttribute* attributes, int count,
                                 rtm::ATTRIBUTE_OPERATION_ERR code) override {
    if (!Done(id, code)) return;
    std::string line = "attributes of " + std::string(user) + ":";
    for (int i = 0; i < count; ++i) {
      line += std::string(" ") + attributes[i].key + "=" + attributes[i].value;
    }
    out_->Line(count == 0 ? line + " none" : line);
  }

  // Presence and attribute requests are made with ids of our own, registered before the call,
  // so a result that comes at once finds its name. Returns the id to make it with.
  long long ExpectRequest(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    long long id = ++last_request_;
    requests_[id] = name;
    names_[id] = name;
    return id;
  }
  // A request the library refused at once: no result will come.
  void Refused(long long id, int code) {
    out_->Line(Name(id) + ": refused, code " + std::to_string(code));
    Done(id, code);
  }

  // Registered before the send, so a result that comes at once finds it.
  void Expect(long long id, const std::string& peer) {
    std::lock_guard<std::mutex> lock(mu_);
    outstanding_[id] = peer;
  }
  // 1 logged in, 0 failed, -1 no answer in time.
  int WaitForLogin() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(kLoginWaitMs), [this] { return login_ >= 0; });
    return login_;
  }
  bool WaitForResults() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kResultWaitMs),
                        [this] { return outstanding_.empty() && requests_.empty(); });
  }
  int failures() {
    std::lock_guard<std::mutex> lock(mu_);
    return failures_ + static_cast<int>(outstanding_.size() + requests_.size());
  }

 private:
  std::string Name(long long id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = names_.find(id);
    return it != names_.end() ? it->second : "request #" + std::to_string(id);
  }
  // Ends request `id`; false (with a line) when it failed.
  bool Done(long long id, int code) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.erase(id);
      if (code != 0) ++failures_;
    }
    cv_.notify_all();
    if (code != 0) out_->Line(Name(id) + ": failed, code " + std::to_string(code));
    return code == 0;
  }

  void FinishLogin(bool ok) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (login_ < 0) login_ = ok ? 1 : 0;
    }
    cv_.notify_all();
  }

  Printer* out_;
  std::mutex mu_;
  std::condition_variable cv_;
  int login_ = -1;
  std::map<long long, std::string> outstanding_;
  long long last_request_ = 0;
  std::map<long long, std::string> requests_;  // awaiting their results
  std::map<long long, std::string> names_;
  int failures_ = 0;
};

// Names the remote invitation to answer by its caller, which is all the call manager needs: the
// object it handed to the callback is the library's and may be gone once the callback returns.
class Answer : public rtm::IRemoteCallInvitation {
 public:
  explicit Answer(std::string caller) : caller_(std::move(caller)) {}
  const char* getCallerId() const override { return caller_.c_str(); }
  const char* getContent() const override { return ""; }
  void setResponse(const char*) override {}
  const char* getResponse() const override { return ""; }
  const char* getChannelId() const override { return ""; }
  rtm::REMOTE_INVITATION_STATE getState() const override {
    return rtm::REMOTE_INVITATION_STATE_RECEIVED;
  }
  void release() override {}

 private:
  std::string caller_;
};

// Prints every step of the call invitations and tracks which are still running.
class CallHandler : public rtm::IRtmCallEventHandler {
 public:
  explicit CallHandler(Printer* out) : out_(out) {}

  void onLocalInvitationReceivedByPeer(rtm::ILocalCallInvitation* i) override {
    Outgoing(i, "ringing", false);
  }
  void onLocalInvitationAccepted(rtm::ILocalCallInvitation* i, const char* response) override {
    Outgoing(i, std::string("accepted (") + response + ")", true);
  }
  void onLocalInvitationRefused(rtm::ILocalCallInvitation* i, const char* response) override {
    Outgoing(i, std::string("refused (") + response + ")", true);
  }
  void onLocalInvitationCanceled(rtm::ILocalCallInvitation* i) override {
    Outgoing(i, "canceled", true);
  }
  void onLocalInvitationFailure(rtm::ILocalCallInvitation* i,
                                rtm::LOCAL_INVITATION_ERR_CODE code) override {
    Outgoing(i, "failed, code " + std::to_string(code), true);
  }
  void onRemoteInvitationReceived(rtm::IRemoteCallInvitation* i) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++calls_;
      caller_ = i->getCallerId();
    }
    cv_.notify_all();
    Incoming(i, std::string("ringing (") + i->getContent() + ")", false);
  }
  void onRemoteInvitationAccepted(rtm::IRemoteCallInvitation* i) override {
    Incoming(i, "accepted", true);
  }
  void onRemoteInvitationRefused(rtm::IRemoteCallInvitation* i) override {
    Incoming(i, "refused", true);
  }
  void onRemoteInvitationCanceled(rtm::IRemoteCallInvitation* i) override {
    Incoming(i, "canceled by the caller", true);
  }
  void onRemoteInvitationFailure(rtm::IRemoteCallInvitation* i,
                                 rtm::REMOTE_INVITATION_ERR_CODE code) override {
    Incoming(i, "failed, code " + std::to_string(code), true);
  }

  // Counts a call sent; its end is reported through the handler.
  void Started() {
    std::lock_guard<std::mutex> lock(mu_);
    ++calls_;
  }
  // The caller of the last invitation received, waiting for one; empty when none came.
  std::string LastCaller() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(kLoginWaitMs), [this] { return !caller_.empty(); });
    return caller_;
  }
  bool WaitForCalls() {
    std::unique_lock<std::mutex> lock(mu_);
    // A call lasts at most 60 s unanswered, then 5 s more for its cancel.
    return cv_.wait_for(lock, std::chrono::seconds(70), [this] { return calls_ == 0; });
  }

 private:
  void Outgoing(rtm::ILocalCallInvitation* i, const std::string& what, bool ended) {
    out_->Line("call to " + std::string(i->getCalleeId()) + ": " + what);
    if (ended) End();
  }
  void Incoming(rtm::IRemoteCallInvitation* i, const std::string& what, bool ended) {
    out_->Line("call from " + std::string(i->getCallerId()) + ": " + what);
    if (ended) End();
  }
  void End() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      --calls_;
    }
    cv_.notify_all();
  }

  Printer* out_;
  std::mutex mu_;
  std::condition_variable cv_;
  int calls_ = 0;
  std::string caller_;
};

// The call commands; false for a malformed line.
bool CallLine(rtm::IRtmCallManager* calls, CallHandler* handler, Printer* out,
              rtm::ILocalCallInvitation** last, const std::string& line) {
  int result = 0;
  if (line.rfind("/call ", 0) == 0 && line.size() > 6) {
    if (*last != nullptr) (*last)->release();
    *last = calls->createLocalCallInvitation(line.substr(6).c_str());
    out->Line("-> calling " + line.substr(6));
    result = calls->sendLocalInvitation(*last);
    if (result == 0) handler->Started();
  } else if (line == "/cancel") {
    if (*last == nullptr) return false;
    result = calls->cancelLocalInvitation(*last, "");
  } else if (line == "/accept" || line == "/refuse") {
    std::string caller = handler->LastCaller();
    if (caller.empty()) {
      out->Line("* no invitation to answer");
      return true;
    }
    Answer answer(caller);
    result = line == "/accept" ? calls->acceptRemoteInvitation(&answer)
                               : calls->refuseRemoteInvitation(&answer);
  } else {
    return false;
  }
  if (result != 0) out->Line("* " + line.substr(1) + " refused, code " + std::to_string(result));
  return true;
}

// Channel requests (joins, leaves, member lists, and sends by message id) still awaiting their
// results, over every channel.
class ChannelWaits {
 public:
  void Start(long long send_id = 0) {
    std::lock_guard<std::mutex> lock(mu_);
    if (send_id != 0) {
      sends_.insert(send_id);
    } else {
      ++waiting_;
    }
  }
  // Ends one request; a send only while it is still awaited, so each is counted once.
  void End(bool ok, long long send_id = 0) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (send_id != 0) {
        if (sends_.erase(send_id) == 0) return;
      } else {
        --waiting_;
      }
      if (!ok) ++failures_;
    }
    cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kResultWaitMs),
                        [this] { return waiting_ == 0 && sends_.empty(); });
  }
  int failures() {
    std::lock_guard<std::mutex> lock(mu_);
    return failures_ + waiting_ + static_cast<int>(sends_.size());
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int waiting_ = 0;
  std::set<long long> sends_;
  int failures_ = 0;
};

// Prints the events of one channel, each line naming it.
class ChannelHandler : public rtm::IChannelEventHandler {
 public:
  ChannelHandler(Printer* out, ChannelWaits* waits, const std::string& id)
      : out_(out), waits_(waits), prefix_("#" + id) {}

  void onJoinSuccess() override { Result(": joined", true); }
  void onJoinFailure(rtm::JOIN_CHANNEL_ERR code) override {
    Result(": join failed, code " + std::to_string(code), false);
  }
  void onLeave(rtm::LEAVE_CHANNEL_ERR code) override {
    Result(code == 0 ? ": left" : ": leave failed, code " + std::to_string(code), code == 0);
  }
  void onMessageReceived(const char* user, const rtm::IMessage* message) override {
    out_->Line(prefix_ + " <- " + user + ": " +
               std::string(message->getRawMessageData(),
                           static_cast<size_t>(message->getRawMessageLength())));
  }
  void onSendMessageResult(long long id, rtm::CHANNEL_MESSAGE_ERR_CODE code) override {
    out_->Line(prefix_ + " message #" + std::to_string(id) +
               (code == 0 ? ": sent" : ": failed, code " + std::to_string(code)));
    waits_->End(code == 0, id);
  }
  void onMemberJoined(rtm::IChannelMember* member) override {
    out_->Line(prefix_ + ": " + member->getUserId() + " joined");
  }
  void onMemberLeft(rtm::IChannelMember* member) override {
    out_->Line(prefix_ + ": " + member->getUserId() + " left");
  }
  void onGetMembers(rtm::IChannelMember** members, int count,
                    rtm::GET_MEMBERS_ERR code) override {
    std::string line = prefix_ + " members:";
    for (int i = 0; i < count; ++i) line += std::string(" ") + members[i]->getUserId();
    if (code != 0) line += " failed, code " + std::to_string(code);
    Result(line.substr(prefix_.size()), code == 0);
  }
  void onMemberCountUpdated(int count) override {
    out_->Line(prefix_ + ": " + std::to_string(count) + " members");
  }
  void onAttributesUpdated(const rtm::IRtmChannelAttribute* attributes[], int count) override {
    std::string line = prefix_ + " attributes:";
    for (int i = 0; i < count; ++i) {
      line += std::string(" ") + attributes[i]->getKey() + "=" + attributes[i]->getValue();
    }
    out_->Line(line);
  }

 private:
  void Result(const std::string& what, bool ok) {
    out_->Line(prefix_ + what);
    waits_->End(ok);
  }

  Printer* out_;
  ChannelWaits* waits_;
  std::string prefix_;
};

// The channels made so far, by id, with their handlers. Main thread only.
struct Channels {
  struct Entry {
    std::unique_ptr<ChannelHandler> handler;
    rtm::IChannel* channel = nullptr;
  };
  std::map<std::string, Entry> entries;
  ChannelWaits waits;

  ~Channels() {
    for (auto& [id, entry] : entries) entry.channel->release();
  }
};

// The channel commands; false for a malformed line.
bool ChannelLine(rtm::IRtmService* service, Channels* channels, Printer* out,
                 const std::string& line) {
  std::istringstream words(line);
  std::string command, id;
  words >> command >> id;
  if (id.empty()) return false;
  if (command != "/join" && command != "/leave" && command != "/say" && command != "/members") {
    return false;
  }
  Channels::Entry& entry = channels->entries[id];
  if (entry.channel == nullptr) {
    entry.handler = std::make_unique<ChannelHandler>(out, &channels->waits, id);
    entry.channel = service->createChannel(id.c_str(), entry.handler.get());
    if (entry.channel == nullptr) {
      channels->entries.erase(id);
      out->Line("* bad channel id " + id);
      return true;
    }
  }
  int result = 0;
  long long send_id = 0;
  if (command == "/say") {
    std::string text;
    std::getline(words >> std::ws, text);
    rtm::IMessage* message = service->createMessage(text.c_str());
    if (message == nullptr) return false;
    send_id = message->getMessageId();
    out->Line("#" + id + " -> #" + std::to_string(send_id) + ": " + text);
    // Counted before the call, so that a result that comes at once finds it.
    channels->waits.Start(send_id);
    result = entry.channel->sendMessage(message);
    message->release();
  } else {
    channels->waits.Start();
    if (command == "/join") {
      result = entry.channel->join();
    } else if (command == "/leave") {
      result = entry.channel->leave();
    } else {
      result = entry.channel->getMembers();
    }
  }
  if (result != 0) {
    channels->waits.End(false, send_id);
    out->Line("* " + command.substr(1) + " " + id + " refused, code " + std::to_string(result));
  }
  return true;
}

void Usage() {
  std::fprintf(stderr,
               "usage: vortm-chat --user NAME [--token TOKEN] [--app-id ID] "
               "[--gateway HOST:PORT]\n"
               "commands: /msg PEER TEXT, /status PEER..., /sub PEER..., /unsub PEER...,\n"
               "          /attr set K=V..., /attr get USER, /join CH, /leave CH, /say CH TEXT,\n"
               "          /members CH, /call PEER, /cancel, /accept, /refuse, /sleep MS, /wait,\n"
               "          /quit\n");
}

// Sends one "/msg" line's text; false for a malformed line.
bool SendLine(rtm::IRtmService* service, ChatHandler* handler, Printer* out,
              const std::string& rest) {
  size_t space = rest.find(' ');
  if (space == std::string::npos || space == 0 || space + 1 >= rest.size()) return false;
  std::string peer = rest.substr(0, space);
  std::string text = rest.substr(space + 1);
  rtm::IMessage* message = service->createMessage(text.c_str());
  if (message == nullptr) return false;
  long long id = message->getMessageId();
  rtm::SendMessageOptions options;
  options.enableOfflineMessaging = true;
  handler->Expect(id, peer);
  out->Line("-> " + peer + " #" + std::to_string(id) + ": " + text);
  // A refused message is reported through the handler as well.
  service->sendMessageToPeer(peer.c_str(), message, options);
  message->release();
  return true;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Makes the request of a "/status", "/sub", "/unsub" or "/attr" line; false for a malformed one.
bool RequestLine(rtm::IRtmService* service, ChatHandler* handler, const std::string& line) {
  std::vector<std::string> words = Words(line);
  const std::string command = words[0];
  words.erase(words.begin());
  std::vector<const char*> peers;
  for (const std::string& word : words) peers.push_back(word.c_str());
  const int count = static_cast<int>(peers.size());
  long long id = 0;
  int code = 0;
  if (command == "/status" || command == "/sub" || command == "/unsub") {
    if (words.empty()) return false;
    std::string names;
    for (const std::string& word : words) names += " " + word;
    if (command == "/status") {
      id = handler->ExpectRequest("status of" + names);
      code = service->queryPeersOnlineStatus(peers.data(), count, id);
    } else if (command == "/sub") {
      id = handler->ExpectRequest("subscription to" + names);
      code = service->subscribePeersOnlineStatus(peers.data(), count, id);
    } else {
      id = handler->ExpectRequest("unsubscription from" + names);
      code = service->unsubscribePeersOnlineStatus(peers.data(), count, id);
    }
  } else if (command == "/attr" && words.size() == 2 && words[0] == "get") {
    id = handler->ExpectRequest("attributes of " + words[1]);
    code = service->getUserAttributes(words[1].c_str(), id);
  } else if (command == "/attr" && words.size() >= 2 && words[0] == "set") {
    std::vector<std::string> keys, values;
    for (size_t i = 1; i < words.size(); ++i) {
      size_t equals = words[i].find('=');
      if (equals == std::string::npos || equals == 0) return false;
      keys.push_back(words[i].substr(0, equals));
      values.push_back(words[i].substr(equals + 1));
    }
    std::vector<rtm::RtmAttribute> attributes;
    for (size_t i = 0; i < keys.size(); ++i) {
      attributes.push_back({keys[i].c_str(), values[i].c_str()});
    }
    id = handler->ExpectRequest("attributes set");
    code =
        service->setLocalUserAttributes(attributes.data(), static_cast<int>(attributes.size()), id);
  } else {
    return false;
  }
  if (code != 0) handler->Refused(id, code);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string user;
  std::string token = "demo-token";
  std::string app_id = kDefaultAppId;
  std::string gateway;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) {
      Usage();
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
      Usage();
      return 2;
    }
  }
  if (user.empty()) {
    Usage();
    return 2;
  }

  Printer out(user);
  ChatHandler handler(&out);
  CallHandler call_handler(&out);
  // Released after the service, which only detaches them.
  Channels channels;
  rtm::IRtmService* service = createRtmService();
  if (service == nullptr) return 1;
  // Taken at start-up, so that invitations are received before the user calls anyone.
  rtm::IRtmCallManager* calls = service->getRtmCallManager(&call_handler);
  rtm::ILocalCallInvitation* last_call = nullptr;
  // Logs out, then deletes the service; the call manager outlives it until its own release.
  auto finish = [&](int status) {
    service->release(true);
    calls->release();
    if (last_call != nullptr) last_call->release();
    return status;
  };
  if (service->initialize(app_id.c_str(), &handler) != 0) {
    out.Line("* initialize refused the app id (it must have 32 characters)");
    return finish(2);
  }
  if (!gateway.empty()) {
    size_t colon = gateway.rfind(':');
    std::string host = colon == std::string::npos ? gateway : gateway.substr(0, colon);
    std::string port = colon == std::string::npos ? "" : gateway.substr(colon + 1);
    std::string params = R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + host + "\"" +
                         (port.empty() ? "" : ",\"Port\":" + port) + "}";
    if (service->setParameters(params.c_str()) != 0) {
      out.Line("* bad --gateway " + gateway);
      return finish(2);
    }
  }

  int code = service->login(token.c_str(), user.c_str());
  if (code != 0) {
    out.Line("* login refused, code " + std::to_string(code));
    return finish(1);
  }
  int login = handler.WaitForLogin();
  if (login != 1) {
    if (login < 0) out.Line("* no login answer");
    return finish(1);
  }

  if (isatty(STDIN_FILENO)) {
    out.Line(
        "* commands: /msg PEER TEXT, /status PEER..., /sub PEER..., /unsub PEER..., "
        "/attr set K=V..., /attr get USER, /join CH, /leave CH, /say CH TEXT, /members CH, "
        "/call PEER, /cancel, /accept, /refuse, /wait, /quit");
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    if (line == "/quit") break;
    if (line == "/wait") {
      if (!handler.WaitForResults()) out.Line("* some results did not come");
      if (!channels.waits.Wait()) out.Line("* some channel results did not come");
      if (!call_handler.WaitForCalls()) out.Line("* some calls did not end");
    } else if (line.rfind("/sleep ", 0) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(line.c_str() + 7)));
    } else if (line == "/msg" || line.rfind("/msg ", 0) == 0) {
      if (line.size() < 5 || !SendLine(service, &handler, &out, line.substr(5))) {
        out.Line("* usage: /msg PEER TEXT");
      }
    } else if (line.rfind("/status", 0) == 0 || line.rfind("/sub", 0) == 0 ||
               line.rfind("/unsub", 0) == 0 || line.rfind("/attr", 0) == 0) {
      if (!RequestLine(service, &handler, line)) {
        out.Line(
            "* usage: /status PEER..., /sub PEER..., /unsub PEER..., /attr set K=V..., "
            "/attr get USER");
      }
    } else if (!ChannelLine(service, &channels, &out, line) &&
               !CallLine(calls, &call_handler, &out, &last_call, line)) {
      out.Line("* unknown command: " + line);
    }
  }
  handler.WaitForResults();
  channels.waits.Wait();
  return finish(handler.failures() + channels.waits.failures() == 0 ? 0 : 3);
}
