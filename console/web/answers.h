// How the web side answers: JSON bodies, the headers every answer carries,
// refusals with the HTTP status of their kind (the one place that maps
// them), and the request's JSON body read as the core's request fields.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "console/core/actions.h"
#include "console/core/refusal.h"
#include "console/web/http.h"

namespace zalvo::console {

inline constexpr const char* kStopping = "the console is stopping";
inline constexpr const char* kBadDays =
    "'day', or 'from' and 'to', must be dates YYYY-MM-DD, 'to' not before 'from', at most a "
    "year apart";

void SetHeader(HttpResponse& response, std::string name, std::string value);
HttpResponse Text(int status, std::string body, const char* type);
HttpResponse Reply(int status, const nlohmann::json& body);

// The status of a refusal's kind, and its name in answers.
int StatusOf(RefusalKind kind);
const char* KindName(RefusalKind kind);
// {"error": text, "kind": name} with the kind's status.
HttpResponse Refuse(const Refusal& refusal);
HttpResponse Refuse(RefusalKind kind, const std::string& text);

// Sends the answer with the headers every answer carries.
void Answer(const std::shared_ptr<HttpReply>& reply, HttpResponse response);

// The outcomes of an action or a change on stations: {"results": [...]},
// 200 when all were done, else the status of the first refusal.
HttpResponse OutcomesAnswer(const std::vector<ActionOutcome>& outcomes);

// The body as a JSON object whose keys are all among the allowed ones; else
// the refusal to answer.
std::optional<nlohmann::json> BodyObject(const HttpRequest& request,
                                         const std::vector<std::string>& allowed,
                                         std::optional<Refusal>& refused);

// A JSON object as the core's request fields.
class JsonFields : public RequestFields {
 public:
  explicit JsonFields(const nlohmann::json& body) : body_(body) {}
  bool Has(std::string_view name) const override;
  std::optional<int64_t> Integer(std::string_view name) const override;
  std::optional<std::string> Text(std::string_view name) const override;
  std::optional<bool> Flag(std::string_view name) const override;
  bool IsNull(std::string_view name) const override;
  std::optional<std::vector<std::string>> Texts(std::string_view name) const override;
  std::optional<std::vector<int64_t>> Integers(std::string_view name) const override;

 private:
  const nlohmann::json* Field(std::string_view name) const;
  const nlohmann::json& body_;
};

}  // namespace zalvo::console
