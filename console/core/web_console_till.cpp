// The till: its set-up, the shifts, and what ending a session would give
// back.
#include "console/core/session_export.h"
#include "console/core/web_console.h"

namespace zalvo::console {
ShiftReport WebConsole::ReportOf(const ShiftRecord& shift) {
  auto report = ReportOfShift(shift, record_.ShiftSales(shift.id), record_.ShiftRefunds(shift.id),
                              record_.ShiftVoids(shift.id), record_.ShiftMemberMoves(shift.id),
                              record_.ShiftBefore(shift.id));
  if (!report) {
    throw RecordError("the totals of shift " + std::to_string(shift.id) +
                      " leave the range of an amount: the record is damaged");
  }
  return *report;
}

void WebConsole::RepriceSession(int64_t session_id) {
  for (const auto& station : room_.stations()) {
    if (station.session && station.session->record_id == session_id) {
      RentalSession session = *station.session;
      session.sold = PriceOfSales(record_.SalesOf(session_id));
      room_.SetSession(station.address, session);
      return;
    }
  }
}

PriceQuote WebConsole::QuoteSale(const SaleQuestion& question) {
  std::lock_guard lock(mutex_);
  PriceQuote quote;
  if (till_.tariffs.empty()) {
    return quote;
  }
  Millis now = Now();
  auto discount_of = [&](int64_t member_id) {
    auto member = member_id != 0 ? record_.FindMember(member_id) : std::nullopt;
    return member ? member->discount : 0;
  };
  int32_t asked_discount = discount_of(question.member_id);
  auto price = [&](const Group& group, Millis from, int32_t discount) {
    QuotedPrice quoted;
    Refusal why;
    auto sale = SaleFor(till_, group, SaleAsked{question.minutes, question.package_id, discount},
                        now, from, why);
    if (sale) {
      quoted.price = sale->price;
      quoted.minutes = sale->minutes;
    } else {
      quoted.why = why.text;
    }
    return quoted;
  };
  for (const auto& group : till_.groups) {
    const Tariff* tariff = nullptr;
    for (const auto& t : till_.tariffs) {
      tariff = t.id == group.tariff_id ? &t : tariff;
    }
    quote.groups.push_back(
        GroupPrice{group, tariff ? tariff->name : "", price(group, now, asked_discount)});
  }
  for (const auto& station : room_.stations()) {
    const Group* group = GroupOf(till_, station.address);
    if (station.session && group) {
      const auto& session = *station.session;
      quote.stations[station.address] =
          price(*group, session.ends,
                session.member_id ? discount_of(*session.member_id) : asked_discount);
    }
  }
  return quote;
}

std::vector<Member> WebConsole::FindMembers(const std::string& find, size_t most) {
  std::lock_guard lock(mutex_);
  std::vector<Member> found;
  for (auto& member : record_.Members()) {
    if (found.size() >= most) {
      break;
    }
    if (!member.removed && !member.anonymised && MemberMatches(member, find)) {
      found.push_back(std::move(member));
    }
  }
  return found;
}

std::optional<std::pair<Member, std::vector<MemberMove>>> WebConsole::Statement(int64_t member_id) {
  std::lock_guard lock(mutex_);
  auto member = record_.FindMember(member_id);
  if (!member) {
    return std::nullopt;
  }
  return std::make_pair(*member, record_.MemberMoves(member_id));
}

TillView WebConsole::Till() {
  std::lock_guard lock(mutex_);
  TillView view;
  view.setup = till_;
  view.macs = macs_;
  if (auto shift = record_.OpenShift()) {
    view.shift = ReportOf(*shift);
  }
  for (const auto& station : room_.stations()) {
    if (station.session && station.session->sold) {
      view.session_prices[station.address] = *station.session->sold;
    }
  }
  return view;
}

std::vector<EndPreview> WebConsole::PreviewEnd(const std::vector<std::string>& addresses) {
  std::lock_guard lock(mutex_);
  Millis now = Now();
  std::vector<EndPreview> previews;
  for (const auto& address : addresses) {
    EndPreview preview;
    preview.address = address;
    const Station* station = room_.Find(address);
    if (station && station->session) {
      preview.rented = true;
      preview.unused_minutes = UnusedWholeMinutes(station->session->ends, now);
      preview.offer = RefundOfferFor(record_, *station->session, now);
      preview.member_id = station->session->member_id;
    }
    previews.push_back(preview);
  }
  return previews;
}

ActionOutcome WebConsole::ChangeTill(const std::string& operator_name, const TillChange& change) {
  ActionOutcome outcome;
  const TillChangeRow& row = RowOf(change.kind);
  {
    std::lock_guard lock(mutex_);
    TillChangeDone done;
    try {
      Millis now = Now();
      TillContext context{record_,       till_, room_, macs_, options_.neighbour_table,
                          operator_name, now};
      record_.Atomically([&] {
        done = row.apply(context, change);
        record_.RecordAction(now, operator_name, "", done.what, done.detail);
      });
    } catch (const Refused& e) {
      outcome.refusal = e.refusal();
      return outcome;
    } catch (const RecordError& e) {
      std::string what = e.what();
      outcome.refusal = what.find("UNIQUE") != std::string::npos ? Conflict("that name is taken")
                                                                 : RecordFailed(e);
      return outcome;
    }
    till_ = record_.Till();
    macs_ = record_.StationMacs();
    if (done.session) {
      RepriceSession(done.session);
    }
    outcome.done = done.what + ": " + done.detail;
  }
  Log(operator_name + ": " + outcome.done);
  Changed();
  return outcome;
}

ActionOutcome WebConsole::OpenShift(const std::string& operator_name, Money cash) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    if (auto open = record_.OpenShift()) {
      outcome.refusal = Conflict("a shift is open since " + LocalTimeText(open->opened) + " (" +
                                 open->opened_by + "): close it first");
      return outcome;
    }
    Millis now = Now();
    // The drawer's cash now against what the last shift counted at its
    // close: a difference is shown and logged.
    std::string detail = "cash " + MoneyText(cash);
    auto last = record_.ShiftBefore(INT64_MAX);
    Money difference = 0;
    if (last && last->counted && !__builtin_sub_overflow(cash, *last->counted, &difference)) {
      detail += "; the last count (shift " + std::to_string(last->id) + ") was " +
                MoneyText(*last->counted) +
                (difference == 0 ? ": the same" : ", difference " + MoneyText(difference));
    }
    record_.Atomically([&] {
      int64_t id = record_.BeginShift(now, operator_name, cash);
      // Refunds of ends confirmed while no shift was open are paid from
      // this one.
      record_.SettleRefunds(now, id);
      record_.RecordAction(now, operator_name, "", "shift opened", detail);
    });
    outcome.done = detail;
  } catch (const RecordError& e) {
    outcome.refusal = RecordFailed(e);
    return outcome;
  }
  Log(operator_name + ": opened a shift with " + outcome.done);
  return outcome;
}

