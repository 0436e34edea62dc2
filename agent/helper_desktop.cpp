#include "agent/helper_desktop.h"

#include "platform/error.h"

namespace zalvo::agent {
namespace {

namespace helper = protocol::helper;
using helper::Fields;
using helper::Op;

// Reads an answer's fields; an answer that doesn't read ends the helper.
template <typename F>
auto ReadAnswer(SessionHelper& session, const std::string& fields, F&& read) {
  try {
    helper::FieldReader reader(fields);
    auto value = read(reader);
    reader.Done();
    return value;
  } catch (const helper::FrameError& e) {
    session.BadAnswer(e.what());
  }
}

}  // namespace

HelperDesktop::HelperDesktop(SessionHelper& helper, platform::Desktop& service, LogSink log)
    : helper_(helper), service_(service), log_(std::move(log)) {}

std::optional<std::string> HelperDesktop::Ask(Op op, std::string_view what, const Fields& fields) {
  std::optional<std::string> answer = helper_.Call(op, fields.bytes());
  if (!answer) {
    helper_.NoteSkipped(what);
  }
  return answer;
}

bool HelperDesktop::LockWorkStation() {
  auto answer = Ask(Op::kLockWorkStation, "workstation lock");
  return answer && ReadAnswer(helper_, *answer, [](auto& r) { return r.U8() != 0; });
}

platform::WindowHandle HelperDesktop::ForegroundWindow() {
  auto answer = helper_.Call(Op::kForegroundWindow);
  return answer ? ReadAnswer(helper_, *answer, [](auto& r) { return r.U64(); }) : 0;
}

std::vector<platform::WindowHandle> HelperDesktop::TopLevelWindows() {
  auto answer = helper_.Call(Op::kTopLevelWindows);
  if (!answer) {
    return {};
  }
  return ReadAnswer(helper_, *answer, [](auto& r) {
    uint32_t count = r.U32();
    std::vector<platform::WindowHandle> windows;
    for (uint32_t i = 0; i < count; ++i) {
      windows.push_back(r.U64());  // a count past the fields runs out of them
    }
    return windows;
  });
}

std::string HelperDesktop::WindowCaption(platform::WindowHandle window) {
  auto answer = helper_.Call(Op::kWindowCaption, Fields().U64(window).bytes());
  if (!answer) {
    return {};
  }
  std::string caption = ReadAnswer(helper_, *answer, [](auto& r) { return r.Text(); });
  if (caption.size() > platform::kMaxCaption) {
    helper_.BadAnswer("a caption of " + std::to_string(caption.size()) + " characters");
  }
  return caption;
}

platform::WindowHandle HelperDesktop::FindWindowByCaption(std::string_view caption) {
  auto answer = Ask(Op::kFindWindow, "window search", Fields().Text(caption));
  return answer ? ReadAnswer(helper_, *answer, [](auto& r) { return r.U64(); }) : 0;
}

uint32_t HelperDesktop::WindowProcessId(platform::WindowHandle window) {
  auto answer = helper_.Call(Op::kWindowProcessId, Fields().U64(window).bytes());
  return answer ? ReadAnswer(helper_, *answer, [](auto& r) { return r.U32(); }) : 0;
}

bool HelperDesktop::TerminateProcess(uint32_t process_id, uint32_t exit_code) {
  auto answer = Ask(Op::kTerminateProcess, "process end", Fields().U32(process_id).U32(exit_code));
  if (!answer) {
    return false;
  }
  if (ReadAnswer(helper_, *answer, [](auto& r) { return r.U8() != 0; })) {
    return true;
  }
  if (!helper_.TerminateInConsoleSession(process_id, exit_code)) {
    return false;
  }
  if (log_) {
    log_("kill: process " + std::to_string(process_id) +
         " was ended by the service: the customer's rights did not allow it");
  }
  return true;
}

platform::Desktop::OwnerEnd HelperDesktop::EndWindowOwner(std::string_view caption,
                                                          uint32_t exit_code) {
  auto answer = Ask(Op::kEndWindowOwner, "process end", Fields().Text(caption).U32(exit_code));
  if (!answer) {
    return {};
  }
  OwnerEnd end = ReadAnswer(helper_, *answer, [](auto& r) {
    OwnerEnd read;
    read.process_id = r.U32();
    read.ended = r.U8() != 0;
    return read;
  });
  if (end.process_id == 0 || end.ended) {
    return end;
  }
  end.ended = helper_.TerminateInConsoleSession(end.process_id, exit_code);
  if (end.ended && log_) {
    log_("kill: process " + std::to_string(end.process_id) +
         " was ended by the service: the customer's rights did not allow it");
  }
  return end;
}

platform::Desktop::Start HelperDesktop::ShellOpen(const std::string& file,
                                                  const std::string& parameters,
                                                  const std::string& directory, int show_command) {
  auto answer =
      helper_.Call(Op::kShellOpen,
                   Fields().Text(file).Text(parameters).Text(directory).I32(show_command).bytes());
  if (!answer) {
    throw platform::PlatformError("nobody is logged on at the console");
  }
  return ReadAnswer(helper_, *answer, [](auto& r) { return r.U8() != 0; }) ? Start::kHandedOff
                                                                           : Start::kStarted;
}

void HelperDesktop::BroadcastMonitorPower(int32_t state) {
  if (auto answer = Ask(Op::kMonitorPower, "monitor power", Fields().I32(state))) {
    ReadAnswer(helper_, *answer, [](auto&) { return 0; });
  }
}

void HelperDesktop::SendSystemCommand(platform::WindowHandle window, uint32_t command) {
  if (auto answer = Ask(Op::kSystemCommand, "window command", Fields().U64(window).U32(command))) {
    ReadAnswer(helper_, *answer, [](auto&) { return 0; });
  }
}

void HelperDesktop::SetCursorPosition(int32_t x, int32_t y) {
  if (auto answer = Ask(Op::kSetCursor, "mouse pointer move", Fields().I32(x).I32(y))) {
    ReadAnswer(helper_, *answer, [](auto&) { return 0; });
  }
}

void HelperDesktop::MessageBeep(uint32_t type) {
  if (auto answer = Ask(Op::kMessageBeep, "beep", Fields().U32(type))) {
    ReadAnswer(helper_, *answer, [](auto&) { return 0; });
  }
}

platform::LockOrder HelperDesktop::TellLockScreensToLock() {
  auto answer = helper_.Call(Op::kLockLockScreens);
  if (!answer) {
    return {};
  }
  return ReadAnswer(helper_, *answer, [](auto& r) {
    platform::LockOrder order;
    order.told = r.U32();
    order.already_locked = r.U32();
    return order;
  });
}

std::string HelperMixer::Ask(Op op, const Fields& fields) {
  std::optional<std::string> answer = helper_.Call(op, fields.bytes());
  if (!answer) {
    throw platform::PlatformError("nobody is logged on at the console: no speakers to set");
  }
  return *answer;
}

platform::SpeakerControls HelperMixer::OpenSpeakerControls() {
  // Never throws: speakers that can't be reached now are simply missing.
  try {
    std::string answer = Ask(Op::kOpenSpeakers);
    return ReadAnswer(helper_, answer, [](auto& r) {
      platform::SpeakerControls controls;
      controls.volume = r.U8() != 0;
      controls.mute = r.U8() != 0;
      return controls;
    });
  } catch (const platform::PlatformError&) {
    return {};
  } catch (const platform::HelperFailure&) {
    return {};
  }
}

void HelperMixer::SetVolumeLevels(platform::StereoLevels levels) {
  std::string answer = Ask(Op::kSetVolumeLevels, Fields().U32(levels.left).U32(levels.right));
  ReadAnswer(helper_, answer, [](auto&) { return 0; });
}

platform::StereoLevels HelperMixer::VolumeLevels() {
  std::string answer = Ask(Op::kVolumeLevels);
  return ReadAnswer(helper_, answer, [](auto& r) {
    platform::StereoLevels levels;
    levels.left = r.U32();
    levels.right = r.U32();
    return levels;
  });
}

void HelperMixer::SetMute(bool on) {
  std::string answer = Ask(Op::kSetMute, Fields().U8(on ? 1 : 0));
  ReadAnswer(helper_, answer, [](auto&) { return 0; });
}

}  // namespace zalvo::agent
