// The log-in: the gate, the password's check, the cookie, and who a request
// comes from; and what the page learns at the log-in.
#include <nlohmann/json.hpp>

#include "console/web/answers.h"
#include "console/web/web_server.h"

namespace zalvo::console {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The operator's log-in: a session held by a random token.
constexpr const char* kLoginCookie = "zalvo_session";
// A browser that logged in with a name before: its log-ins with that name skip
// the queue that guesses from elsewhere make. The record keeps the hash of
// its mark (as of a log-in's token), so that it outlives a restart; a new
// password of the operator forgets it.
constexpr const char* kDeviceCookie = "zalvo_device";

std::string CookieValue(const HttpRequest& request, const char* name) {
  std::string cookies = request.Header("cookie");
  std::string prefix = std::string(name) + "=";
  size_t pos = 0;
  while (pos < cookies.size()) {
    size_t end = cookies.find(';', pos);
    if (end == std::string::npos) {
      end = cookies.size();
    }
    std::string part = cookies.substr(pos, end - pos);
    size_t first = part.find_first_not_of(' ');
    if (first != std::string::npos && part.compare(first, prefix.size(), prefix) == 0) {
      return part.substr(first + prefix.size());
    }
    pos = end + 1;
  }
  return "";
}

// Who is logged in, and what the page takes from the console's tables: the
// actions (their names, who may, the fields each takes, the first of which
// the page fills from its input, whether it is confirmed and the word for
// its outcome) and the
// longest session.
json MeJson(const std::string& name, const std::string& csrf, Role role) {
  json actions = json::array();
  for (const auto& row : ActionRows()) {
    json fields = json::array();
    for (auto field : row.fields) {
      if (!field.empty()) {
        fields.push_back(field);
      }
    }
    actions.push_back(json{{"name", row.name},
                           {"role", RoleName(row.role)},
                           {"field", row.fields[0]},
                           {"fields", std::move(fields)},
                           {"confirm", row.confirm},
                           {"done", row.done}});
  }
  return json{{"operator", name},
              {"csrf", csrf},
              {"role", RoleName(role)},
              {"actions", std::move(actions)},
              {"max_minutes", kMaxSessionMinutes}};
}

}  // namespace

WebServer::Answered WebServer::Me(const Call& call) {
  return Reply(200, MeJson(call.login->operator_name, call.login->csrf, call.role));
}

WebServer::Answered WebServer::LogOut(const Call& call) {
  std::string token = CookieValue(call.request, kLoginCookie);
  operator_sessions_.Close(token);
  console_.DeleteLogin(TokenHash(token));
  HttpResponse response = Reply(200, json{{"ok", true}});
  SetHeader(response, "Set-Cookie",
            std::string(kLoginCookie) + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0" +
                (call.request.tls ? "; Secure" : ""));
  return response;
}

std::optional<OperatorSession> WebServer::Who(const HttpRequest& request, Role& role) {
  std::string token = CookieValue(request, kLoginCookie);
  if (token.empty()) {
    return std::nullopt;
  }
  auto now = Clock::now();
  auto login = operator_sessions_.Find(token, now);
  if (!login) {
    // A log-in from before a restart comes back from the record, with the
    // age and idle time it had.
    auto kept = console_.FindLogin(TokenHash(token));
    if (!kept) {
      return std::nullopt;
    }
    Millis wall = console_.Now();
    if (!operator_sessions_.Restore(
            token, OperatorSession{kept->operator_name, kept->csrf, kept->credential},
            std::chrono::milliseconds(wall - kept->opened),
            std::chrono::milliseconds(wall - kept->last_used), now)) {
      console_.DeleteLogin(TokenHash(token));
      return std::nullopt;
    }
    login = operator_sessions_.Find(token, now);
    if (!login) {
      return std::nullopt;
    }
  }
  // A new password, or the operator removed, ends the sessions opened with
  // the old one.
  auto person = console_.Operator(login->operator_name);
  if (!person || person->hash != login->credential) {
    operator_sessions_.Close(token);
    console_.DeleteLogin(TokenHash(token));
    return std::nullopt;
  }
  if (login->touch_record) {
    console_.TouchLogin(TokenHash(token));
  }
  role = person->role;
  return login;
}

