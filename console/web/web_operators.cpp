// The operators (an owner's to manage) and the action log.
#include <nlohmann/json.hpp>

#include "console/web/answers.h"
#include "console/web/web_server.h"
#include "text/text.h"

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
  if (!b.contains("name") || !b["name"].is_string()) {
    return Refuse(BadRequest("'name' must be an operator's name"));
  }
  if (auto problem = NameProblem(b["name"].get<std::string>())) {
    return Refuse(BadRequest("the operator's name: " + *problem));
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

// The action log of the days asked for, newest first, a page at a time
// ("limit" lines, 200 unless asked, at most 1000; "before" the cursor the
// previous page answered as "next"), filtered on the server by "operator",
// "station" (an address) and "kind" (the action), so that every line can be
// found however many others came at the same time. With the kinds of action
// of those days, for the page's filter.
WebServer::Answered WebServer::ActionLog(const Call& call) {
  const HttpRequest& request = call.request;
  auto days = Days(request);
  if (!days) {
    return Refuse(BadRequest(kBadDays));
  }
  ActionQuery query;
  query.from = days->begin;
  query.to = days->end;
  query.by = request.Param("operator").value_or("");
  query.station = request.Param("station").value_or("");
  query.action = request.Param("kind").value_or("");
  if (auto limit = request.Param("limit")) {
    auto most = text::ParseInt32(*limit);
    if (!most || *most < 1 || *most > 1000) {
      return Refuse(BadRequest("'limit' must be a number of lines from 1 to 1000"));
    }
    query.most = static_cast<size_t>(*most);
  }
  if (auto before = request.Param("before"); before && !before->empty()) {
    // "AT.ID": the last line of the page before.
    size_t dot = before->find('.');
    char* end = nullptr;
    query.before_at = std::strtoll(before->c_str(), &end, 10);
    query.before_id =
        dot == std::string::npos ? 0 : std::strtoll(before->c_str() + dot + 1, &end, 10);
    if (dot == std::string::npos || query.before_id < 1 || *end != '\0') {
      return Refuse(BadRequest("'before' must be the 'next' of the page before"));
    }
  }
  // One line more than asked tells whether there is a next page.
  ++query.most;
  auto lines = console_.Actions(query);
  json next = nullptr;
  if (lines.size() == query.most) {
    lines.pop_back();
    next = std::to_string(lines.back().at) + "." + std::to_string(lines.back().id);
  }
  json actions = json::array();
  for (const auto& a : lines) {
    const ActionRow* row = FindAction(a.action);
    std::string done = row ? std::string(row->done) : std::string("done");
    actions.push_back(json{{"at", a.at},
                           {"operator", a.by},
                           {"station", a.station},
                           {"action", a.action},
                           {"detail", a.detail},
                           {"outcome", a.outcome.empty() ? done : a.outcome},
                           {"done", a.outcome.empty()}});
  }
  return Reply(200, json{{"from", days->from},
                         {"to", days->to},
                         {"actions", actions},
                         {"next", next},
                         {"kinds", console_.ActionKinds(days->begin, days->end)}});
}

}  // namespace zalvo::console
