#include "console/core/shift_report.h"

#include <map>

namespace zalvo::console {
namespace {

// Adds a row to the line of its name; false when the amount overflows.
bool Add(std::map<std::string, ReportLine>& lines, const std::string& name, int64_t minutes,
         Money amount) {
  ReportLine& line = lines[name];
  line.name = name;
  ++line.count;
  line.minutes += minutes;
  return !__builtin_add_overflow(line.amount, amount, &line.amount);
}

// Adds a row to one line; false when the amount overflows.
bool AddTo(ReportLine& line, int64_t minutes, Money amount) {
  ++line.count;
  line.minutes += minutes;
  return !__builtin_add_overflow(line.amount, amount, &line.amount);
}

std::vector<ReportLine> Lines(const std::map<std::string, ReportLine>& lines) {
  std::vector<ReportLine> list;
  for (const auto& [name, line] : lines) {
    list.push_back(line);
  }
  return list;
}

}  // namespace

std::optional<ShiftReport> ReportOfShift(const ShiftRecord& shift,
                                         const std::vector<SaleRecord>& sales,
                                         const std::vector<RefundRecord>& refunds,
                                         const std::vector<VoidRecord>& voids,
                                         const std::vector<MemberMove>& member_moves,
                                         const std::optional<ShiftRecord>& before) {
  ShiftReport report;
  report.shift = shift;
  CashMoves cash;
  std::map<std::string, ReportLine> by_tariff;
  std::map<std::string, ReportLine> by_package;
  std::map<std::string, ReportLine> by_operator;
  std::map<std::string, ReportLine> free_by_operator;
  bool fits = true;
  for (const auto& sale : sales) {
    if (sale.kind == SaleKind::kFree) {
      ++report.free_minutes.count;
      report.free_minutes.minutes += sale.minutes;
      fits = Add(free_by_operator, sale.by, sale.minutes, 0) && fits;
      continue;
    }
    if (sale.member_id) {
      fits = AddTo(report.balance_spent, sale.minutes, sale.price) && fits;
    } else {
      cash.sales.push_back(sale.price);
    }
    fits = Add(sale.kind == SaleKind::kPackage ? by_package : by_tariff, sale.tariff, sale.minutes,
               sale.price) &&
           fits;
    fits = Add(by_operator, sale.by, sale.minutes, sale.price) && fits;
  }
  for (const auto& refund : refunds) {
    if (refund.member_id) {
      fits = AddTo(report.balance_refunded, refund.minutes, refund.amount) && fits;
    } else if (refund.paid) {
      cash.refunds.push_back(refund.amount);
    } else {
      ++report.refunds_kept.count;
      report.refunds_kept.minutes += refund.minutes;
      fits = !__builtin_add_overflow(report.refunds_kept.amount, refund.amount,
                                     &report.refunds_kept.amount) &&
             fits;
    }
  }
  for (const auto& v : voids) {
    if (v.sale.member_id) {
      fits = AddTo(report.balance_refunded, 0, v.amount) && fits;
    } else {
      cash.voids.push_back(v.amount);
    }
  }
  for (const auto& move : member_moves) {
    if (move.kind == MoveKind::kTopUp) {
      cash.top_ups.push_back(move.amount);
      fits = AddTo(report.top_ups, 0, move.amount) && fits;
    } else if (move.kind == MoveKind::kPayout) {
      Money out = 0;
      fits = !__builtin_sub_overflow(Money{0}, move.amount, &out) && fits;
      cash.payouts.push_back(out);
      fits = AddTo(report.payouts, 0, out) && fits;
    }
  }
  auto totals = TotalsOf(shift.opening, cash, shift.counted);
  if (!totals || !fits ||
      __builtin_sub_overflow(totals->expected, shift.opening, &report.takings)) {
    return std::nullopt;
  }
  report.totals = *totals;
  report.sales = cash.sales.size();
  report.refunds = cash.refunds.size();
  report.by_tariff = Lines(by_tariff);
  report.by_package = Lines(by_package);
  report.by_operator = Lines(by_operator);
  report.free_by_operator = Lines(free_by_operator);
  report.voids = voids;
  if (before) {
    report.last_shift = before->id;
    report.last_counted = before->counted;
    if (before->counted) {
      Money difference = 0;
      if (__builtin_sub_overflow(shift.opening, *before->counted, &difference)) {
        return std::nullopt;
      }
      report.opening_difference = difference;
    }
  }
  return report;
}

int64_t FreeMinutesBy(const std::vector<SaleRecord>& sales, const std::string& operator_name) {
  int64_t minutes = 0;
  for (const auto& sale : sales) {
    if (sale.kind == SaleKind::kFree && sale.by == operator_name) {
      minutes += sale.minutes;
    }
  }
  return minutes;
}

}  // namespace zalvo::console
