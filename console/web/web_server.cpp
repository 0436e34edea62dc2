#include "console/web/web_server.h"

#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "console/core/session_export.h"
#include "console/core/wire.h"
#include "console/web/page.h"

namespace zalvo::console {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The operator's log-in: a session held by a random token.
constexpr const char* kLoginCookie = "zalvo_session";
// A browser that logged in with a name before: its log-ins with that name skip
// the queue that guesses from elsewhere make.
constexpr const char* kDeviceCookie = "zalvo_device";
constexpr size_t kMaxDevices = 1024;
constexpr const char* kCsrfHeader = "x-zalvo-csrf";
constexpr size_t kMaxCaption = 254;
constexpr size_t kMaxStationsPerRequest = 1024;
constexpr size_t kMaxOperatorName = 64;

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

HttpResponse Fail(int status, const std::string& message) {
  return Reply(status, json{{"error", message}});
}

// Every answer goes out with these.
void Answer(const std::shared_ptr<HttpReply>& reply, HttpResponse response) {
  SetHeader(response, "X-Content-Type-Options", "nosniff");
  SetHeader(response, "X-Frame-Options", "DENY");
  SetHeader(response, "Referrer-Policy", "no-referrer");
  reply->Send(std::move(response));
}

const char* const kBadDays =
    "'day', or 'from' and 'to', must be dates YYYY-MM-DD, 'to' not before 'from', at most a "
    "year apart";

const char* const kOwnersOnly = "refused: only an owner may do that";

const char* const kNotFromThePage = "refused: the request did not come from the console's page";

const char* const kStopping = "the console is stopping";

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

// A state-changing request that another site's page could have sent: not
// JSON (a plain form can't send JSON without the browser asking first), or
// marked by the browser as coming from elsewhere. Origin, when present, is
// checked for every request against the console's own names.
bool CrossSite(const HttpRequest& request) {
  if (request.Header("content-type").rfind("application/json", 0) != 0) {
    return true;
  }
  std::string site = request.Header("sec-fetch-site");
  return !site.empty() && site != "same-origin" && site != "none";
}

// The body as a JSON object whose keys are all among the allowed ones; else
// the 400 to answer.
std::optional<json> BodyObject(const HttpRequest& request, const std::set<std::string>& allowed,
                               HttpResponse& error) {
  json body = json::parse(request.body, nullptr, false);
  if (body.is_discarded()) {
    error = Fail(400, "the body is not JSON");
    return std::nullopt;
  }
  if (!body.is_object()) {
    error = Fail(400, "the body must be a JSON object");
    return std::nullopt;
  }
  for (const auto& item : body.items()) {
    if (allowed.count(item.key()) == 0) {
      error = Fail(400, "unknown field '" + item.key() + "'");
      return std::nullopt;
    }
  }
  return body;
}

std::optional<int32_t> IntField(const json& body, const char* key, int32_t low, int32_t high) {
  if (!body.contains(key) || !body[key].is_number_integer()) {
    return std::nullopt;
  }
  auto value = body[key].get<int64_t>();
  if (value < low || value > high) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

json SaleJson(const SaleRecord& sale) {
  return json{{"at", sale.at},
              {"by", sale.by},
              {"minutes", sale.minutes},
              {"price", sale.price},
              {"tariff", sale.tariff},
              {"per_hour", sale.per_hour},
              {"shift", sale.shift_id ? json(*sale.shift_id) : json(nullptr)}};
}

json SessionJson(const SessionRecord& s) {
  json sales = json::array();
  for (const auto& sale : s.sales) {
    sales.push_back(SaleJson(sale));
  }
  auto price = SessionPrice(s);
  json refund = nullptr;
  if (s.refund) {
    refund = json{{"at", s.refund->at},
                  {"by", s.refund->by},
                  {"minutes", s.refund->minutes},
                  {"amount", s.refund->amount},
                  {"paid", s.refund->paid}};
  }
  return json{{"id", s.id},
              {"used_minutes", s.ended ? json(UsedMinutes(s)) : json(nullptr)},
              {"price", price ? json(*price) : json(nullptr)},
              {"sales", std::move(sales)},
              {"refund", std::move(refund)},
              {"station", s.station},
              {"address", s.address},
              {"started_at", s.started},
              {"ends_at", s.ends},
              {"minutes", s.minutes},
              {"started_by", s.started_by},
              {"ended_at", s.ended ? json(*s.ended) : json(nullptr)},
              {"ended_by", s.ended ? json(s.ended_by) : json(nullptr)}};
}

json StationJson(const Station& station, bool online, Connection connection, Millis now) {
  json j{{"address", station.address},
         {"name", station.name},
         {"column", station.column},
         {"row", station.row},
         {"configured", station.configured},
         {"unknown", station.unknown},
         {"online", online},
         {"connection", ConnectionName(connection)},
         {"last_heard_ms", station.last_heard < 0 ? json(nullptr) : json(now - station.last_heard)},
         {"foreground", station.foreground ? json(*station.foreground) : json(nullptr)},
         {"free_mb", station.free_mb ? json(*station.free_mb) : json(nullptr)}};
  switch (OccupancyOf(station, now)) {
    case Occupancy::kFree:
      j["state"] = "free";
      break;
    case Occupancy::kRented:
      j["state"] = "rented";
      break;
    case Occupancy::kOverrun:
      j["state"] = "overrun";
      break;
  }
  if (station.session) {
    j["session"] = json{{"started_at", station.session->started},
                        {"ends_at", station.session->ends},
                        {"minutes", station.session->minutes},
                        {"started_by", station.session->started_by},
                        {"seconds_left", RemainingSeconds(*station.session, now)}};
  } else {
    j["session"] = nullptr;
  }
  return j;
}

HttpResponse Page(std::string_view content, const char* type) {
  HttpResponse response = Text(200, std::string(content), type);
  SetHeader(response, "Content-Security-Policy",
            "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  return response;
}

json Outcomes(const std::vector<ActionOutcome>& outcomes, bool& all_ok) {
  json results = json::array();
  all_ok = true;
  for (const auto& o : outcomes) {
    all_ok = all_ok && o.ok;
    json result = o.ok ? json{{"station", o.address}, {"ok", true}}
                       : json{{"station", o.address}, {"ok", false}, {"error", o.error}};
    if (o.refund_offer) {
      result["refund_offer"] = {{"minutes", o.refund_offer->minutes},
                                {"amount", o.refund_offer->amount}};
    }
    if (o.can_force) {
      result["can_force"] = true;
    }
    results.push_back(std::move(result));
  }
  return results;
}

json ShiftJson(const ShiftReport& report) {
  const auto& s = report.shift;
  const auto& t = report.totals;
  return json{{"id", s.id},
              {"opened_at", s.opened},
              {"opened_by", s.opened_by},
              {"closed_at", s.closed ? json(*s.closed) : json(nullptr)},
              {"closed_by", s.closed ? json(s.closed_by) : json(nullptr)},
              {"opening", t.opening},
              {"sales", t.sales},
              {"sales_count", report.sales},
              {"refunds", t.refunds},
              {"refunds_count", report.refunds},
              {"expected", t.expected},
              {"counted", t.counted ? json(*t.counted) : json(nullptr)},
              {"difference", t.difference ? json(*t.difference) : json(nullptr)}};
}

// An amount field, given as text in the currency's major unit ("12.50").
std::optional<Money> MoneyField(const json& body, const char* key) {
  if (!body.contains(key) || !body[key].is_string()) {
    return std::nullopt;
  }
  return ParseMoney(body[key].get<std::string>());
}

// The body's "stations": a list of texts, at most kMaxStationsPerRequest
// (and not empty unless allowed); nullopt for anything else.
std::optional<std::vector<std::string>> StationsField(const json& body, bool may_be_empty = false) {
  if (!body.contains("stations") || !body["stations"].is_array() ||
      (body["stations"].empty() && !may_be_empty) ||
      body["stations"].size() > kMaxStationsPerRequest) {
    return std::nullopt;
  }
  std::vector<std::string> stations;
  for (const auto& address : body["stations"]) {
    if (!address.is_string()) {
      return std::nullopt;
    }
    stations.push_back(address.get<std::string>());
  }
  return stations;
}

const char* const kBadStations = "'stations' must be a list of station addresses";

std::optional<int64_t> IdField(const json& body, const char* key) {
  if (!body.contains(key) || !body[key].is_number_integer() || body[key].get<int64_t>() < 1) {
    return std::nullopt;
  }
  return body[key].get<int64_t>();
}

}  // namespace

WebServer::Checkers::Checkers(int count) {
  for (int i = 0; i < count; ++i) {
    threads_.emplace_back([this] {
      for (;;) {
        std::function<void()> job;
        {
          std::unique_lock lock(mutex_);
          ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
          if (stopping_) {
            return;
          }
          job = std::move(jobs_.front());
          jobs_.pop_front();
        }
        job();
      }
    });
  }
}

WebServer::Checkers::~Checkers() {
  Stop();
}

void WebServer::Checkers::Submit(std::function<void()> job, bool first) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      return;
    }
    if (first) {
      jobs_.push_front(std::move(job));
    } else {
      jobs_.push_back(std::move(job));
    }
  }
  ready_.notify_one();
}

