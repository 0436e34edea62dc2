#include "console/web/answers.h"

namespace zalvo::console {

using nlohmann::json;

void SetHeader(HttpResponse& response, std::string name, std::string value) {
  response.headers.emplace_back(std::move(name), std::move(value));
}

HttpResponse Text(int status, std::string body, const char* type) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  SetHeader(response, "Content-Type", type);
  SetHeader(response, "Cache-Control", "no-store");
  return response;
}

HttpResponse Reply(int status, const json& body) {
  return Text(status, body.dump(-1, ' ', false, json::error_handler_t::replace),
              "application/json");
}

int StatusOf(RefusalKind kind) {
  switch (kind) {
    case RefusalKind::kBadRequest:
      return 400;
    case RefusalKind::kNotLoggedIn:
      return 401;
    case RefusalKind::kNotAllowed:
      return 403;
    case RefusalKind::kNotFound:
      return 404;
    case RefusalKind::kWrongMethod:
      return 405;
    case RefusalKind::kConflict:
      return 409;
    case RefusalKind::kTooMany:
      return 429;
    case RefusalKind::kFailed:
      return 500;
    case RefusalKind::kUnavailable:
      return 503;
  }
  return 500;
}

const char* KindName(RefusalKind kind) {
  switch (kind) {
    case RefusalKind::kBadRequest:
      return "bad_request";
    case RefusalKind::kNotLoggedIn:
      return "not_logged_in";
    case RefusalKind::kNotAllowed:
      return "not_allowed";
    case RefusalKind::kNotFound:
      return "not_found";
    case RefusalKind::kWrongMethod:
      return "wrong_method";
    case RefusalKind::kConflict:
      return "conflict";
    case RefusalKind::kTooMany:
      return "too_many";
    case RefusalKind::kFailed:
      return "failed";
    case RefusalKind::kUnavailable:
      return "unavailable";
  }
  return "failed";
}

HttpResponse Refuse(const Refusal& refusal) {
  return Reply(StatusOf(refusal.kind),
               json{{"error", refusal.text}, {"kind", KindName(refusal.kind)}});
}

HttpResponse Refuse(RefusalKind kind, const std::string& text) {
  return Refuse(Refusal{kind, text});
}

void Answer(const std::shared_ptr<HttpReply>& reply, HttpResponse response) {
  SetHeader(response, "X-Content-Type-Options", "nosniff");
  SetHeader(response, "X-Frame-Options", "DENY");
  SetHeader(response, "Referrer-Policy", "no-referrer");
  reply->Send(std::move(response));
}

HttpResponse OutcomesAnswer(const std::vector<ActionOutcome>& outcomes) {
  json results = json::array();
  const Refusal* first = nullptr;
  for (const auto& o : outcomes) {
    json result{{"station", o.address}, {"ok", o.ok()}};
    if (o.refusal) {
      first = first ? first : &*o.refusal;
      result["error"] = o.refusal->text;
      result["kind"] = KindName(o.refusal->kind);
    }
    if (o.refund_offer) {
      result["refund_offer"] = {{"minutes", o.refund_offer->minutes},
                                {"amount", o.refund_offer->amount}};
    }
    if (o.can_queue) {
      result["can_queue"] = true;
    }
    if (o.pending) {
      result["pending"] = true;
    }
    if (o.ok() && !o.done.empty()) {
      result["done"] = o.done;
    }
    if (o.sold) {
      result["sold"] = {{"id", o.sold->id},
                        {"minutes", o.sold->minutes},
                        {"price", o.sold->price},
                        {"kind", SaleKindName(o.sold->kind)},
                        {"tariff", o.sold->tariff},
                        {"member", o.sold->member_id ? json(*o.sold->member_id) : json(nullptr)}};
    }
    if (o.refunded) {
      result["refunded"] = {
          {"amount", o.refunded->amount},
          {"paid", o.refunded->paid},
          {"member", o.refunded->member_id ? json(*o.refunded->member_id) : json(nullptr)}};
    }
    if (!o.changed.empty()) {
      result["changed"] = o.changed;
    }
    results.push_back(std::move(result));
  }
  return Reply(first ? StatusOf(first->kind) : 200, json{{"results", std::move(results)}});
}

std::optional<json> BodyObject(const HttpRequest& request, const std::vector<std::string>& allowed,
                               std::optional<Refusal>& refused) {
  json body = json::parse(request.body, nullptr, false);
  if (body.is_discarded()) {
    refused = BadRequest("the body is not JSON");
    return std::nullopt;
  }
  if (!body.is_object()) {
    refused = BadRequest("the body must be a JSON object");
    return std::nullopt;
  }
  for (const auto& item : body.items()) {
    if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end()) {
      refused = BadRequest("unknown field '" + item.key() + "'");
      return std::nullopt;
    }
  }
  return body;
}

const json* JsonFields::Field(std::string_view name) const {
  auto it = body_.find(name);
  return it == body_.end() ? nullptr : &*it;
}

bool JsonFields::Has(std::string_view name) const {
  return Field(name) != nullptr;
}

std::optional<int64_t> JsonFields::Integer(std::string_view name) const {
  const json* field = Field(name);
  if (!field || !field->is_number_integer()) {
    return std::nullopt;
  }
  return field->get<int64_t>();
}

std::optional<std::string> JsonFields::Text(std::string_view name) const {
  const json* field = Field(name);
  if (!field || !field->is_string()) {
    return std::nullopt;
  }
  return field->get<std::string>();
}

std::optional<bool> JsonFields::Flag(std::string_view name) const {
  const json* field = Field(name);
  if (!field || !field->is_boolean()) {
    return std::nullopt;
  }
  return field->get<bool>();
}

bool JsonFields::IsNull(std::string_view name) const {
  const json* field = Field(name);
  return field && field->is_null();
}

std::optional<std::vector<std::string>> JsonFields::Texts(std::string_view name) const {
  const json* field = Field(name);
  if (!field || !field->is_array()) {
    return std::nullopt;
  }
  std::vector<std::string> texts;
  for (const auto& item : *field) {
    if (!item.is_string()) {
      return std::nullopt;
    }
    texts.push_back(item.get<std::string>());
  }
  return texts;
}

std::optional<std::vector<int64_t>> JsonFields::Integers(std::string_view name) const {
  const json* field = Field(name);
  if (!field || !field->is_array()) {
    return std::nullopt;
  }
  std::vector<int64_t> integers;
  for (const auto& item : *field) {
    if (!item.is_number_integer()) {
      return std::nullopt;
    }
    integers.push_back(item.get<int64_t>());
  }
  return integers;
}

}  // namespace zalvo::console
