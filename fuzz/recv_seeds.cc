// Writes the seed corpus of recv_fuzz: received traffic as the library itself frames and
// encrypts it, one file per command of the routing table and a few streams of several packets,
// so that the fuzzer starts inside the decryption, signature and app id checks.
//   recv_seeds DIR
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "core/command_router.h"
#include "core/envelope.h"
#include "core/js_buffer.h"
#include "core/sync_msg_crypt.h"

namespace {

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";
constexpr int64_t kTimestamp = 1733500000000;

// A body with the keys each command is read for.
std::string BodyOf(const std::string& cmd) {
  static const std::map<std::string, std::string> bodies = {
      {"Login", R"({"Code":0})"},
      {"Logout", R"({"Code":0})"},
      {"AcsTokenWillExpire", ""},
      {"AcsTokenDidExpire", ""},
      {"ForceOffline", ""},
      {"CheckNetStatusAck", ""},
      {"RecvMsgFromPeer", R"({"MsgId":1733500000001,"FromUId":"bob","MsgType":1,"MsgBody":"hello",)"
                          R"("SvrTS":1733500000000})"},
      {"QueryOnlineStatus", R"({"MsgId":7,"Status":[{"UserId":"bob","Online":true}]})"},
      {"PeerOnlineStatus", R"({"Status":[{"UserId":"bob","Online":1}]})"},
      {"QueryOnlineSubStatus", R"({"MsgId":7,"Status":[{"UserId":"bob"}]})"},
      {"JoinChannel", R"({"ChanId":"c1","Code":0})"},
      {"RecvMsgFromChan",
       R"({"ChanId":"c1","MsgId":9,"FromUId":"bob","MsgType":1,"MsgBody":"hi","SvrTS":1})"},
      {"ChanMemberJoin", R"({"ChanId":"c1","ChanMemSize":2,"UserId":"bob"})"},
      {"ChanMemberLeave", R"({"ChanId":"c1","ChanMemSize":1,"UserId":"bob"})"},
      {"LeaveChannel", R"({"ChanId":"c1","Code":0})"},
      {"SendChannelMsg", R"({"Code":0,"ChanId":"c1","MsgId":9})"},
      {"AddOrUpdateUserAttributes", R"({"MsgId":5,"SetLocal":true})"},
      {"QueryAttrib", R"({"MsgId":5,"QueryUserId":"bob","Attribs":"{\"k\":\"v\"}"})"},
      {"QueryAttribKeys", R"({"MsgId":5,"QueryUserId":"bob","Attribs":"{\"k\":\"\"}"})"},
      {"MakeCall", R"({"CallId":"call1","FromUId":"bob","ToUId":"alice","Content":"x"})"},
      {"CallStatus", R"({"CallId":"call1","Status":1})"},
      {"CancelCall", R"({"CallId":"call1","FromUId":"bob","ToUId":"alice","Reason":"r"})"},
      {"AcceptCall", R"({"CallId":"call1","FromUId":"bob","ToUId":"alice","Response":"ok"})"},
      {"RejectCall", R"({"CallId":"call1","FromUId":"bob","ToUId":"alice","Response":"no"})"},
      {"AddOrUpdateChanAttributes", R"({"MsgId":5,"SetChan":true})"},
      {"GetChanAttributes",
       R"({"MsgId":5,"Attributes":"[{\"Key\":\"k\",\"Val\":\"v\",\"UId\":\"bob\",\"Time\":1}]"})"},
      {"GetChanMemberSize", R"({"MsgId":5,"ChanMemSize":[{"ChanId":"c1","MemSize":3}]})"},
      {"GetChanMembers", R"({"Code":0,"ChanId":"c1","Members":["a","b"]})"},
      {"ChanAttribChanged",
       R"({"ChanId":"c1","Attributes":[{"Key":"k","Val":"v","UId":"bob","Time":1}]})"},
      {"MemSizeChanged", R"({"ChanId":"c1","MemSize":3})"},
      {"MsgStatus", R"({"MsgId":1733500000001,"Status":1})"},
  };
  auto it = bodies.find(cmd);
  if (it != bodies.end()) return it->second;
  // Acks and the rest answer a request by its id or call id.
  return R"({"Code":0,"MsgId":1,"CallId":"call1","ChanId":"c1"})";
}

class Framer : public vy::JSBuffer {
 public:
  explicit Framer(bool hash) : JSBuffer(hash) {}
  void OnRecvMessage(const char*, int) override {}
};

std::string Packet(const std::string& cmd, const std::string& body,
                   const zentho::SyncMsgCrypt* crypt, bool hash = true) {
  std::string envelope;
  vy::BuildEnvelope(cmd, body, crypt, nullptr, kTimestamp, &envelope);
  Framer framer(hash);
  char header[vy::JSBuffer::kHashHeaderSize];
  int n = framer.WritePktLength(header, static_cast<int>(envelope.size()));
  return n < 0 ? std::string() : std::string(header, static_cast<size_t>(n)) + envelope;
}

bool Write(const std::string& dir, const std::string& name, char chunk, const std::string& bytes) {
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out << chunk << bytes;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: recv_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, kAppId);
  bool ok = true;
  int index = 0;
  for (const char* name : vy::CommandRouter::kCommandNames) {
    // The chunk byte varies, so the seeds also arrive split in different places.
    char chunk = static_cast<char>((index++ * 53) % 256);
    ok &= Write(dir, std::string("enc-") + name, chunk, Packet(name, BodyOf(name), &crypt));
  }
  std::string stream = Packet("Login", BodyOf("Login"), &crypt) +
                       Packet("RecvMsgFromPeer", BodyOf("RecvMsgFromPeer"), &crypt) +
                       Packet("MsgStatus", BodyOf("MsgStatus"), &crypt);
  ok &= Write(dir, "stream-enc-three", static_cast<char>(255), stream);
  ok &= Write(dir, "stream-enc-three-bytewise", 0, stream);
  ok &= Write(dir, "stream-plain-login", 3,
              Packet("Login", BodyOf("Login"), nullptr) +
                  Packet("QueryOnlineStatus", BodyOf("QueryOnlineStatus"), nullptr));
  ok &= Write(dir, "stream-dollar", 1,
              Packet("RecvMsgFromPeer", BodyOf("RecvMsgFromPeer"), &crypt, false) +
                  Packet("KeepAlive", "", &crypt, false));
  ok &= Write(dir, "stream-garbage-between", 2,
              "xyz" + Packet("MsgStatus", BodyOf("MsgStatus"), &crypt) + "zz" +
                  Packet("GetChanMembers", BodyOf("GetChanMembers"), &crypt));
  if (!ok) {
    std::fprintf(stderr, "recv_seeds: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