void WebServer::Checkers::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  ready_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

WebServer::WebServer(WebConsole& console, WebOptions options)
    : console_(console),
      options_(std::move(options)),
      epoch_(RandomHex(8)),
      gate_(options_.login_limits),
      checkers_(options_.password_checkers),
      actors_(options_.actors) {
  HttpServerOptions http = options_.http;
  http.max_body = kMaxRequestBody;
  http.tls_certificate_file = options_.tls_certificate_file;
  http.tls_key_file = options_.tls_key_file;
  http_ = std::make_unique<HttpServer>(
      http, [this](HttpRequest request, std::shared_ptr<HttpReply> reply) {
        Handle(std::move(request), reply);
      });
  // The console calls this with its lock held: the polls are answered on
  // the server's threads, once for a burst of changes.
  console_.SetChangeListener([this] {
    if (!answer_pending_.exchange(true)) {
      http_->After(std::chrono::milliseconds(0), [this] { AnswerPolls(false); });
    }
  });
}

WebServer::~WebServer() {
  Stop();
}

int WebServer::Bind(const std::string& host, int port) {
  int bound = http_->Bind(host, port);
  hosts_.emplace(host, bound, !options_.tls_certificate_file.empty(), options_.allowed_names);
  return bound;
}

void WebServer::Serve() {
  http_->Run();
}

