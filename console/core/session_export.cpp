#include "console/core/session_export.h"

#include <cstdio>
#include <ctime>

#include "platform/console.h"

namespace zalvo::console {
namespace {

std::string CsvField(std::string value) {
  if (!value.empty() && (value[0] == '=' || value[0] == '+' || value[0] == '-' || value[0] == '@' ||
                         value[0] == '\t' || value[0] == '\r')) {
    value.insert(0, "'");
  }
  if (value.find_first_of(",\"\r\n") != std::string::npos) {
    std::string quoted = "\"";
    for (char c : value) {
      quoted += c;
      if (c == '"') {
        quoted += '"';
      }
    }
    return quoted + "\"";
  }
  return value;
}

}  // namespace

std::string LocalTimeText(Millis at) {
  std::tm local = platform::LocalTime(static_cast<std::time_t>(at / 1000));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string LocalDay(Millis at) {
  return LocalTimeText(at).substr(0, 10);
}

std::optional<std::pair<Millis, Millis>> LocalDayBounds(const std::string& day) {
  int year = 0;
  int month = 0;
  int mday = 0;
  char rest = 0;
  if (day.size() != 10 ||
      std::sscanf(day.c_str(), "%4d-%2d-%2d%c", &year, &month, &mday, &rest) != 3 || year < 1970 ||
      year > 9999 || month < 1 || month > 12 || mday < 1 || mday > 31) {
    return std::nullopt;
  }
  auto start_of = [](int y, int m, int d) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    t.tm_isdst = -1;
    return static_cast<Millis>(std::mktime(&t)) * 1000;
  };
  return std::make_pair(start_of(year, month, mday), start_of(year, month, mday + 1));
}

int64_t UsedMinutes(const SessionRecord& session) {
  if (!session.ended || *session.ended <= session.started) {
    return 0;
  }
  return (*session.ended - session.started + 59'999) / 60'000;
}

std::optional<Money> PriceOfSales(const std::vector<SaleRecord>& sales) {
  if (sales.empty()) {
    return std::nullopt;
  }
  Money price = 0;
  for (const auto& sale : sales) {
    price += sale.price - sale.voided.value_or(0);
  }
  return price;
}

std::optional<Money> SessionPrice(const SessionRecord& session) {
  return PriceOfSales(session.sales);
}

std::string SessionsCsv(const std::vector<SessionRecord>& sessions, const std::string& currency) {
  std::string csv =
      "station,address,started,ended,minutes,started_by,ended_by,used_minutes,price,refund,"
      "refund_paid,sold_by,refund_by,currency,moved_from,member\r\n";
  for (const auto& s : sessions) {
    auto price = SessionPrice(s);
    std::string sold_by;
    for (const auto& sale : s.sales) {
      sold_by += (sold_by.empty() ? "" : " ") + sale.by + ":" + std::to_string(sale.minutes) +
                 (sale.kind == SaleKind::kFree ? "(free)" : "") +
                 (sale.kind == SaleKind::kPackage ? "(" + sale.tariff + ")" : "") +
                 (sale.voided ? "(void)" : "");
    }
    std::string moved_from;
    for (const auto& move : s.moves) {
      moved_from += (moved_from.empty() ? "" : "; ") + move.from_station;
    }
    csv += CsvField(s.station) + "," + CsvField(s.address) + "," + LocalTimeText(s.started) + "," +
           (s.ended ? LocalTimeText(*s.ended) : std::string()) + "," + std::to_string(s.minutes) +
           "," + CsvField(s.started_by) + "," + CsvField(s.ended_by) + "," +
           (s.ended ? std::to_string(UsedMinutes(s)) : std::string()) + "," +
           (price ? MoneyText(*price) : std::string()) + "," +
           (s.refund ? MoneyText(s.refund->amount) : std::string()) + "," +
           (s.refund ? (s.refund->paid ? "yes" : "no") : "") + "," + CsvField(sold_by) + "," +
           (s.refund ? CsvField(s.refund->by) : std::string()) + "," +
           (price ? CsvField(currency) : std::string()) + "," + CsvField(moved_from) + "," +
           (s.member_id ? std::to_string(*s.member_id) : std::string()) + "\r\n";
  }
  return csv;
}

namespace {

std::string LinesText(const std::vector<ReportLine>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += (text.empty() ? "" : "; ") + line.name + ": " + std::to_string(line.count) + " / " +
            std::to_string(line.minutes) + " min / " + MoneyText(line.amount);
  }
  return CsvField(text);
}

std::string Optional(const std::optional<Money>& amount) {
  return amount ? MoneyText(*amount) : std::string();
}

}  // namespace

std::string ShiftsCsv(const std::vector<ShiftReport>& shifts, const std::string& currency) {
  std::string csv =
      "shift,opened,opened_by,closed,closed_by,opening,sales,sales_count,refunds,refunds_count,"
      "expected,counted,difference,currency,voids,voids_count,refunds_kept,free_minutes,"
      "last_counted,opening_difference,by_tariff,by_operator,free_by_operator,by_package,"
      "balance_spent,balance_refunded,top_ups,payouts\r\n";
  for (const auto& r : shifts) {
    const auto& s = r.shift;
    const auto& t = r.totals;
    csv += std::to_string(s.id) + "," + LocalTimeText(s.opened) + "," + CsvField(s.opened_by) +
           "," + (s.closed ? LocalTimeText(*s.closed) : std::string()) + "," +
           CsvField(s.closed_by) + "," + MoneyText(t.opening) + "," + MoneyText(t.sales) + "," +
           std::to_string(r.sales) + "," + MoneyText(t.refunds) + "," + std::to_string(r.refunds) +
           "," + MoneyText(t.expected) + "," + (t.counted ? MoneyText(*t.counted) : std::string()) +
           "," + (t.difference ? MoneyText(*t.difference) : std::string()) + "," +
           CsvField(currency) + "," + MoneyText(t.voids) + "," + std::to_string(r.voids.size()) +
           "," + MoneyText(r.refunds_kept.amount) + "," + std::to_string(r.free_minutes.minutes) +
           "," + Optional(r.last_counted) + "," + Optional(r.opening_difference) + "," +
           LinesText(r.by_tariff) + "," + LinesText(r.by_operator) + "," +
           LinesText(r.free_by_operator) + "," + LinesText(r.by_package) + "," +
           MoneyText(r.balance_spent.amount) + "," + MoneyText(r.balance_refunded.amount) + "," +
           MoneyText(r.top_ups.amount) + "," + MoneyText(r.payouts.amount) + "\r\n";
  }
  return csv;
}

std::string StatementCsv(const Member& member, const std::vector<MemberMove>& moves,
                         const std::string& currency) {
  std::string csv = "member,at,kind,amount,balance,station,minutes,sold,by,currency\r\n";
  std::string label = CsvField(MemberLabel(member));
  for (const auto& m : moves) {
    csv += label + "," + LocalTimeText(m.at) + "," + MoveKindName(m.kind) + "," +
           MoneyText(m.amount) + "," + MoneyText(m.balance) + "," + CsvField(m.station) + "," +
           (m.minutes ? std::to_string(m.minutes) : std::string()) + "," + CsvField(m.sold) + "," +
           CsvField(m.by) + "," + CsvField(currency) + "\r\n";
  }
  return csv;
}

}  // namespace zalvo::console
