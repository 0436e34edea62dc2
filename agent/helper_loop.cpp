#include "agent/helper_loop.h"

#include <array>
#include <chrono>
#include <mutex>
#include <optional>

#include "agent/hand_off_desktop.h"
#include "platform/error.h"
#include "protocol/helper_ops.h"

namespace zalvo::agent {
namespace {

namespace helper = protocol::helper;
using helper::Fields;
using helper::Op;

// The payload of the reply to a request of the operation: the request read
// as the operation's (FrameError when it does not read), carried out, and
// its reply after the status.
template <typename Operation, typename Action>
std::string Serve(std::string_view payload, Action&& carry) {
  const auto request = helper::Decode<typename Operation::Request>(payload);
  const typename Operation::Reply reply = carry(request);
  std::string answer =
      Fields().U8(static_cast<uint8_t>(helper::Status::kDone)).bytes() + helper::Encode(reply);
  if (answer.size() > helper::kMaxHelperPayload) {
    // Refused, not sent: the channel would not carry it.
    throw platform::PlatformError("a reply of " + std::to_string(answer.size()) +
                                  " bytes is longer than the channel allows");
  }
  return answer;
}

std::string Carry(const helper::Frame& request, const platform::DesktopRoles& desktop,
                  platform::Mixer& mixer, platform::LockScreenWindows* lock_screens) {
  using helper::Nothing;
  const std::string_view in = request.payload;
  switch (static_cast<Op>(request.kind)) {
    case Op::kWindowList:
      return Serve<helper::WindowList>(in, [&](const Nothing&) {
        // A list too long for one reply is cut after the last whole entry
        // that fits, as the server's reply is.
        helper::WindowList::Reply reply;
        size_t size = 1 + helper::Encode(reply).size();  // the status and the count
        for (platform::TopWindows::CaptionedWindow& window :
             desktop.windows.TopLevelWindowsWithCaptions()) {
          helper::CaptionedWindow entry{window.handle, std::move(window.caption)};
          const size_t entry_size = helper::Encode(entry).size();
          if (size + entry_size > helper::kMaxHelperPayload) {
            break;
          }
          size += entry_size;
          reply.windows.push_back(std::move(entry));
        }
        return reply;
      });
    case Op::kForegroundWindow:
      return Serve<helper::ForegroundWindow>(in, [&](const Nothing&) {
        platform::TopWindows::CaptionedWindow window =
            desktop.windows.ForegroundWindowWithCaption();
        return helper::CaptionedWindow{window.handle, std::move(window.caption)};
      });
    case Op::kFindWindow:
      return Serve<helper::FindWindow>(in, [&](const helper::CaptionField& r) {
        return helper::WindowField{desktop.windows.FindWindowByCaption(r.caption)};
      });
    case Op::kWindowProcessId:
      return Serve<helper::WindowProcessId>(in, [&](const helper::WindowField& r) {
        return helper::WindowProcessId::Reply{desktop.windows.WindowProcessId(r.window)};
      });
    case Op::kTerminateProcess:
      return Serve<helper::TerminateProcess>(in, [&](const helper::TerminateProcess::Request& r) {
        return helper::DoneField{desktop.windows.TerminateProcess(r.process_id, r.exit_code)};
      });
    case Op::kEndWindowOwner:
      return Serve<helper::EndWindowOwner>(in, [&](const helper::EndWindowOwner::Request& r) {
        const platform::TopWindows::OwnerEnd end =
            desktop.windows.EndWindowOwner(r.caption, r.exit_code);
        return helper::EndWindowOwner::Reply{end.process_id, end.ended};
      });
    case Op::kShellOpen:
      return Serve<helper::ShellOpen>(in, [&](const helper::ShellOpen::Request& r) {
        const platform::Shell::Start start =
            desktop.shell.ShellOpen(r.file, r.parameters, r.directory, r.show);
        return helper::ShellOpen::Reply{start == platform::Shell::Start::kHandedOff};
      });
    case Op::kLockWorkStation:
      return Serve<helper::LockWorkStation>(in, [&](const Nothing&) {
        return helper::DoneField{desktop.presence.LockWorkStation()};
      });
    case Op::kMonitorPower:
      return Serve<helper::MonitorPower>(in, [&](const helper::MonitorPower::Request& r) {
        desktop.presence.BroadcastMonitorPower(r.state);
        return Nothing{};
      });
    case Op::kSetCursor:
      return Serve<helper::SetCursor>(in, [&](const helper::SetCursor::Request& r) {
        desktop.presence.SetCursorPosition(r.x, r.y);
        return Nothing{};
      });
    case Op::kMessageBeep:
      return Serve<helper::MessageBeep>(in, [&](const helper::MessageBeep::Request& r) {
        desktop.presence.MessageBeep(r.type);
        return Nothing{};
      });
    case Op::kOpenSpeakers:
      return Serve<helper::OpenSpeakers>(in, [&](const Nothing&) {
        const platform::SpeakerControls controls = mixer.OpenSpeakerControls();
        return helper::OpenSpeakers::Reply{controls.volume, controls.mute};
      });
    case Op::kSetVolumeLevels:
      return Serve<helper::SetVolumeLevels>(in, [&](const helper::Levels& r) {
        mixer.SetVolumeLevels({r.left, r.right});
        return Nothing{};
      });
    case Op::kVolumeLevels:
      return Serve<helper::VolumeLevels>(in, [&](const Nothing&) {
        const platform::StereoLevels levels = mixer.VolumeLevels();
        return helper::Levels{levels.left, levels.right};
      });
    case Op::kSetMute:
      return Serve<helper::SetMute>(in, [&](const helper::SetMute::Request& r) {
        mixer.SetMute(r.on);
        return Nothing{};
      });
    case Op::kShowMessage:
      return Serve<helper::ShowMessage>(in, [&](const helper::ShowMessage::Request& r) {
        return helper::DoneField{
            desktop.presence.ShowMessage(r.text, std::chrono::milliseconds(r.shown_ms))};
      });
    case Op::kLockLockScreens:
      return Serve<helper::LockLockScreens>(in, [&](const Nothing&) {
        if (lock_screens == nullptr) {
          throw platform::PlatformError("this helper can't reach the lock screen's windows");
        }
        const platform::LockOrder order = lock_screens->TellToLock();
        return helper::LockLockScreens::Reply{order.told, order.already_locked};
      });
  }
  return Fields().U8(static_cast<uint8_t>(helper::Status::kUnknown)).bytes();
}

}  // namespace

std::string HelloFrame(uint32_t process_id) {
  return helper::EncodeFrame(helper::kHelloKind, 0, Fields().U32(process_id).bytes());
}

std::string EventFrame(const helper::Outcome& outcome) {
  return helper::EncodeFrame(helper::kEventKind, 0, helper::EncodeOutcome(outcome));
}

std::string AnswerRequest(const helper::Frame& request, const platform::DesktopRoles& desktop,
                          platform::Mixer& mixer, platform::LockScreenWindows* lock_screens) {
  std::string reply;
  try {
    reply = Carry(request, desktop, mixer, lock_screens);
  } catch (const platform::PlatformError& e) {
    reply = Fields()
                .U8(static_cast<uint8_t>(helper::Status::kRefused))
                .U8(static_cast<uint8_t>(e.kind()))
                .Text(e.what())
                .bytes();
  }
  return helper::EncodeFrame(helper::kReplyKind, request.id, reply);
}

int ServeHelperChannel(HelperStream& stream, platform::Desktop& desktop, platform::Mixer& mixer,
                       uint32_t process_id, const platform::LogSink& log,
                       platform::LockScreenWindows* lock_screens) {
  const platform::LogSink& say = log;
  // The replies of this thread and the events of the hand-off's threads
  // share the channel: one frame at a time.
  std::mutex writing;
  bool broken = false;
  auto write = [&](const std::string& frame) {
    std::lock_guard lock(writing);
    broken = broken || !stream.Write(frame);
    return !broken;
  };
  if (!write(HelloFrame(process_id))) {
    say("session helper: the hello could not be written");
    return 1;
  }
  HandOffDesktop hand_off(desktop, desktop, [&](const helper::Outcome& outcome) {
    if (!write(EventFrame(outcome))) {
      say("session helper: an event could not be written: " + OutcomeLine(outcome));
    }
  });
  helper::FrameAssembler assembler;
  std::array<char, 4096> buffer{};
  try {
    for (;;) {
      while (std::optional<helper::Frame> request = assembler.Next()) {
        if (!write(AnswerRequest(*request, {desktop, hand_off, hand_off, desktop}, mixer,
                                 lock_screens))) {
          say("session helper: a reply could not be written");
          return 1;
        }
      }
      size_t n = stream.Read(buffer.data(), buffer.size());
      if (n == 0) {
        return 0;
      }
      assembler.Add(std::string_view(buffer.data(), n));
    }
  } catch (const helper::FrameError& e) {
    say(std::string("session helper: ") + e.what());
    return 1;
  }
}

}  // namespace zalvo::agent