void WebServer::Stop() {
  // The waiting pages learn at once that the console goes (they ask again
  // until it is back); the HTTP server then writes these answers, closes
  // every connection and ends.
  std::vector<Poll> waiting;
  {
    std::lock_guard lock(polls_mutex_);
    stopping_ = true;
    waiting.swap(polls_);
  }
  for (auto& poll : waiting) {
    Answer(poll.reply, Fail(503, kStopping));
  }
  waiting.clear();
  http_->Stop();
  checkers_.Stop();
  actors_.Stop();
}

void WebServer::Handle(HttpRequest request, const std::shared_ptr<HttpReply>& reply) {
  HttpResponse response;
  bool answered_later = false;
  // A page of another site whose name was made to point here (DNS
  // rebinding) sends its own name in Host, and Origin where it has one.
  if (!hosts_ || request.HeaderCount("host") != 1 || !hosts_->Host(request.Header("host")) ||
      (request.HeaderCount("origin") != 0 && !hosts_->Origin(request.Header("origin")))) {
    response = Fail(403, "refused: the console is not reached by that name");
  } else {
    try {
      response = Route(request, reply, answered_later);
    } catch (const std::exception& e) {
      response = Fail(500, e.what());
    }
  }
  if (!answered_later) {
    Answer(reply, std::move(response));
  }
}

