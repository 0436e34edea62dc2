// Requests that change something, carried out once per id: a double click, a
// resend after a lost answer or a reload of the page repeats the id, and the
// repeat gets the first request's answer instead of a second sale.
#include <atomic>
#include <nlohmann/json.hpp>

#include "console/web/answers.h"
#include "console/web/web_server.h"

namespace zalvo::console {
namespace {

using nlohmann::json;

constexpr size_t kMaxRequestId = 64;

bool IsRequestId(const std::string& id) {
  return !id.empty() && id.size() <= kMaxRequestId &&
         id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
             std::string::npos;
}

Refusal OtherContent(const std::string& id) {
  return Conflict("the request id '" + id +
                  "' was sent before with other content: not carried out (send a new id)");
}

}  // namespace

// Keeps the answer in the record and sends it to the request and to the
// repeats that came meanwhile. Dropped unsent (the console stopping before
// the request's turn), it says so to the record, so that a resend learns
// that nothing was done.
class WebServer::OnceReply : public HttpReply {
 public:
  OnceReply(WebServer& server, std::string operator_name, std::string id,
            std::shared_ptr<HttpReply> first)
      : server_(server),
        operator_name_(std::move(operator_name)),
        id_(std::move(id)),
        first_(std::move(first)) {}

  ~OnceReply() override {
    if (!sent_.exchange(true)) {
      server_.FinishOnce(operator_name_, id_,
                         Refuse(RefusalKind::kUnavailable,
                                "the console stopped before carrying the request out: nothing "
                                "was done"),
                         first_);
    }
  }
  OnceReply(const OnceReply&) = delete;
  OnceReply& operator=(const OnceReply&) = delete;

  void Send(HttpResponse response) override {
    if (!sent_.exchange(true)) {
      server_.FinishOnce(operator_name_, id_, std::move(response), first_);
    }
  }

 private:
  WebServer& server_;
  std::string operator_name_;
  std::string id_;
  std::shared_ptr<HttpReply> first_;
  std::atomic<bool> sent_{false};
};

WebServer::Answered WebServer::Once(const Call& call, Handler handler) {
  json body = json::parse(call.request.body, nullptr, false);
  if (!body.is_object() || !body.contains("request")) {
    return (this->*handler)(call);  // no id: not protected from repeats
  }
  if (!body["request"].is_string() || !IsRequestId(body["request"].get<std::string>())) {
    return Refuse(BadRequest("'request' must be an id of 1 to " + std::to_string(kMaxRequestId) +
                             " letters, digits, '-' or '_'"));
  }
  std::string id = body["request"];
  body.erase("request");
  HttpRequest request = call.request;
  request.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
  // What is asked: the path and the body without the id (its keys in
  // order, so the same request is the same text). A password is named by a
  // hash under this run's key: the record keeps no fast hash of it (after a
  // restart, a repeat of such a request is refused as other content).
  json named = body;
  if (named.contains("password") && named["password"].is_string()) {
    named["password"] = KeyedHash(password_key_, named["password"].get<std::string>());
  }
  std::string fingerprint =
      TokenHash(request.path + "\n" + named.dump(-1, ' ', false, json::error_handler_t::replace));
  const std::string& by = call.login->operator_name;
  {
    std::lock_guard lock(requests_mutex_);
    auto running = in_flight_.find({by, id});
    if (running != in_flight_.end()) {
      if (running->second.fingerprint != fingerprint) {
        return Refuse(OtherContent(id));
      }
      running->second.repeats.push_back(call.reply);
      return std::nullopt;
    }
    if (auto known = console_.FindRequest(by, id)) {
      if (known->fingerprint != fingerprint) {
        return Refuse(OtherContent(id));
      }
      if (!known->status) {
        return Refuse(Conflict(
            "the console stopped while carrying this request out: see the room and the log for "
            "what was done"));
      }
      return Text(*known->status, known->answer, "application/json");
    }
    console_.ClaimRequest(by, id, fingerprint);
    in_flight_[{by, id}].fingerprint = fingerprint;
  }
  std::shared_ptr<HttpReply> reply = std::make_shared<OnceReply>(*this, by, id, call.reply);
  Call once{request, reply, call.login, call.role};
  Answered answered;
  try {
    answered = (this->*handler)(once);
  } catch (const Refused& e) {
    answered = Refuse(e.refusal());
  } catch (const std::exception& e) {
    answered = Refuse(RefusalKind::kFailed, e.what());
  }
  if (answered) {
    Answer(reply, std::move(*answered));
  }
  return std::nullopt;
}

void WebServer::FinishOnce(const std::string& operator_name, const std::string& id,
                           HttpResponse response, const std::shared_ptr<HttpReply>& first) {
  try {
    console_.AnswerRequest(operator_name, id, response.status, response.body);
  } catch (const std::exception&) {
    // The answer still goes out; a repeat later finds the id without one
    // and is told to look at the room and the log.
  }
  std::vector<std::shared_ptr<HttpReply>> repeats;
  {
    std::lock_guard lock(requests_mutex_);
    auto running = in_flight_.find({operator_name, id});
    if (running != in_flight_.end()) {
      repeats = std::move(running->second.repeats);
      in_flight_.erase(running);
    }
  }
  for (const auto& repeat : repeats) {
    repeat->Send(response);
  }
  first->Send(std::move(response));
}

}  // namespace zalvo::console
