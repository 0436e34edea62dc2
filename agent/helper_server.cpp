#include "agent/helper_server.h"

#include <array>
#include <mutex>
#include <optional>

#include "agent/hand_off_desktop.h"
#include "platform/error.h"

namespace zalvo::agent {
namespace {

namespace helper = protocol::helper;
using helper::Fields;
using helper::Op;

Fields Done() {
  return Fields().U8(static_cast<uint8_t>(helper::Status::kDone));
}

Fields Carry(const helper::Frame& request, platform::Desktop& desktop, platform::Mixer& mixer,
             platform::LockScreenWindows* lock_screens) {
  helper::FieldReader in(request.payload);
  Fields out = Done();
  switch (static_cast<Op>(request.kind)) {
    case Op::kForegroundWindow:
      in.Done();
      return out.U64(desktop.ForegroundWindow());
    case Op::kTopLevelWindows: {
      in.Done();
      std::vector<platform::WindowHandle> windows = desktop.TopLevelWindows();
      out.U32(static_cast<uint32_t>(windows.size()));
      for (platform::WindowHandle window : windows) {
        out.U64(window);
      }
      return out;
    }
    case Op::kWindowCaption: {
      uint64_t window = in.U64();
      in.Done();
      return out.Text(desktop.WindowCaption(window));
    }
    case Op::kFindWindow: {
      std::string caption = in.Text();
      in.Done();
      return out.U64(desktop.FindWindowByCaption(caption));
    }
    case Op::kWindowProcessId: {
      uint64_t window = in.U64();
      in.Done();
      return out.U32(desktop.WindowProcessId(window));
    }
    case Op::kTerminateProcess: {
      uint32_t process_id = in.U32();
      uint32_t exit_code = in.U32();
      in.Done();
      return out.U8(desktop.TerminateProcess(process_id, exit_code) ? 1 : 0);
    }
    case Op::kEndWindowOwner: {
      std::string caption = in.Text();
      uint32_t exit_code = in.U32();
      in.Done();
      platform::Desktop::OwnerEnd end = desktop.EndWindowOwner(caption, exit_code);
      return out.U32(end.process_id).U8(end.ended ? 1 : 0);
    }
    case Op::kShellOpen: {
      std::string file = in.Text();
      std::string parameters = in.Text();
      std::string directory = in.Text();
      int32_t show = in.I32();
      in.Done();
      platform::Desktop::Start start = desktop.ShellOpen(file, parameters, directory, show);
      return out.U8(start == platform::Desktop::Start::kHandedOff ? 1 : 0);
    }
    case Op::kLockWorkStation:
      in.Done();
      return out.U8(desktop.LockWorkStation() ? 1 : 0);
    case Op::kMonitorPower: {
      int32_t state = in.I32();
      in.Done();
      desktop.BroadcastMonitorPower(state);
      return out;
    }
    case Op::kSetCursor: {
      int32_t x = in.I32();
      int32_t y = in.I32();
      in.Done();
      desktop.SetCursorPosition(x, y);
      return out;
    }
    case Op::kMessageBeep: {
      uint32_t type = in.U32();
      in.Done();
      desktop.MessageBeep(type);
      return out;
    }
    case Op::kOpenSpeakers: {
      in.Done();
      platform::SpeakerControls controls = mixer.OpenSpeakerControls();
      return out.U8(controls.volume ? 1 : 0).U8(controls.mute ? 1 : 0);
    }
    case Op::kSetVolumeLevels: {
      platform::StereoLevels levels;
      levels.left = in.U32();
      levels.right = in.U32();
      in.Done();
      mixer.SetVolumeLevels(levels);
      return out;
    }
    case Op::kVolumeLevels: {
      in.Done();
      platform::StereoLevels levels = mixer.VolumeLevels();
      return out.U32(levels.left).U32(levels.right);
    }
    case Op::kSetMute: {
      uint8_t on = in.U8();
      in.Done();
      mixer.SetMute(on != 0);
      return out;
    }
    case Op::kLockLockScreens: {
      in.Done();
      if (lock_screens == nullptr) {
        throw platform::PlatformError("this helper can't reach the lock screen's windows");
      }
      const platform::LockOrder order = lock_screens->TellToLock();
      return out.U32(order.told).U32(order.already_locked);
    }
  }
  return Fields().U8(static_cast<uint8_t>(helper::Status::kUnknown));
}

}  // namespace

std::string HelloFrame(uint32_t process_id) {
  return helper::EncodeFrame(helper::kHelloKind, 0, Fields().U32(process_id).bytes());
}

std::string EventFrame(const helper::Outcome& outcome) {
  return helper::EncodeFrame(helper::kEventKind, 0, helper::EncodeOutcome(outcome));
}

std::string AnswerRequest(const helper::Frame& request, platform::Desktop& desktop,
                          platform::Mixer& mixer, platform::LockScreenWindows* lock_screens) {
  Fields reply;
  try {
    reply = Carry(request, desktop, mixer, lock_screens);
  } catch (const platform::PlatformError& e) {
    reply =
        Fields().U8(static_cast<uint8_t>(helper::Status::kRefused)).I64(e.code()).Text(e.what());
  }
  return helper::EncodeFrame(helper::kReplyKind, request.id, reply.bytes());
}

int ServeHelperChannel(HelperStream& stream, platform::Desktop& desktop, platform::Mixer& mixer,
                       uint32_t process_id, const LogSink& log,
                       platform::LockScreenWindows* lock_screens) {
  auto say = [&](const std::string& line) {
    if (log) {
      log(line);
    }
  };
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
  HandOffDesktop hand_off(desktop, [&](const helper::Outcome& outcome) {
    if (!write(EventFrame(outcome))) {
      say("session helper: an event could not be written: " + OutcomeLine(outcome));
    }
  });
  helper::FrameAssembler assembler;
  std::array<char, 4096> buffer{};
  try {
    for (;;) {
      while (std::optional<helper::Frame> request = assembler.Next()) {
        if (!write(AnswerRequest(*request, hand_off, mixer, lock_screens))) {
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