HttpResponse WebServer::Route(const HttpRequest& request, const std::shared_ptr<HttpReply>& reply,
                              bool& answered_later) {
  const std::string& path = request.path;
  bool get = request.method == "GET";
  bool post = request.method == "POST";
  if (path == "/" || path == "/app.js" || path == "/till.js" || path == "/admin.js" ||
      path == "/app.css") {
    if (!get) {
      return Fail(405, "use GET");
    }
    return path == "/"           ? Page(kPageHtml, "text/html; charset=utf-8")
           : path == "/app.js"   ? Page(kPageScript, "text/javascript; charset=utf-8")
           : path == "/till.js"  ? Page(kPageTillScript, "text/javascript; charset=utf-8")
           : path == "/admin.js" ? Page(kPageAdminScript, "text/javascript; charset=utf-8")
                                 : Page(kPageStyle, "text/css; charset=utf-8");
  }
  static const std::set<std::string> kGets = {
      "/api/me",   "/api/room",   "/api/windows",    "/api/sessions",  "/api/sessions.csv",
      "/api/till", "/api/shifts", "/api/shifts.csv", "/api/operators", "/api/actions"};
  static const std::set<std::string> kPosts = {
      "/api/login",       "/api/logout", "/api/act",         "/api/station",
      "/api/till/change", "/api/shift",  "/api/end-preview", "/api/operators/change"};
  // An owner's alone: the operators, the till's set-up and the exports.
  static const std::set<std::string> kOwners = {"/api/operators", "/api/operators/change",
                                                "/api/till/change", "/api/sessions.csv",
                                                "/api/shifts.csv"};
  if (kGets.count(path) == 0 && kPosts.count(path) == 0) {
    return Fail(404, "not found");
  }
  if ((kGets.count(path) != 0 && !get) || (kPosts.count(path) != 0 && !post)) {
    return Fail(405, kGets.count(path) != 0 ? "use GET" : "use POST");
  }
  if (path == "/api/login") {
    if (CrossSite(request)) {
      return Fail(403, kNotFromThePage);
    }
    answered_later = true;
    LogIn(request, reply);
    return {};
  }
  Role role = Role::kOperator;
  auto login = Who(request, role);
  if (!login) {
    return Fail(401, "log in first");
  }
  if (post && (CrossSite(request) || request.Header(kCsrfHeader) != login->csrf)) {
    return Fail(403, kNotFromThePage);
  }
  if (kOwners.count(path) != 0 && role != Role::kOwner) {
    return Fail(403, kOwnersOnly);
  }
  if (path == "/api/logout") {
    std::string token = CookieValue(request, kLoginCookie);
    operator_sessions_.Close(token);
    console_.DeleteLogin(TokenHash(token));
    HttpResponse response = Reply(200, json{{"ok", true}});
    SetHeader(response, "Set-Cookie",
              std::string(kLoginCookie) + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0" +
                  (request.tls ? "; Secure" : ""));
    return response;
  }
  if (path == "/api/me") {
    return Reply(200, json{
                          {"operator", login->operator_name},
                          {"csrf", login->csrf},
                          {"role", RoleName(role)},
                      });
  }
  if (path == "/api/operators") {
    json operators = json::array();
    for (const auto& o : console_.Operators()) {
      operators.push_back(json{{"name", o.name}, {"role", RoleName(o.role)}});
    }
    return Reply(200, json{{"operators", operators}});
  }
  if (path == "/api/operators/change") {
    return ChangeOperator(request, *login, reply, answered_later);
  }
  if (path == "/api/actions") {
    return ActionLog(request);
  }
  if (path == "/api/room") {
    auto after = request.Param("after");
    if (!after) {
      return RoomResponse();
    }
    uint64_t version = std::strtoull(after->c_str(), nullptr, 10);
    auto epoch = request.Param("epoch");
    if (epoch && *epoch != epoch_) {
      version = 0;
    }
    answered_later = true;
    WaitForRoom(version, reply);
    return {};
  }
  if (path == "/api/windows") {
    std::string address = request.Param("station").value_or("");
    RoomSnapshot snapshot = console_.Snapshot();
    for (const auto& station : snapshot.stations) {
      if (station.address == address) {
        return Reply(
            200, json{{"station", station.address},
                      {"windows", station.windows},
                      {"at", station.windows_at < 0 ? json(nullptr) : json(station.windows_at)}});
      }
    }
    return Fail(404, "no station at '" + address + "'");
  }
  if (path == "/api/act") {
    return Act(request, *login, role, reply, answered_later);
  }
  if (path == "/api/station") {
    return ChangeStation(request, *login);
  }
  if (path == "/api/till") {
    return TillResponse();
  }
  if (path == "/api/till/change") {
    return ChangeTill(request, *login);
  }
  if (path == "/api/shift") {
    return Shift(request, *login);
  }
  if (path == "/api/end-preview") {
    return PreviewEnd(request);
  }
  if (path == "/api/shifts" || path == "/api/shifts.csv") {
    return ShiftsOfDays(request, path == "/api/shifts.csv");
  }
  return SessionsOfDay(request, path == "/api/sessions.csv");
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

void WebServer::LogIn(const HttpRequest& request, const std::shared_ptr<HttpReply>& reply) {
  HttpResponse error;
  auto body = BodyObject(request, {"name", "password"}, error);
  if (body && (!(*body)["name"].is_string() || !(*body)["password"].is_string())) {
    error = Fail(400, "'name' and 'password' must be texts");
    body.reset();
  }
  if (body && (*body)["name"].get<std::string>().size() > kMaxOperatorName) {
    error = Fail(400, "the name is too long");
    body.reset();
  }
  if (!body) {
    Answer(reply, error);
    return;
  }
  std::string name = (*body)["name"];
  std::string password = (*body)["password"];
  std::string device = CookieValue(request, kDeviceCookie);
  bool known = false;
  {
    std::lock_guard lock(devices_mutex_);
    auto it = devices_.find(device);
    known = it != devices_.end() && it->second == name;
  }
  auto now = Clock::now();
  auto admission = gate_.Begin(request.remote_address, name, now, known);
  if (!admission.admitted) {
    HttpResponse refused = Fail(admission.status, admission.reason);
    SetHeader(refused, "Retry-After", std::to_string(admission.retry_after.count()));
    Answer(reply, std::move(refused));
    return;
  }
  auto check = [this, client = request.remote_address, name, password, tls = request.tls, known,
                reply] {
    checkers_.Submit([this, client, name, password, tls, known,
                      reply] { CheckPassword(client, name, password, tls, known, reply); },
                     known);
  };
  if (admission.check_at > now) {
    http_->After(std::chrono::ceil<std::chrono::milliseconds>(admission.check_at - now), check);
  } else {
    check();
  }
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
    Answer(reply, Fail(500, e.what()));
    return;
  }
  gate_.Finish(client, name, right, Clock::now());
  try {
    console_.RecordAction(name, right ? "login" : "login failed", "from " + client);
  } catch (const std::exception&) {
    // The log-in itself does not depend on its line in the record.
  }
  if (!right) {
    Answer(reply, Fail(401, "wrong name or password"));
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
  HttpResponse response =
      Reply(200, json{{"operator", name}, {"csrf", login->csrf}, {"role", RoleName(role)}});
  SetHeader(response, "Set-Cookie",
            std::string(kLoginCookie) + "=" + token + "; HttpOnly; SameSite=Strict; Path=/" +
                (tls ? "; Secure" : ""));
  if (!known_device) {
    std::string device = RandomHex(16);
    {
      std::lock_guard lock(devices_mutex_);
      if (devices_.size() >= kMaxDevices) {
        devices_.erase(devices_.begin());
      }
      devices_[device] = name;
    }
    SetHeader(response, "Set-Cookie",
              std::string(kDeviceCookie) + "=" + device +
                  "; HttpOnly; SameSite=Strict; Path=/api/login; Max-Age=31536000" +
                  (tls ? "; Secure" : ""));
  }
  Answer(reply, std::move(response));
}

void WebServer::WaitForRoom(uint64_t after, const std::shared_ptr<HttpReply>& reply) {
  {
    // The version is read under the polls' lock, as AnswerPolls does, so
    // that a change can't slip between the check and the wait.
    std::lock_guard lock(polls_mutex_);
    if (stopping_) {
      Answer(reply, Fail(503, kStopping));
      return;
    }
    if (console_.Version() == after) {
      polls_.push_back(Poll{after, reply, Clock::now() + options_.long_poll});
      http_->After(options_.long_poll, [this] { AnswerPolls(true); });
      return;
    }
  }
  Answer(reply, RoomResponse(after));
}

void WebServer::AnswerPolls(bool expired_only) {
  if (!expired_only) {
    answer_pending_ = false;
  }
  std::vector<Poll> due;
  {
    std::lock_guard lock(polls_mutex_);
    uint64_t version = console_.Version();
    auto now = Clock::now();
    auto split = std::partition(polls_.begin(), polls_.end(), [&](const Poll& poll) {
      return poll.after == version && poll.until > now;
    });
    due.assign(std::make_move_iterator(split), std::make_move_iterator(polls_.end()));
    polls_.erase(split, polls_.end());
  }
  // The pages that wait are mostly at the same version: one answer each.
  std::map<uint64_t, HttpResponse> answers;
  for (auto& poll : due) {
    auto it = answers.find(poll.after);
    if (it == answers.end()) {
      it = answers.emplace(poll.after, RoomResponse(poll.after)).first;
    }
    Answer(poll.reply, it->second);
  }
}

HttpResponse WebServer::RoomResponse(uint64_t after) {
  return Text(200, RoomAnswer(console_.Snapshot(after), epoch_), "application/json");
}

std::string RoomAnswer(const RoomSnapshot& snapshot, const std::string& epoch) {
  json stations = json::array();
  for (size_t i = 0; i < snapshot.stations.size(); ++i) {
    stations.push_back(StationJson(snapshot.stations[i], snapshot.online[i], snapshot.connection[i],
                                   snapshot.now));
  }
  const auto& c = snapshot.counters;
  return json{{"version", snapshot.version},
              {"epoch", epoch},
              {"full", snapshot.full},
              {"now", snapshot.now},
              {"keepalive_ms", snapshot.keepalive_ms},
              {"stations", std::move(stations)},
              {"removed", snapshot.removed},
              {"lost_count", snapshot.lost_count},
              {"counters",
               {{"datagrams", c.datagrams},
                {"reports", c.reports},
                {"stations_added", c.stations_added},
                {"unknown_sender", c.unknown_sender},
                {"garbage", c.garbage},
                {"failed_receives", c.failed_receives},
                {"refused", c.refused},
                {"over_limit", c.over_limit}}}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

HttpResponse WebServer::Act(const HttpRequest& request, const OperatorSession& login, Role role,
                            const std::shared_ptr<HttpReply>& reply, bool& answered_later) {
  HttpResponse error;
  auto body = BodyObject(
      request,
      {"action", "stations", "minutes", "volume", "caption", "confirm", "refund", "anyway", "text"},
      error);
  if (!body) {
    return error;
  }
  ActionRequest action;
  auto& b = *body;
  auto kind = b.contains("action") && b["action"].is_string()
                  ? ActionFromName(b["action"].get<std::string>())
                  : std::nullopt;
  if (!kind) {
    return Fail(400,
                "'action' must be one of start, add, end, info, windows, kill, volume, "
                "monitor_off, monitor_on, reboot, shutdown, power_on, message");
  }
  action.kind = *kind;
  if (b.contains("anyway")) {
    if (!b["anyway"].is_boolean() ||
        (action.kind != ActionKind::kStart && action.kind != ActionKind::kAdd)) {
      return Fail(400, "\"anyway\": true or false, only with start or add");
    }
    action.anyway = b["anyway"];
  }
  auto stations = StationsField(b);
  if (!stations) {
    return Fail(400, kBadStations);
  }
  for (const auto& address : *stations) {
    if (!console_.HasStation(address)) {
      return Fail(404, "no station at '" + address + "'");
    }
  }
  action.stations = std::move(*stations);
  switch (action.kind) {
    case ActionKind::kStart:
    case ActionKind::kAdd: {
      auto minutes = IntField(b, "minutes", 1, kMaxSessionMinutes);
      if (!minutes) {
        return Fail(400, "'minutes' must be a whole number from 1 to " +
                             std::to_string(kMaxSessionMinutes));
      }
      action.minutes = *minutes;
      break;
    }
    case ActionKind::kVolume: {
      auto volume = IntField(b, "volume", 0, 100);
      if (!volume) {
        return Fail(400, "'volume' must be a whole number from 0 to 100");
      }
      action.volume = *volume;
      break;
    }
    case ActionKind::kKill:
      if (!b.contains("caption") || !b["caption"].is_string() ||
          b["caption"].get<std::string>().empty() ||
          b["caption"].get<std::string>().size() > kMaxCaption * 2) {
        return Fail(400, "'caption' must be a window caption");
      }
      action.caption = b["caption"];
      break;
    case ActionKind::kEnd:
      if (b.contains("refund")) {
        if (!b["refund"].is_boolean()) {
          return Fail(400, "'refund' must be true (pay it out) or false (keep it)");
        }
        action.refund = b["refund"].get<bool>();
      }
      break;
    case ActionKind::kMessage: {
      action.text = b.contains("text") && b["text"].is_string() ? b["text"].get<std::string>() : "";
      if (std::string problem = wire::MessageProblem(action.text); !problem.empty()) {
        return Fail(400, problem);
      }
      break;
    }
    case ActionKind::kReboot:
    case ActionKind::kShutdown:
      if (action.kind == ActionKind::kShutdown && role != Role::kOwner) {
        return Fail(403, kOwnersOnly);
      }
      if (!b.contains("confirm") || b["confirm"] != true) {
        return Fail(400, "restarting or shutting down needs \"confirm\": true");
      }
      break;
    default:
      break;
  }
  // A start or an added time waits for the stations' answers (up to the
  // probe's time): the acts run on threads of their own, never the server's.
  answered_later = true;
  actors_.Submit([this, operator_name = login.operator_name, action, reply] {
    HttpResponse response;
    try {
      bool all_ok = true;
      json results = Outcomes(console_.Act(operator_name, action), all_ok);
      response = Reply(all_ok ? 200 : 409, json{{"results", results}});
    } catch (const std::exception& e) {
      response = Fail(500, e.what());
    }
    Answer(reply, std::move(response));
  });
  return {};
}

// Adopting a station shown as unknown, or removing one that joined the room
// by reporting ("confirm": true, as the page asks first).
HttpResponse WebServer::ChangeStation(const HttpRequest& request, const OperatorSession& login) {
  HttpResponse error;
  auto body = BodyObject(request, {"action", "station", "confirm"}, error);
  if (!body) {
    return error;
  }
  auto& b = *body;
  std::string action = b.contains("action") && b["action"].is_string() ? b["action"] : "";
  if (action != "adopt" && action != "remove") {
    return Fail(400, "'action' must be adopt or remove");
  }
  if (!b.contains("station") || !b["station"].is_string()) {
    return Fail(400, "'station' must be a station's address");
  }
  std::string address = b["station"];
  if (!console_.HasStation(address)) {
    return Fail(404, "no station at '" + address + "'");
  }
  if (action == "remove" && (!b.contains("confirm") || b["confirm"] != true)) {
    return Fail(400, "removing a station needs \"confirm\": true");
  }
  ActionOutcome outcome = action == "adopt" ? console_.Adopt(login.operator_name, address)
                                            : console_.Remove(login.operator_name, address);
  bool ok = true;
  json results = Outcomes({outcome}, ok);
  return Reply(ok ? 200 : 409, json{{"results", results}});
}

// The days a request asks for: "day", or "from" and "to" (both included),
// else today; nullopt for a day that is not a date or a range backwards or
// longer than a year.
std::optional<DayRange> WebServer::Days(const HttpRequest& request) {
  std::string today = LocalDay(console_.Snapshot().now);
  std::string from = request.Param("from").value_or(request.Param("day").value_or(today));
  std::string to = request.Param("to").value_or(request.Param("day").value_or(from));
  auto first = LocalDayBounds(from);
  auto last = LocalDayBounds(to);
  if (!first || !last || last->second <= first->first ||
      last->second - first->first > Millis{367} * 24 * 3600 * 1000) {
    return std::nullopt;
  }
  return DayRange{from, to, first->first, last->second};
}

HttpResponse WebServer::SessionsOfDay(const HttpRequest& request, bool csv) {
  auto days = Days(request);
  if (!days) {
    return Fail(400, kBadDays);
  }
  auto records = console_.SessionsBetween(days->begin, days->end);
  std::string currency = console_.Till().setup.currency;
  if (csv) {
    HttpResponse response = Text(200, SessionsCsv(records, currency), "text/csv; charset=utf-8");
    SetHeader(response, "Content-Disposition",
              "attachment; filename=\"sessions-" + days->Label() + ".csv\"");
    return response;
  }
  json sessions = json::array();
  for (const auto& record : records) {
    sessions.push_back(SessionJson(record));
  }
  return Reply(200, json{{"day", days->from},
                         {"from", days->from},
                         {"to", days->to},
                         {"currency", currency},
                         {"sessions", sessions}});
}

HttpResponse WebServer::ShiftsOfDays(const HttpRequest& request, bool csv) {
  auto days = Days(request);
  if (!days) {
    return Fail(400, kBadDays);
  }
  auto reports = console_.ShiftsBetween(days->begin, days->end);
  std::string currency = console_.Till().setup.currency;
  if (csv) {
    HttpResponse response = Text(200, ShiftsCsv(reports, currency), "text/csv; charset=utf-8");
    SetHeader(response, "Content-Disposition",
              "attachment; filename=\"shifts-" + days->Label() + ".csv\"");
    return response;
  }
  json shifts = json::array();
  for (const auto& report : reports) {
    shifts.push_back(ShiftJson(report));
  }
  return Reply(
      200,
      json{{"from", days->from}, {"to", days->to}, {"currency", currency}, {"shifts", shifts}});
}

HttpResponse WebServer::TillResponse() {
  TillView till = console_.Till();
  json tariffs = json::array();
  for (const auto& t : till.setup.tariffs) {
    tariffs.push_back(
        json{{"id", t.id}, {"name", t.name}, {"per_hour", t.per_hour}, {"minimum", t.minimum}});
  }
  json groups = json::array();
  for (const auto& g : till.setup.groups) {
    groups.push_back(json{{"id", g.id}, {"name", g.name}, {"tariff", g.tariff_id}});
  }
  json members = json::object();
  for (const auto& [address, group] : till.setup.members) {
    members[address] = group;
  }
  json macs = json::object();
  for (const auto& [address, mac] : till.macs) {
    macs[address] = mac;
  }
  json prices = json::object();
  for (const auto& [address, price] : till.session_prices) {
    prices[address] = price;
  }
  return Reply(200, json{{"currency", till.setup.currency},
                         {"tariffs", std::move(tariffs)},
                         {"groups", std::move(groups)},
                         {"members", std::move(members)},
                         {"macs", std::move(macs)},
                         {"shift", till.shift ? ShiftJson(*till.shift) : json(nullptr)},
                         {"session_prices", std::move(prices)}});
}

// A change of the till's set-up: {"change": "currency", "currency": "BGN"},
// {"change": "tariff", ["id": N,] "name", "per_hour": "3.00", "minimum":
// "1.00"}, {"change": "delete_tariff", "id"}, {"change": "group", ["id",]
// "name", "tariff": N}, {"change": "delete_group", "id"}, {"change":
// "assign", "stations": [...], "group": N or null}, {"change": "mac",
// "station", "mac": "00:1a:..." or null}, {"change": "macs_from_neighbours"}.
HttpResponse WebServer::ChangeTill(const HttpRequest& request, const OperatorSession& login) {
  HttpResponse error;
  auto body = BodyObject(request,
                         {"change", "currency", "id", "name", "per_hour", "minimum", "tariff",
                          "stations", "group", "station", "mac"},
                         error);
  if (!body) {
    return error;
  }
  auto& b = *body;
  std::string kind = b.contains("change") && b["change"].is_string() ? b["change"] : "";
  TillChange change;
  auto text = [&](const char* key) {
    return b.contains(key) && b[key].is_string() ? b[key].get<std::string>() : std::string();
  };
  if (kind == "currency") {
    change.kind = TillChange::Kind::kCurrency;
    change.currency = text("currency");
  } else if (kind == "tariff") {
    change.kind = TillChange::Kind::kTariff;
    change.tariff.id = b.contains("id") ? IdField(b, "id").value_or(-1) : 0;
    change.tariff.name = text("name");
    auto per_hour = MoneyField(b, "per_hour");
    auto minimum = b.contains("minimum") ? MoneyField(b, "minimum") : std::optional<Money>(0);
    if (change.tariff.id < 0 || !per_hour || !minimum) {
      return Fail(400,
                  "a tariff needs 'name', 'per_hour' and 'minimum' as amounts such as "
                  "\"3.50\" (at most " +
                      MoneyText(kMaxHourPrice) + ")");
    }
    change.tariff.per_hour = *per_hour;
    change.tariff.minimum = *minimum;
  } else if (kind == "delete_tariff" || kind == "delete_group") {
    auto id = IdField(b, "id");
    if (!id) {
      return Fail(400, "'id' must name what to remove");
    }
    change.kind =
        kind == "delete_tariff" ? TillChange::Kind::kDeleteTariff : TillChange::Kind::kDeleteGroup;
    change.tariff.id = *id;
    change.group.id = *id;
  } else if (kind == "group") {
    change.kind = TillChange::Kind::kGroup;
    change.group.id = b.contains("id") ? IdField(b, "id").value_or(-1) : 0;
    change.group.name = text("name");
    change.group.tariff_id = IdField(b, "tariff").value_or(0);
    if (change.group.id < 0) {
      return Fail(400, "'id' must name the group to change");
    }
  } else if (kind == "assign") {
    change.kind = TillChange::Kind::kAssign;
    auto stations = StationsField(b);
    if (!stations) {
      return Fail(400, kBadStations);
    }
    change.stations = std::move(*stations);
    if (!b.contains("group") || (!b["group"].is_null() && !IdField(b, "group"))) {
      return Fail(400, "'group' must be a group's id, or null for none");
    }
    if (!b["group"].is_null()) {
      change.group_id = IdField(b, "group");
    }
  } else if (kind == "mac") {
    change.kind = TillChange::Kind::kMac;
    if (!b.contains("station") || !b["station"].is_string() ||
        !(b.contains("mac") && (b["mac"].is_string() || b["mac"].is_null()))) {
      return Fail(400, "'station' and 'mac' (a MAC address, or null for none) are needed");
    }
    change.stations.push_back(b["station"].get<std::string>());
    change.mac = b["mac"].is_null() ? "" : b["mac"].get<std::string>();
  } else if (kind == "macs_from_neighbours") {
    change.kind = TillChange::Kind::kMacsFromNeighbours;
  } else {
    return Fail(400,
                "'change' must be one of currency, tariff, delete_tariff, group, delete_group, "
                "assign, mac, macs_from_neighbours");
  }
  ActionOutcome outcome = console_.ChangeTill(login.operator_name, change);
  if (!outcome.ok) {
    return Fail(409, outcome.error);
  }
  return TillResponse();
}

// {"shift": "open", "cash": "100.00"} or {"shift": "close", "counted": "..."}.
HttpResponse WebServer::Shift(const HttpRequest& request, const OperatorSession& login) {
  HttpResponse error;
  auto body = BodyObject(request, {"shift", "cash", "counted"}, error);
  if (!body) {
    return error;
  }
  auto& b = *body;
  std::string kind = b.contains("shift") && b["shift"].is_string() ? b["shift"] : "";
  if (kind != "open" && kind != "close") {
    return Fail(400, "'shift' must be open or close");
  }
  auto amount = MoneyField(b, kind == "open" ? "cash" : "counted");
  if (!amount) {
    return Fail(400, std::string(kind == "open" ? "'cash'" : "'counted'") +
                         " must be the cash in the drawer, an amount such as \"120.50\"");
  }
  std::optional<ShiftReport> report;
  ActionOutcome outcome = kind == "open"
                              ? console_.OpenShift(login.operator_name, *amount)
                              : console_.CloseShift(login.operator_name, *amount, report);
  if (!outcome.ok) {
    return Fail(409, outcome.error);
  }
  if (report) {
    return Reply(200, json{{"shift", ShiftJson(*report)}});
  }
  return TillResponse();
}

HttpResponse WebServer::PreviewEnd(const HttpRequest& request) {
  HttpResponse error;
  auto body = BodyObject(request, {"stations"}, error);
  if (!body) {
    return error;
  }
  auto& b = *body;
  auto addresses = StationsField(b, true);
  if (!addresses) {
    return Fail(400, kBadStations);
  }
  json previews = json::array();
  for (const auto& p : console_.PreviewEnd(*addresses)) {
    previews.push_back(json{{"station", p.address},
                            {"rented", p.rented},
                            {"unused_minutes", p.unused_minutes},
                            {"refund_minutes", p.offer.minutes},
                            {"refund", p.offer.amount}});
  }
  return Reply(200, json{{"stations", previews}});
}

// {"name", "password"?, "role"?} adds or changes an operator; {"name",
// "remove": true} removes one. A password is hashed on the acts' threads
// (Argon2id takes a while and 64 MiB), never the server's.
HttpResponse WebServer::ChangeOperator(const HttpRequest& request, const OperatorSession& login,
                                       const std::shared_ptr<HttpReply>& reply,
                                       bool& answered_later) {
  HttpResponse error;
  auto body = BodyObject(request, {"name", "password", "role", "remove"}, error);
  if (!body) {
    return error;
  }
  auto& b = *body;
  if (!b.contains("name") || !b["name"].is_string() || b["name"].get<std::string>().empty() ||
      b["name"].get<std::string>().size() > kMaxOperatorName) {
    return Fail(400, "'name' must be an operator's name of 1 to " +
                         std::to_string(kMaxOperatorName) + " bytes");
  }
  std::string name = b["name"];
  if (b.contains("remove")) {
    if (b["remove"] != true) {
      return Fail(400, "'remove' must be true");
    }
    ActionOutcome outcome = console_.RemoveOperator(login.operator_name, name);
    return outcome.ok ? Reply(200, json{{"ok", true}}) : Fail(409, outcome.error);
  }
  std::optional<Role> role;
  if (b.contains("role")) {
    role = b["role"].is_string() ? RoleFromName(b["role"].get<std::string>()) : std::nullopt;
    if (!role) {
      return Fail(400, "'role' must be owner or operator");
    }
  }
  std::string password;
  if (b.contains("password")) {
    if (!b["password"].is_string() ||
        Utf8Length(b["password"].get<std::string>()) < kMinPasswordLength) {
      return Fail(400,
                  "a password has at least " + std::to_string(kMinPasswordLength) + " characters");
    }
    password = b["password"];
  }
  answered_later = true;
  actors_.Submit([this, by = login.operator_name, name, password, role, reply] {
    HttpResponse response;
    try {
      ActionOutcome outcome =
          console_.SetOperator(by, name, password.empty() ? "" : HashPassword(password), role);
      response = outcome.ok ? Reply(200, json{{"ok", true}}) : Fail(409, outcome.error);
    } catch (const std::exception& e) {
      response = Fail(500, e.what());
    }
    Answer(reply, std::move(response));
  });
  return {};
}

// The action log of the days asked for, of one operator ("operator") or all,
// newest first, at most 1000 lines.
HttpResponse WebServer::ActionLog(const HttpRequest& request) {
  auto days = Days(request);
  if (!days) {
    return Fail(400, kBadDays);
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
