#include "console/wire.h"

#include <algorithm>

namespace zalvo::console::wire {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string Sit(int32_t minutes) {
  return "ACTION SIT " + std::to_string(minutes);
}

std::string Kill(std::string_view caption) {
  return "ACTION KILL " + std::string(caption);
}

std::string Volume(int32_t percent) {
  return "ACTION VOLUME " + std::to_string(percent);
}

std::optional<std::vector<std::string>> ParseCommaText(std::string_view text) {
  std::vector<std::string> entries;
  if (text.empty()) {
    return entries;
  }
  size_t i = 0;
  while (true) {
    std::string entry;
    if (i < text.size() && text[i] == '"') {
      ++i;
      while (true) {
        if (i >= text.size()) {
          return std::nullopt;
        }
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            entry += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        entry += text[i++];
      }
      // Anything up to the next comma belongs to the entry as written.
      while (i < text.size() && text[i] != ',') {
        entry += text[i++];
      }
    } else {
      while (i < text.size() && text[i] != ',') {
        entry += text[i++];
      }
    }
    entries.push_back(std::move(entry));
    if (i >= text.size()) {
      return entries;
    }
    ++i;  // the comma
  }
}

std::optional<Report> ParseReport(std::string_view datagram) {
  Report report;
  if (datagram == "PING") {
    report.kind = Report::Kind::kPing;
    return report;
  }
  constexpr std::string_view kPlayGame = "PLAYGAME=";
  if (StartsWith(datagram, kPlayGame)) {
    std::string_view caption = datagram.substr(kPlayGame.size());
    if (StartsWith(caption, "0:") && AllDigits(caption.substr(2))) {
      report.kind = Report::Kind::kNoForeground;
      return report;
    }
    report.kind = Report::Kind::kForeground;
    report.caption = std::string(caption);
    return report;
  }
  constexpr std::string_view kDisk = "INFO  c:";
  if (StartsWith(datagram, kDisk) && datagram.size() > kDisk.size() + 2 &&
      datagram.substr(datagram.size() - 2) == "MB") {
    std::string_view number = datagram.substr(kDisk.size(), datagram.size() - kDisk.size() - 2);
    if (!AllDigits(number) || number.size() > 15) {
      return std::nullopt;
    }
    report.kind = Report::Kind::kFreeDisk;
    report.free_mb = std::stoll(std::string(number));
    return report;
  }
  constexpr std::string_view kList = "PROCESS LIST:";
  if (StartsWith(datagram, kList)) {
    auto windows = ParseCommaText(datagram.substr(kList.size()));
    if (!windows) {
      return std::nullopt;
    }
    report.kind = Report::Kind::kWindowList;
    report.windows = std::move(*windows);
    return report;
  }
  return std::nullopt;
}

int64_t RemainingAfterStand(int64_t remaining_seconds) {
  return std::min<int64_t>(remaining_seconds, 120) - 20;
}

int32_t StandsToEnd(int64_t remaining_seconds) {
  int32_t stands = 1;
  for (int64_t r = RemainingAfterStand(remaining_seconds); r > 0; r = RemainingAfterStand(r)) {
    ++stands;
  }
  return stands;
}

}  // namespace zalvo::console::wire
