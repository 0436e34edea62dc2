// The till on the page: its set-up and changes (read through the changes'
// table), the shifts, the refund an end would offer, and the reports of
// sessions and shifts with their CSV.
#include <nlohmann/json.hpp>

#include "console/core/session_export.h"
#include "console/core/shift_report.h"
#include "console/web/answers.h"
#include "console/web/web_server.h"

namespace zalvo::console {
namespace {

using nlohmann::json;

json LineJson(const ReportLine& line) {
  return json{{"name", line.name},
              {"count", line.count},
              {"minutes", line.minutes},
              {"amount", line.amount}};
}

json PartsJson(const std::vector<SalePart>& parts) {
  json list = json::array();
  for (const auto& part : parts) {
    list.push_back(json{{"minutes", part.minutes}, {"per_hour", part.per_hour}});
  }
  return list;
}

json Optional(const std::optional<int64_t>& value) {
  return value ? json(*value) : json(nullptr);
}

json SaleJson(const SaleRecord& sale) {
  return json{{"id", sale.id},
              {"parts", PartsJson(sale.parts)},
              {"refundable", sale.refundable},
              {"member", Optional(sale.member_id)},
              {"at", sale.at},
              {"by", sale.by},
              {"minutes", sale.minutes},
              {"price", sale.price},
              {"tariff", sale.tariff},
              {"per_hour", sale.per_hour},
              {"kind", SaleKindName(sale.kind)},
              {"reason", sale.reason},
              {"voided", sale.voided ? json(*sale.voided) : json(nullptr)},
              {"shift", sale.shift_id ? json(*sale.shift_id) : json(nullptr)}};
}

json LinesJson(const std::vector<ReportLine>& lines) {
  json list = json::array();
  for (const auto& line : lines) {
    list.push_back(LineJson(line));
  }
  return list;
}

json SessionJson(const SessionRecord& s) {
  json sales = json::array();
  for (const auto& sale : s.sales) {
    sales.push_back(SaleJson(sale));
  }
  json moves = json::array();
  for (const auto& m : s.moves) {
    moves.push_back(json{{"at", m.at},
                         {"by", m.by},
                         {"from", m.from_address},
                         {"from_station", m.from_station},
                         {"to", m.to_address},
                         {"to_station", m.to_station},
                         {"minutes", m.minutes}});
  }
  auto price = SessionPrice(s);
  json refund = nullptr;
  if (s.refund) {
    refund = json{{"member", Optional(s.refund->member_id)},
                  {"at", s.refund->at},
                  {"by", s.refund->by},
                  {"minutes", s.refund->minutes},
                  {"amount", s.refund->amount},
                  {"paid", s.refund->paid}};
  }
  return json{{"id", s.id},
              {"member", Optional(s.member_id)},
              {"used_minutes", s.ended ? json(UsedMinutes(s)) : json(nullptr)},
              {"price", price ? json(*price) : json(nullptr)},
              {"sales", std::move(sales)},
              {"moves", std::move(moves)},
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

json ShiftJson(const ShiftReport& report) {
  const auto& s = report.shift;
  const auto& t = report.totals;
  json voids = json::array();
  for (const auto& v : report.voids) {
    voids.push_back(json{{"id", v.id},
                         {"at", v.at},
                         {"by", v.by},
                         {"amount", v.amount},
                         {"reason", v.reason},
                         {"station", v.station},
                         {"sale", SaleJson(v.sale)}});
  }
  auto optional = [](const std::optional<Money>& amount) {
    return amount ? json(*amount) : json(nullptr);
  };
  return json{{"id", s.id},
              {"by_package", LinesJson(report.by_package)},
              {"balance_spent", LineJson(report.balance_spent)},
              {"balance_refunded", LineJson(report.balance_refunded)},
              {"top_ups", LineJson(report.top_ups)},
              {"payouts", LineJson(report.payouts)},
              {"takings", report.takings},
              {"voids", t.voids},
              {"voids_list", std::move(voids)},
              {"by_tariff", LinesJson(report.by_tariff)},
              {"by_operator", LinesJson(report.by_operator)},
              {"refunds_kept", LineJson(report.refunds_kept)},
              {"free_minutes", LineJson(report.free_minutes)},
              {"free_by_operator", LinesJson(report.free_by_operator)},
              {"last_shift", report.last_shift ? json(*report.last_shift) : json(nullptr)},
              {"last_counted", optional(report.last_counted)},
              {"opening_difference", optional(report.opening_difference)},
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

// An id in a query: digits, 1 or more.
std::optional<int64_t> IdParam(const std::string& text) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  int64_t id = std::stoll(text);
  return id >= 1 ? std::optional<int64_t>(id) : std::nullopt;
}

// An amount field, given as text in the currency's major unit ("12.50").
std::optional<Money> MoneyField(const json& body, const char* key) {
  if (!body.contains(key) || !body[key].is_string()) {
    return std::nullopt;
  }
  return ParseMoney(body[key].get<std::string>());
}

}  // namespace

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

HttpResponse WebServer::SessionsOfDays(const HttpRequest& request, bool csv) {
  auto days = Days(request);
  if (!days) {
    return Refuse(BadRequest(kBadDays));
  }
  auto records = console_.SessionsBetween(days->begin, days->end);
  std::string currency = console_.Till().setup.currency;
  if (csv) {
    HttpResponse response =
        Text(200, console::SessionsCsv(records, currency), "text/csv; charset=utf-8");
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
    return Refuse(BadRequest(kBadDays));
  }
  auto reports = console_.ShiftsBetween(days->begin, days->end);
  std::string currency = console_.Till().setup.currency;
  if (csv) {
    HttpResponse response =
        Text(200, console::ShiftsCsv(reports, currency), "text/csv; charset=utf-8");
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

WebServer::Answered WebServer::Sessions(const Call& call) {
  return SessionsOfDays(call.request, false);
}

WebServer::Answered WebServer::SessionsCsv(const Call& call) {
  return SessionsOfDays(call.request, true);
}

WebServer::Answered WebServer::Shifts(const Call& call) {
  return ShiftsOfDays(call.request, false);
}

WebServer::Answered WebServer::ShiftsCsv(const Call& call) {
  return ShiftsOfDays(call.request, true);
}

WebServer::Answered WebServer::Till(const Call&) {
  return TillResponse();
}

// What a sale costs now in each group and on each rented station (an add):
// asked for "minutes" or a "package", and optionally for a "member" (whose
// discount it gets). {"minutes", "package", "currency", "groups": [{"id",
// "name", "tariff", "price", "minutes", "why"}], "stations": {address:
// {"price", "minutes", "why"}}}; a price is null where it is not sold now,
// and "why" says why.
WebServer::Answered WebServer::Quote(const Call& call) {
  SaleQuestion question;
  auto id = [&](const char* name) { return IdParam(call.request.Param(name).value_or("")); };
  if (call.request.Param("package")) {
    auto package = id("package");
    if (!package || call.request.Param("minutes")) {
      return Refuse(BadRequest("'package' must be a package's id, without 'minutes'"));
    }
    question.package_id = *package;
  } else {
    auto minutes = ParseMinutes(call.request.Param("minutes").value_or(""));
    if (!minutes) {
      return Refuse(BadRequest("'minutes' must be a whole number from 1 to " +
                               std::to_string(kMaxSessionMinutes)));
    }
    question.minutes = *minutes;
  }
  if (call.request.Param("member")) {
    auto member = id("member");
    if (!member) {
      return Refuse(BadRequest("'member' must be a member's id"));
    }
    question.member_id = *member;
  }
  auto priced = [](const QuotedPrice& q) {
    return json{{"price", q.price ? json(*q.price) : json(nullptr)},
                {"minutes", q.price ? json(q.minutes) : json(nullptr)},
                {"why", q.why}};
  };
  PriceQuote quote = console_.QuoteSale(question);
  json groups = json::array();
  for (const auto& p : quote.groups) {
    json group = priced(p.quote);
    group["id"] = p.group.id;
    group["name"] = p.group.name;
    group["tariff"] = p.tariff;
    groups.push_back(std::move(group));
  }
  json stations = json::object();
  for (const auto& [address, q] : quote.stations) {
    stations[address] = priced(q);
  }
  return Reply(200,
               json{{"minutes", question.minutes ? json(question.minutes) : json(nullptr)},
                    {"package", question.package_id ? json(question.package_id) : json(nullptr)},
                    {"currency", console_.Till().setup.currency},
                    {"groups", std::move(groups)},
                    {"stations", std::move(stations)}});
}

namespace {

json MemberJson(const Member& m) {
  return json{{"id", m.id},
              {"name", m.name},
              {"card", m.card},
              {"phone", m.phone},
              {"note", m.note},
              {"discount", m.discount},
              {"balance", m.balance},
              {"label", MemberLabel(m)},
              {"removed", m.removed.has_value()},
              {"anonymised", m.anonymised.has_value()}};
}

}  // namespace

// The members found by a part of their name, card or phone ("find"; empty:
// all), at most 50: {"members": [...]}.
WebServer::Answered WebServer::Members(const Call& call) {
  std::string find = call.request.Param("find").value_or("");
  if (find.size() > 64) {
    return Refuse(BadRequest("'find' is at most 64 bytes"));
  }
  json members = json::array();
  for (const auto& m : console_.FindMembers(find, 50)) {
    members.push_back(MemberJson(m));
  }
  return Reply(200, json{{"members", std::move(members)}});
}

// A member's statement: {"member", "currency", "moves": [{"at", "kind",
// "amount", "balance", "station", "minutes", "sold", "by"}]}, or its CSV.
HttpResponse WebServer::StatementOf(const HttpRequest& request, bool csv) {
  auto id = IdParam(request.Param("member").value_or(""));
  if (!id) {
    return Refuse(BadRequest("'member' must be a member's id"));
  }
  auto statement = console_.Statement(*id);
  if (!statement) {
    return Refuse(NotFound("no member " + std::to_string(*id)));
  }
  const auto& [member, moves] = *statement;
  std::string currency = console_.Till().setup.currency;
  if (csv) {
    HttpResponse response =
        Text(200, console::StatementCsv(member, moves, currency), "text/csv; charset=utf-8");
    SetHeader(response, "Content-Disposition",
              "attachment; filename=\"member-" + std::to_string(member.id) + ".csv\"");
    return response;
  }
  json list = json::array();
  for (const auto& m : moves) {
    list.push_back(json{{"id", m.id},
                        {"at", m.at},
                        {"kind", MoveKindName(m.kind)},
                        {"amount", m.amount},
                        {"balance", m.balance},
                        {"station", m.station},
                        {"minutes", m.minutes},
                        {"sold", m.sold},
                        {"by", m.by},
                        {"shift", Optional(m.shift_id)}});
  }
  return Reply(
      200,
      json{{"member", MemberJson(member)}, {"currency", currency}, {"moves", std::move(list)}});
}

WebServer::Answered WebServer::Statement(const Call& call) {
  return StatementOf(call.request, false);
}

WebServer::Answered WebServer::StatementCsv(const Call& call) {
  return StatementOf(call.request, true);
}

HttpResponse WebServer::TillResponse(const std::string& done) {
  TillView till = console_.Till();
  json tariffs = json::array();
  for (const auto& t : till.setup.tariffs) {
    json periods = json::array();
    for (const auto& p : t.periods) {
      periods.push_back(json{{"text", PeriodText(p)},
                             {"days", p.days},
                             {"from", ClockText(p.from)},
                             {"to", ClockText(p.to)},
                             {"per_hour", p.per_hour}});
    }
    // One price all week: that price, as before periods.
    bool one = t.periods.size() == 1 && t.periods[0].days == kEveryDay &&
               t.periods[0].from == t.periods[0].to;
    tariffs.push_back(json{{"id", t.id},
                           {"name", t.name},
                           {"per_hour", one ? json(t.periods[0].per_hour) : json(nullptr)},
                           {"minimum", t.minimum},
                           {"periods", std::move(periods)}});
  }
  json packages = json::array();
  for (const auto& p : till.setup.packages) {
    json window = nullptr;
    if (p.window) {
      window = json{{"from", ClockText(p.window->from)},
                    {"to", ClockText(p.window->to)},
                    {"last_sale", ClockText(p.window->last_sale)},
                    {"text", WindowText(*p.window)}};
    }
    packages.push_back(json{{"id", p.id},
                            {"name", p.name},
                            {"price", p.price},
                            {"minutes", p.window ? json(nullptr) : json(p.minutes)},
                            {"window", std::move(window)},
                            {"refundable", p.refundable},
                            {"groups", p.groups}});
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
  return Reply(
      200,
      json{{"currency", till.setup.currency},
           {"done", done},
           {"free_minutes_per_shift", till.setup.free_minutes_per_shift},
           {"tariffs", std::move(tariffs)},
           {"packages", std::move(packages)},
           {"groups", std::move(groups)},
           {"members", std::move(members)},
           {"macs", std::move(macs)},
           {"shift", till.shift ? ShiftJson(*till.shift) : json(nullptr)},
           {"time_up",
            {{"end", till.setup.time_up.end}, {"grace_seconds", till.setup.time_up.grace_seconds}}},
           {"session_prices", std::move(prices)}});
}

// A change of the till's set-up, one of the changes' table (see
// till_changes.h): {"change": "currency", "currency": "BGN"}, {"change":
// "tariff", ["id": N,] "name", "per_hour": "3.00", "minimum": "1.00"}, ...
WebServer::Answered WebServer::ChangeTill(const Call& call) {
  static const std::vector<std::string> kFields = TillChangeFields();
  std::optional<Refusal> refused;
  auto body = BodyObject(call.request, kFields, refused);
  if (!body) {
    return Refuse(*refused);
  }
  TillChange change;
  if (auto refusal = ReadTillChange(JsonFields(*body), call.role, change)) {
    return Refuse(*refusal);
  }
  ActionOutcome outcome = console_.ChangeTill(call.login->operator_name, change);
  if (!outcome.ok()) {
    return Refuse(*outcome.refusal);
  }
  return TillResponse(outcome.done);
}

// {"shift": "open", "cash": "100.00"} or {"shift": "close", "counted": "..."}.
WebServer::Answered WebServer::Shift(const Call& call) {
  std::optional<Refusal> refused;
  auto body = BodyObject(call.request, {"shift", "cash", "counted"}, refused);
  if (!body) {
    return Refuse(*refused);
  }
  const std::string& by = call.login->operator_name;
  auto& b = *body;
  std::string kind = b.contains("shift") && b["shift"].is_string() ? b["shift"] : "";
  if (kind != "open" && kind != "close") {
    return Refuse(BadRequest("'shift' must be open or close"));
  }
  auto amount = MoneyField(b, kind == "open" ? "cash" : "counted");
  if (!amount) {
    return Refuse(BadRequest(std::string(kind == "open" ? "'cash'" : "'counted'") +
                             " must be the cash in the drawer, an amount such as \"120.50\""));
  }
  std::optional<ShiftReport> report;
  ActionOutcome outcome =
      kind == "open" ? console_.OpenShift(by, *amount) : console_.CloseShift(by, *amount, report);
  if (!outcome.ok()) {
    return Refuse(*outcome.refusal);
  }
  if (report) {
    return Reply(200, json{{"shift", ShiftJson(*report)}});
  }
  return TillResponse(outcome.done);
}

WebServer::Answered WebServer::PreviewEnd(const Call& call) {
  std::optional<Refusal> refused;
  auto body = BodyObject(call.request, {"stations"}, refused);
  if (!body) {
    return Refuse(*refused);
  }
  std::vector<std::string> addresses;
  if (auto refusal = ReadStations(JsonFields(*body), addresses, true)) {
    return Refuse(*refusal);
  }
  json previews = json::array();
  for (const auto& p : console_.PreviewEnd(addresses)) {
    previews.push_back(json{{"station", p.address},
                            {"rented", p.rented},
                            {"unused_minutes", p.unused_minutes},
                            {"refund_minutes", p.offer.minutes},
                            {"refund", p.offer.amount},
                            {"member", Optional(p.member_id)}});
  }
  return Reply(200, json{{"stations", previews}});
}

}  // namespace zalvo::console
