#include "protocol/replies.h"

#include <algorithm>

#include "protocol/commands.h"
#include "text/text.h"

namespace zalvo::protocol {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<Report> ParseReport(std::string_view datagram) {
  Report report;
  if (datagram == kPing) {
    report.kind = Report::Kind::kPingReply;
    return report;
  }
  if (StartsWith(datagram, kPlayGamePrefix)) {
    std::string_view caption = datagram.substr(kPlayGamePrefix.size());
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
  if (StartsWith(datagram, kProcessListPrefix)) {
    auto windows = text::ParseCommaText(datagram.substr(kProcessListPrefix.size()));
    if (!windows) {
      return std::nullopt;
    }
    report.kind = Report::Kind::kWindowList;
    report.windows = std::move(*windows);
    return report;
  }
  return std::nullopt;
}

std::optional<SessionState> ParseSessionState(std::string_view datagram) {
  if (!StartsWith(datagram, kStatePrefix)) {
    return std::nullopt;
  }
  std::string_view rest = datagram.substr(kStatePrefix.size());
  if (rest.size() < 3 || (rest[0] != '0' && rest[0] != '1') || rest[1] != ' ') {
    return std::nullopt;
  }
  std::string_view number = rest.substr(2);
  const bool negative = number.front() == '-';
  // As the station writes it: no "+", no blank, no leading zero.
  std::string_view digits = number.substr(negative ? 1 : 0);
  if (!AllDigits(digits) || (digits.size() > 1 && digits.front() == '0') ||
      (negative && digits == "0")) {
    return std::nullopt;
  }
  std::optional<int32_t> seconds = text::ParseInt32(number);
  if (!seconds) {
    return std::nullopt;
  }
  return SessionState{rest[0] == '1', *seconds};
}

}  // namespace zalvo::protocol
