// The operators (an owner's to manage) and the action log.
#include <nlohmann/json.hpp>

#include "console/web/answers.h"
#include "console/web/web_server.h"

namespace zalvo::console {
namespace {

using nlohmann::json;

// Done, saying what changed; or refused.
HttpResponse Done(const ActionOutcome& outcome) {
  return outcome.ok() ? Reply(200, json{{"ok", true}, {"done", outcome.done}})
                      : Refuse(*outcome.refusal);
}

}  // namespace

WebServer::Answered WebServer::Operators(const Call&) {
  json operators = json::array();
  for (const auto& o : console_.Operators()) {
    operators.push_back(json{{"name", o.name}, {"role", RoleName(o.role)}});
  }
  return Reply(200, json{{"operators", operators}});
}

// {"name", "password"?, "role"?} adds or changes an operator; {"name",
// "remove": true} removes one. A password is hashed on the acts' threads
// (Argon2id takes a while and 64 MiB), never the server's.
WebServer::Answered WebServer::ChangeOperator(const Call& call) {
  std::optional<Refusal> refused;
  auto body = BodyObject(call.request, {"name", "password", "role", "remove"}, refused);
  if (!body) {
    return Refuse(*refused);
  }
  auto& b = *body;
  if (!b.contains("name") || !b["name"].is_string() || b["name"].get<std::string>().empty() ||
      b["name"].get<std::string>().size() > kMaxOperatorName) {
    return Refuse(BadRequest("'name' must be an operator's name of 1 to " +
                             std::to_string(kMaxOperatorName) + " bytes"));
  }
  std::string name = b["name"];
  if (b.contains("remove")) {
    if (b["remove"] != true) {
      return Refuse(BadRequest("'remove' must be true"));
    }
    return Done(console_.RemoveOperator(call.login->operator_name, name));
  }
  std::optional<Role> role;
  if (b.contains("role")) {
    role = b["role"].is_string() ? RoleFromName(b["role"].get<std::string>()) : std::nullopt;
    if (!role) {
      return Refuse(BadRequest("'role' must be owner or operator"));
    }
  }
  std::string password;
  if (b.contains("password")) {
    if (!b["password"].is_string() ||
        Utf8Length(b["password"].get<std::string>()) < kMinPasswordLength) {
      return Refuse(BadRequest("a password has at least " + std::to_string(kMinPasswordLength) +
                               " characters"));
    }
    password = b["password"];
  }
  actors_.Submit([this, by = call.login->operator_name, name, password, role, reply = call.reply] {
    HttpResponse response;
    try {
      response = Done(
          console_.SetOperator(by, name, password.empty() ? "" : HashPassword(password), role));
    } catch (const std::exception& e) {
      response = Refuse(RefusalKind::kFailed, e.what());
    }
    Answer(reply, std::move(response));
  });
  return std::nullopt;
}

// The action log of the days asked for, of one operator ("operator") or all,
// newest first, at most 1000 lines.
WebServer::Answered WebServer::ActionLog(const Call& call) {
  const HttpRequest& request = call.request;
  auto days = Days(request);
  if (!days) {
    return Refuse(BadRequest(kBadDays));
  }
  constexpr size_t kMostLines = 1000;
  json actions = json::array();
  for (const auto& a : console_.ActionsBetween(
           days->begin, days->end, request.Param("operator").value_or(""), kMostLines)) {
    actions.push_back(json{{"at", a.at},
                           {"operator", a.by},
                           {"station", a.station},
                           {"action", a.action},
                           {"detail", a.detail},
                           {"outcome", a.outcome.empty() ? json("done") : json(a.outcome)}});
  }
  return Reply(200, json{{"from", days->from}, {"to", days->to}, {"actions", actions}});
}

}  // namespace zalvo::console
