#include "console/core/room_file.h"

#include "console/core/room_changes.h"
#include "console/core/wake.h"

#include <set>
#include <stdexcept>

namespace zalvo::console {
namespace {

struct Field {
  std::string text;
  bool quoted = false;
};

// The fields of one line, or none for a blank line or a comment.
std::vector<Field> Fields(const std::string& line, int line_number) {
  std::vector<Field> fields;
  size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (true) {
    while (i < line.size() && blank(line[i])) {
      ++i;
    }
    if (i >= line.size() || (fields.empty() && line[i] == '#')) {
      return fields;
    }
    Field field;
    if (line[i] == '"') {
      size_t close = line.find('"', i + 1);
      if (close == std::string::npos) {
        throw Refused(RefusalKind::kBadRequest,
                      "line " + std::to_string(line_number) + ": the quoted name is not closed");
      }
      field.text = line.substr(i + 1, close - i - 1);
      field.quoted = true;
      i = close + 1;
    } else {
      while (i < line.size() && !blank(line[i])) {
        field.text += line[i++];
      }
    }
    fields.push_back(std::move(field));
  }
}

}  // namespace

RoomPlan ParseRoomPlan(const std::string& text) {
  RoomPlan plan;
  std::set<std::string> tariffs;
  std::set<std::string> groups;
  std::string group;  // of the stations that follow
  size_t line_start = 0;
  int line_number = 0;
  while (line_start <= text.size()) {
    size_t line_end = text.find('\n', line_start);
    if (line_end == std::string::npos) {
      line_end = text.size();
    }
    std::string line = text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::vector<Field> fields = Fields(line, line_number);
    if (fields.empty()) {
      continue;
    }
    auto wrong = [&](const std::string& why) {
      return Refused(RefusalKind::kBadRequest, "line " + std::to_string(line_number) + ": " + why);
    };
    auto amount = [&](const Field& field) {
      auto money = ParseMoney(field.text);
      if (!money) {
        throw wrong("'" + field.text + "' is not an amount such as 3.50 (at most " +
                    MoneyText(kMaxHourPrice) + ")");
      }
      return *money;
    };
    const std::string keyword = fields[0].quoted ? "" : fields[0].text;
    if (keyword == "currency") {
      if (fields.size() != 2 || !IsCurrencyCode(fields[1].text)) {
        throw wrong("expected 'currency CODE', a code of 1 to 8 letters such as BGN");
      }
      if (!plan.till.currency.empty()) {
        throw wrong("the currency is named twice");
      }
      plan.till.currency = fields[1].text;
    } else if (keyword == "tariff") {
      if ((fields.size() != 3 && fields.size() != 5) ||
          (fields.size() == 5 && (fields[3].quoted || fields[3].text != "minimum"))) {
        throw wrong("expected 'tariff NAME PRICE-PER-HOUR [minimum PRICE]'");
      }
      Tariff tariff = OnePriceTariff(0, fields[1].text, amount(fields[2]),
                                     fields.size() == 5 ? amount(fields[4]) : 0);
      if (auto problem = TariffProblem(tariff)) {
        throw wrong(*problem);
      }
      if (!tariffs.insert(tariff.name).second) {
        throw wrong("the tariff '" + tariff.name + "' is named twice");
      }
      plan.till.tariffs.push_back(std::move(tariff));
    } else if (keyword == "group") {
      if (fields.size() != 3 || fields[1].text.empty() || fields[1].text.size() > 64) {
        throw wrong("expected 'group NAME TARIFF' (a station named group is written in quotes)");
      }
      if (tariffs.count(fields[2].text) == 0) {
        throw wrong("no tariff '" + fields[2].text + "' above this line");
      }
      if (!groups.insert(fields[1].text).second) {
        throw wrong("the group '" + fields[1].text + "' is named twice");
      }
      group = fields[1].text;
      plan.till.groups.push_back({group, fields[2].text});
    } else {
      auto place = [&](const std::string& value) {
        if (value.empty() || value.size() > 3 ||
            value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) < 1) {
          throw wrong("'" + value + "' is not a column or row from 1 to 999");
        }
        return std::stoi(value);
      };
      StationConfig config;
      if (fields.size() >= 3 && !fields.back().quoted && fields.back().text == "unkeyed") {
        config.unkeyed = true;
        fields.pop_back();
      }
      if (fields.size() >= 4 && !fields[fields.size() - 2].quoted &&
          fields[fields.size() - 2].text == "mac") {
        auto mac = ParseMac(fields.back().text);
        if (!mac) {
          throw wrong("'" + fields.back().text +
                      "' is not a network card's MAC address such as 00:1a:2b:3c:4d:5e");
        }
        config.mac = MacText(*mac);
        fields.resize(fields.size() - 2);
      }
      if (fields.size() != 2 && fields.size() != 4) {
        throw wrong("expected 'name address [column row] [mac MAC] [unkeyed]'");
      }
      config.name = fields[0].text;
      config.address = fields[1].text;
      if (auto problem = NameProblem(config.name)) {
        throw wrong("the station's name: " + *problem);
      }
      if (!IsDottedIPv4(config.address)) {
        throw wrong("'" + config.address + "' is not a dotted IPv4 address");
      }
      if (fields.size() == 4) {
        config.column = place(fields[2].text);
        config.row = place(fields[3].text);
      }
      if (!group.empty()) {
        plan.till.members.emplace_back(config.address, group);
      }
      plan.stations.push_back(std::move(config));
    }
  }
  if (!plan.till.tariffs.empty() && plan.till.currency.empty()) {
    throw Refused(RefusalKind::kBadRequest,
                  "the file has tariffs but names no currency ('currency CODE')");
  }
  return plan;
}

std::vector<StationConfig> ParseRoomFile(const std::string& text) {
  return ParseRoomPlan(text).stations;
}

}  // namespace zalvo::console
