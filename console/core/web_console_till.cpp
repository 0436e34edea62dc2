// The till: its set-up, the shifts, and what ending a session would give
// back.
#include "console/core/session_export.h"
#include "console/core/web_console.h"

namespace zalvo::console {
ShiftReport WebConsole::ReportOf(const ShiftRecord& shift) {
  ShiftReport report;
  report.shift = shift;
  auto sales = record_.ShiftSales(shift.id);
  auto refunds = record_.ShiftRefunds(shift.id);
  report.sales = sales.size();
  report.refunds = refunds.size();
  auto totals = TotalsOf(shift.opening, sales, refunds, shift.counted);
  if (!totals) {
    throw RecordError("the totals of shift " + std::to_string(shift.id) +
                      " leave the range of an amount: the record is damaged");
  }
  report.totals = *totals;
  return report;
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
    if (!station.session) {
      continue;
    }
    auto sales = record_.SalesOf(station.session->record_id);
    if (sales.empty()) {
      continue;
    }
    Money price = 0;
    for (const auto& sale : sales) {
      price += sale.price;
    }
    view.session_prices[station.address] = price;
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
    try {
      Millis now = Now();
      TillContext context{record_, till_, room_, macs_, options_.neighbour_table};
      record_.Atomically([&] {
        TillChangeDone done = row.apply(context, change);
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
  }
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
    record_.Atomically([&] {
      record_.BeginShift(now, operator_name, cash);
      record_.RecordAction(now, operator_name, "", "shift opened", "cash " + MoneyText(cash));
    });
  } catch (const RecordError& e) {
    outcome.refusal = RecordFailed(e);
    return outcome;
  }
  Log(operator_name + ": opened a shift with " + MoneyText(cash) + " in the drawer");
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
