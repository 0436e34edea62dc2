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

std::string SessionsCsv(const std::vector<SessionRecord>& sessions) {
  std::string csv = "station,address,started,ended,minutes,started_by,ended_by\r\n";
  for (const auto& s : sessions) {
    csv += CsvField(s.station) + "," + CsvField(s.address) + "," + LocalTimeText(s.started) + "," +
           (s.ended ? LocalTimeText(*s.ended) : std::string()) + "," + std::to_string(s.minutes) +
           "," + CsvField(s.started_by) + "," + CsvField(s.ended_by) + "\r\n";
  }
  return csv;
}

}  // namespace zalvo::console
