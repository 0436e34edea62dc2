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

}  // namespace zalvo::protocol
