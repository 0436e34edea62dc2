#include "agent/helper_desktop.h"

#include <algorithm>
#include <cstdint>

#include "platform/error.h"

namespace zalvo::agent {
namespace {

namespace helper = protocol::helper;

}  // namespace

HelperDesktop::HelperDesktop(HelperSupervisor& helper, platform::LogSink log)
    : helper_(helper), log_(std::move(log)) {}

template <typename Operation>
std::optional<typename Operation::Reply> HelperDesktop::Ask(
    std::string_view what, const typename Operation::Request& request) {
  auto reply = helper_.Ask<Operation>(request);
  if (!reply) {
    helper_.NoteSkipped(what);
  }
  return reply;
}

std::string HelperDesktop::CheckedCaption(std::string caption) {
  if (caption.size() > platform::kMaxCaption) {
    helper_.BadAnswer("a caption of " + std::to_string(caption.size()) + " characters");
  }
  return caption;
}

bool HelperDesktop::LockWorkStation() {
  auto reply = Ask<helper::LockWorkStation>("workstation lock");
  return reply && reply->done;
}

std::vector<platform::TopWindows::CaptionedWindow> HelperDesktop::TopLevelWindowsWithCaptions() {
  auto reply = helper_.Ask<helper::WindowList>();
  std::vector<CaptionedWindow> windows;
  if (reply) {
    windows.reserve(reply->windows.size());
    for (helper::CaptionedWindow& window : reply->windows) {
      windows.push_back({window.window, CheckedCaption(std::move(window.caption))});
    }
  }
  return windows;
}

platform::TopWindows::CaptionedWindow HelperDesktop::ForegroundWindowWithCaption() {
  auto reply = helper_.Ask<helper::ForegroundWindow>();
  if (!reply) {
    return {};
  }
  return {reply->window, CheckedCaption(std::move(reply->caption))};
}

platform::WindowHandle HelperDesktop::FindWindowByCaption(std::string_view caption) {
  auto reply = Ask<helper::FindWindow>("window search", {std::string(caption)});
  return reply ? reply->window : 0;
}

uint32_t HelperDesktop::WindowProcessId(platform::WindowHandle window) {
  auto reply = helper_.Ask<helper::WindowProcessId>({window});
  return reply ? reply->process_id : 0;
}

bool HelperDesktop::TerminateProcess(uint32_t process_id, uint32_t exit_code) {
  auto reply = Ask<helper::TerminateProcess>("process end", {process_id, exit_code});
  if (!reply) {
    return false;
  }
  if (reply->done) {
    return true;
  }
  if (!helper_.TerminateInConsoleSession(process_id, exit_code)) {
    return false;
  }
  log_("kill: process " + std::to_string(process_id) +
       " was ended by the service: the customer's rights did not allow it");
  return true;
}

platform::TopWindows::OwnerEnd HelperDesktop::EndWindowOwner(std::string_view caption,
                                                             uint32_t exit_code) {
  auto reply = Ask<helper::EndWindowOwner>("process end", {std::string(caption), exit_code});
  if (!reply) {
    return {};
  }
  OwnerEnd end{reply->process_id, reply->ended};
  if (end.process_id == 0 || end.ended) {
    return end;
  }
  end.ended = helper_.TerminateInConsoleSession(end.process_id, exit_code);
  if (end.ended) {
    log_("kill: process " + std::to_string(end.process_id) +
         " was ended by the service: the customer's rights did not allow it");
  }
  return end;
}

platform::Shell::Start HelperDesktop::ShellOpen(const std::string& file,
                                                const std::string& parameters,
                                                const std::string& directory, int show_command) {
  auto reply = helper_.Ask<helper::ShellOpen>({file, parameters, directory, show_command});
  if (!reply) {
    throw platform::PlatformError("nobody is logged on at the console");
  }
  return reply->handed_off ? Start::kHandedOff : Start::kStarted;
}

void HelperDesktop::BroadcastMonitorPower(int32_t state) {
  Ask<helper::MonitorPower>("monitor power", {state});
}

void HelperDesktop::SetCursorPosition(int32_t x, int32_t y) {
  Ask<helper::SetCursor>("mouse pointer move", {x, y});
}

void HelperDesktop::MessageBeep(uint32_t type) {
  Ask<helper::MessageBeep>("beep", {type});
}

bool HelperDesktop::ShowMessage(const std::string& text, std::chrono::milliseconds shown_for) {
  auto reply = helper_.Ask<helper::ShowMessage>(
      {text, static_cast<uint32_t>(std::clamp<int64_t>(shown_for.count(), 0, UINT32_MAX))});
  return reply && reply->done;
}

platform::LockOrder HelperDesktop::TellLockScreensToLock() {
  auto reply = helper_.Ask<helper::LockLockScreens>();
  if (!reply) {
    return {};
  }
  platform::LockOrder order;
  order.told = reply->told;
  order.already_locked = reply->already_locked;
  return order;
}

template <typename Operation>
typename Operation::Reply HelperMixer::Ask(const typename Operation::Request& request) {
  auto reply = helper_.Ask<Operation>(request);
  if (!reply) {
    throw platform::PlatformError("nobody is logged on at the console: no speakers to set");
  }
  return *reply;
}

platform::SpeakerControls HelperMixer::OpenSpeakerControls() {
  // Never throws: speakers that can't be reached now are simply missing.
  try {
    helper::OpenSpeakers::Reply reply = Ask<helper::OpenSpeakers>();
    platform::SpeakerControls controls;
    controls.volume = reply.volume;
    controls.mute = reply.mute;
    return controls;
  } catch (const platform::PlatformError&) {
    return {};
  } catch (const platform::HelperFailure&) {
    return {};
  }
}

void HelperMixer::SetVolumeLevels(platform::StereoLevels levels) {
  Ask<helper::SetVolumeLevels>({levels.left, levels.right});
}

platform::StereoLevels HelperMixer::VolumeLevels() {
  helper::Levels levels = Ask<helper::VolumeLevels>();
  return {levels.left, levels.right};
}

void HelperMixer::SetMute(bool on) {
  Ask<helper::SetMute>({on});
}

}  // namespace zalvo::agent