WebServer::Answered WebServer::LogIn(const Call& call) {
  const HttpRequest& request = call.request;
  const std::shared_ptr<HttpReply>& reply = call.reply;
  std::optional<Refusal> refused;
  auto body = BodyObject(request, {"name", "password"}, refused);
  if (!body) {
    return Refuse(*refused);
  }
  if (!(*body)["name"].is_string() || !(*body)["password"].is_string()) {
    return Refuse(BadRequest("'name' and 'password' must be texts"));
  }
  if ((*body)["name"].get<std::string>().size() > kMaxName) {
    return Refuse(BadRequest("the name is too long"));
  }
  std::string name = (*body)["name"];
  std::string password = (*body)["password"];
  std::string device = CookieValue(request, kDeviceCookie);
  bool known = false;
  try {
    known = !device.empty() && console_.KnownDevice(TokenHash(device), name);
  } catch (const RecordError&) {
    // Without the record the browser waits its turn like any other.
  }
  auto now = Clock::now();
  auto admission =
      gate_.Begin(request.remote_address, name, now, known || IsLoopback(request.remote_address));
  if (admission.refusal) {
    HttpResponse refusal = Refuse(*admission.refusal);
    SetHeader(refusal, "Retry-After", std::to_string(admission.retry_after.count()));
    return refusal;
  }
  bool first = known || IsLoopback(request.remote_address);
  auto check = [this, client = request.remote_address, name, password, tls = request.tls, known,
                first, reply] {
    checkers_.Submit([this, client, name, password, tls, known,
                      reply] { CheckPassword(client, name, password, tls, known, reply); },
                     first);
  };
  if (admission.check_at > now) {
    http_->After(std::chrono::ceil<std::chrono::milliseconds>(admission.check_at - now), check);
  } else {
    check();
  }
  return std::nullopt;
}

void WebServer::CheckPassword(const std::string& client, const std::string& name,
                              const std::string& password, bool tls, bool known_device,
                              const std::shared_ptr<HttpReply>& reply) {
  // A name that does not exist costs as much time as a wrong password.
  static const std::string kDummyHash = HashPassword(RandomHex(16));
  std::optional<std::string> hash;
  bool right = false;
  try {
    if (auto person = console_.Operator(name)) {
      hash = person->hash;
    }
    right = VerifyPassword(hash ? *hash : kDummyHash, password) && hash.has_value();
  } catch (const std::exception& e) {
    gate_.Finish(client, name, false, Clock::now());
    Answer(reply, Refuse(RefusalKind::kFailed, e.what()));
    return;
  }
  gate_.Finish(client, name, right, Clock::now());
  try {
    console_.RecordAction(name, right ? "login" : "login failed", "from " + client);
  } catch (const std::exception&) {
    // The log-in itself does not depend on its line in the record.
  }
  if (!right) {
    Answer(reply, Refuse(RefusalKind::kNotLoggedIn, "wrong name or password"));
    return;
  }
  std::string token = operator_sessions_.Open(name, *hash, Clock::now());
  auto login = operator_sessions_.Find(token, Clock::now());
  Role role = Role::kOperator;
  try {
    Millis now = console_.Now();
    console_.SaveLogin(LoginRecord{TokenHash(token), name, *hash, login->csrf, now, now});
    role = console_.Operator(name).value_or(OperatorRecord{}).role;
  } catch (const std::exception&) {
    // Without its copy in the record the log-in ends with a restart.
  }
  HttpResponse response = Reply(200, MeJson(name, login->csrf, role));
  SetHeader(response, "Set-Cookie",
            std::string(kLoginCookie) + "=" + token + "; HttpOnly; SameSite=Strict; Path=/" +
                (tls ? "; Secure" : ""));
  if (!known_device) {
    std::string device = RandomHex(16);
    try {
      console_.SaveDevice(TokenHash(device), name);
    } catch (const RecordError&) {
      // The browser is not known next time: it waits its turn.
    }
    SetHeader(response, "Set-Cookie",
              std::string(kDeviceCookie) + "=" + device +
                  "; HttpOnly; SameSite=Strict; Path=/api/login; Max-Age=31536000" +
                  (tls ? "; Secure" : ""));
  }
  Answer(reply, std::move(response));
}

}  // namespace zalvo::console
