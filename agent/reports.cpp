#include "agent/reports.h"

#include <string>

#include "protocol/commands.h"
#include "settings/keys.h"
#include "text/text.h"

namespace zalvo::agent {
namespace {

using settings::Key;

constexpr uint64_t kMebibyte = 1048576;

}  // namespace

Reports::Reports(AgentState& state, Replies& replies, platform::TopWindows& windows,
                 platform::Machine& machine)
    : state_(state), replies_(replies), windows_(windows), machine_(machine) {}

void Reports::SendPing(const ReplyContext& to) {
  replies_.SendText(to, std::string(protocol::kPing));
}

bool Reports::PrivilegesGranted() {
  for (std::string_view privilege : kReportPrivileges) {
    if (!machine_.EnablePrivilege(privilege)) {
      return false;
    }
  }
  return true;
}

void Reports::SendInfo(const ReplyContext& to) {
  const settings::StationSettings& s = state_.settings;
  std::string report;
  if (s.Flag(Key::PlayGame) && PrivilegesGranted()) {
    const platform::TopWindows::CaptionedWindow foreground = windows_.ForegroundWindowWithCaption();
    const std::string& caption = foreground.caption;
    if (caption != state_.last_caption) {
      state_.last_caption = caption;
      replies_.SendText(to, std::string(protocol::kPlayGamePrefix) + text::UpperLatin(caption));
    }
    if (caption.empty()) {
      replies_.SendText(
          to, std::string(protocol::kPlayGameNoCaptionPrefix) + std::to_string(foreground.handle));
    }
  }
  if (s.Flag(Key::FreeDisk)) {
    uint64_t free_bytes = machine_.FreeBytesOnDriveC().value_or(0);
    report += std::string(protocol::kFreeDiskPrefix) + std::to_string(free_bytes / kMebibyte) +
              std::string(protocol::kFreeDiskUnit);
  }
  if (!report.empty()) {
    replies_.SendText(to, std::string(protocol::kInfoPrefix) + report);
  }
}

}  // namespace zalvo::agent