ActionOutcome WebConsole::CloseShift(const std::string& operator_name, Money counted,
                                     std::optional<ShiftReport>& report) {
  ActionOutcome outcome;
  std::lock_guard lock(mutex_);
  try {
    auto open = record_.OpenShift();
    if (!open) {
      outcome.refusal = Conflict("no shift is open");
      return outcome;
    }
    Millis now = Now();
    record_.Atomically([&] {
      record_.EndShift(open->id, now, operator_name, counted);
      record_.RecordAction(now, operator_name, "", "shift closed", "counted " + MoneyText(counted));
    });
    open->closed = now;
    open->closed_by = operator_name;
    open->counted = counted;
    report = ReportOf(*open);
  } catch (const RecordError& e) {
    outcome.refusal = RecordFailed(e);
    return outcome;
  }
  Log(operator_name + ": closed the shift, " + MoneyText(counted) + " counted, difference " +
      MoneyText(report->totals.difference.value_or(0)));
  return outcome;
}

std::vector<ShiftReport> WebConsole::ShiftsBetween(Millis from, Millis to) {
  std::lock_guard lock(mutex_);
  std::vector<ShiftReport> reports;
  for (const auto& shift : record_.ShiftsBetween(from, to)) {
    reports.push_back(ReportOf(shift));
  }
  return reports;
}

}  // namespace zalvo::console
