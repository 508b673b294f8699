#include "local_service/envelope.h"

#include "local_service/json_util.h"

namespace local_service {

bool ParseEnvelope(std::string_view payload, Envelope* env, std::string* error) {
  rapidjson::Document doc;
  if (!ParseJsonObject(payload, &doc, error)) return false;
  *env = Envelope();
  for (const auto& m : doc.GetObject())
    env->keys.emplace_back(m.name.GetString(), m.name.GetStringLength());
  auto cmd = GetString(doc, "Cmd");
  if (!cmd || cmd->empty()) {
    *error = "no \"Cmd\" string";
    return false;
  }
  env->cmd = *cmd;
  auto encrypt = GetBool(doc, "Encrypt");
  if (!encrypt) {
    *error = "no boolean \"Encrypt\"";
    return false;
  }
  env->encrypt = *encrypt;
  struct Field {
    const char* key;
    std::string* out;
    bool required;
  };
  const Field fields[] = {
      {"Content", &env->content, true},
      {"TimeStamp", &env->timestamp, env->encrypt},
      {"Nonce", &env->nonce, env->encrypt},
      {"Signature", &env->signature, env->encrypt},
  };
  for (const auto& f : fields) {
    auto it = doc.FindMember(f.key);
    if (it == doc.MemberEnd()) {
      if (f.required) {
        *error = std::string("no \"") + f.key + "\"";
        return false;
      }
      continue;
    }
    if (!it->value.IsString()) {
      *error = std::string("\"") + f.key + "\" is not a string";
      return false;
    }
    f.out->assign(it->value.GetString(), it->value.GetStringLength());
  }
  auto app = doc.FindMember("AppId");
  if (app != doc.MemberEnd()) {
    if (!app->value.IsString()) {
      *error = "\"AppId\" is not a string";
      return false;
    }
    env->has_app_id = true;
    env->app_id.assign(app->value.GetString(), app->value.GetStringLength());
  }
  return true;
}

std::string BuildPlainEnvelope(std::string_view cmd, std::string_view body) {
  JsonWriter w;
  w.BeginObject().Str("Cmd", cmd).Flag("Encrypt", false).Str("Content", body).EndObject();
  return w.Take();
}

std::string BuildEncryptedEnvelope(const MsgCrypt& crypt, std::string_view cmd,
                                   std::string_view body, std::string_view timestamp,
                                   std::string_view nonce, const EnvelopeFaults& faults,
                                   const std::string* login_app_id) {
  std::string signature;
  std::string content;
  if (!body.empty()) crypt.Encrypt(body, timestamp, nonce, &signature, &content, faults.cipher);
  if (faults.corrupt_signature && !signature.empty())
    signature[0] = signature[0] == '0' ? '1' : '0';
  if (faults.bad_base64 && !content.empty()) content[content.size() / 2] = '*';
  JsonWriter w;
  w.BeginObject().Str("Cmd", cmd);
  if (login_app_id) w.Str("AppId", *login_app_id);
  w.Flag("Encrypt", true)
      .Str("TimeStamp", timestamp)
      .Str("Nonce", nonce)
      .Str("Signature", signature)
      .Str("Content", content)
      .EndObject();
  return w.Take();
}

}  // namespace local_service
