// The operations of the helper channel (protocol/helper_codec.h carries
// their frames): each one's request and reply, written once here and used by
// both ends, the service that asks and the helper that answers.
//
// A message lists its fields once, in the order they travel, in Tie; the
// same list writes and reads it. A field is a bool or a uint8_t (1 byte), a
// 4- or 8-byte number, a text, a message, or a list of them (a u32 count,
// then each). A reply's fields follow its status (Status::kDone).
//
// The service gives each answer at most 2 seconds (agent/helper_supervisor.h);
// the helper's worst case is beside each operation, and none waits on another
// program: the calls that could (a program start, a window message) are
// handed to a thread of the helper's and answered at once
// (agent/hand_off_desktop.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "protocol/helper_codec.h"

namespace zalvo::protocol::helper {

// A number is never given to another operation: 1 to 3 and 10 were those of
// earlier builds.
enum class Op : uint8_t {
  kFindWindow = 4,
  kWindowProcessId = 5,
  kTerminateProcess = 6,
  kShellOpen = 7,
  kLockWorkStation = 8,
  kMonitorPower = 9,
  kSetCursor = 11,
  kMessageBeep = 12,
  kOpenSpeakers = 13,
  kSetVolumeLevels = 14,
  kVolumeLevels = 15,
  kSetMute = 16,
  kLockLockScreens = 17,
  kEndWindowOwner = 18,
  kWindowList = 19,
  kForegroundWindow = 20,
  kShowMessage = 21,
};

// A message without fields.
struct Nothing {
  static auto Tie(auto&) { return std::tie(); }
  bool operator==(const Nothing&) const = default;
};

// One field of a message, as both ends see it.
struct WindowField {
  uint64_t window = 0;
  static auto Tie(auto& m) { return std::tie(m.window); }
  bool operator==(const WindowField&) const = default;
};
struct CaptionField {
  std::string caption;
  static auto Tie(auto& m) { return std::tie(m.caption); }
  bool operator==(const CaptionField&) const = default;
};
struct DoneField {
  bool done = false;
  static auto Tie(auto& m) { return std::tie(m.done); }
  bool operator==(const DoneField&) const = default;
};

struct CaptionedWindow {
  uint64_t window = 0;
  std::string caption;
  static auto Tie(auto& m) { return std::tie(m.window, m.caption); }
  bool operator==(const CaptionedWindow&) const = default;
};

// All top-level windows in the system's order, each with its caption: what
// "ACTION PROCESS" lists, in one round trip however many windows there are.
// At once (no message is sent: another process's caption is read, not asked
// for).
struct WindowList {
  static constexpr Op kOp = Op::kWindowList;
  using Request = Nothing;
  struct Reply {
    std::vector<CaptionedWindow> windows;
    static auto Tie(auto& m) { return std::tie(m.windows); }
    bool operator==(const Reply&) const = default;
  };
};

// The foreground window with its caption (0 and none when there is no
// foreground window): what "ACTION INFO" reports, in one round trip. At once.
struct ForegroundWindow {
  static constexpr Op kOp = Op::kForegroundWindow;
  using Request = Nothing;
  using Reply = CaptionedWindow;
};

// The first top-level window with the caption; 0 when none. At once.
struct FindWindow {
  static constexpr Op kOp = Op::kFindWindow;
  using Request = CaptionField;
  using Reply = WindowField;
};

// The process that created a window; 0 when it is gone. At once.
struct WindowProcessId {
  static constexpr Op kOp = Op::kWindowProcessId;
  using Request = WindowField;
  struct Reply {
    uint32_t process_id = 0;
    static auto Tie(auto& m) { return std::tie(m.process_id); }
    bool operator==(const Reply&) const = default;
  };
};

// Ends a process as the customer; done: it was ended. At once (the end is
// not waited for).
struct TerminateProcess {
  static constexpr Op kOp = Op::kTerminateProcess;
  struct Request {
    uint32_t process_id = 0;
    uint32_t exit_code = 0;
    static auto Tie(auto& m) { return std::tie(m.process_id, m.exit_code); }
    bool operator==(const Request&) const = default;
  };
  using Reply = DoneField;
};

// Ends the process that owns the first top-level window with the caption, as
// the customer. At once (the end is not waited for).
struct EndWindowOwner {
  static constexpr Op kOp = Op::kEndWindowOwner;
  struct Request {
    std::string caption;
    uint32_t exit_code = 0;
    static auto Tie(auto& m) { return std::tie(m.caption, m.exit_code); }
    bool operator==(const Request&) const = default;
  };
  struct Reply {
    uint32_t process_id = 0;  // 0: no such window
    bool ended = false;
    static auto Tie(auto& m) { return std::tie(m.process_id, m.ended); }
    bool operator==(const Reply&) const = default;
  };
};

// Opens a file with the shell; handed_off: the helper's thread starts it and
// the outcome comes as an event. Refused when kMaxPendingStarts wait already.
// At once.
struct ShellOpen {
  static constexpr Op kOp = Op::kShellOpen;
  struct Request {
    std::string file;
    std::string parameters;
    std::string directory;
    int32_t show = 0;
    static auto Tie(auto& m) { return std::tie(m.file, m.parameters, m.directory, m.show); }
    bool operator==(const Request&) const = default;
  };
  struct Reply {
    bool handed_off = false;
    static auto Tie(auto& m) { return std::tie(m.handed_off); }
    bool operator==(const Reply&) const = default;
  };
};

// Locks the workstation; done: the system locked it. At once.
struct LockWorkStation {
  static constexpr Op kOp = Op::kLockWorkStation;
  using Request = Nothing;
  using Reply = DoneField;
};

// The monitor's power state to every window. At once; a failure is an event.
struct MonitorPower {
  static constexpr Op kOp = Op::kMonitorPower;
  struct Request {
    int32_t state = 0;
    static auto Tie(auto& m) { return std::tie(m.state); }
    bool operator==(const Request&) const = default;
  };
  using Reply = Nothing;
};

// Moves the mouse pointer. At once.
struct SetCursor {
  static constexpr Op kOp = Op::kSetCursor;
  struct Request {
    int32_t x = 0;
    int32_t y = 0;
    static auto Tie(auto& m) { return std::tie(m.x, m.y); }
    bool operator==(const Request&) const = default;
  };
  using Reply = Nothing;
};

// A beep of the system's. At once (the sound plays on).
struct MessageBeep {
  static constexpr Op kOp = Op::kMessageBeep;
  struct Request {
    uint32_t type = 0;
    static auto Tie(auto& m) { return std::tie(m.type); }
    bool operator==(const Request&) const = default;
  };
  using Reply = Nothing;
};

// The speakers' controls, volume levels and mute: each a call to the audio
// service, milliseconds.
struct OpenSpeakers {
  static constexpr Op kOp = Op::kOpenSpeakers;
  using Request = Nothing;
  struct Reply {
    bool volume = false;
    bool mute = false;
    static auto Tie(auto& m) { return std::tie(m.volume, m.mute); }
    bool operator==(const Reply&) const = default;
  };
};
struct Levels {
  uint32_t left = 0;
  uint32_t right = 0;
  static auto Tie(auto& m) { return std::tie(m.left, m.right); }
  bool operator==(const Levels&) const = default;
};
struct SetVolumeLevels {
  static constexpr Op kOp = Op::kSetVolumeLevels;
  using Request = Levels;
  using Reply = Nothing;
};
struct VolumeLevels {
  static constexpr Op kOp = Op::kVolumeLevels;
  using Request = Nothing;
  using Reply = Levels;
};
struct SetMute {
  static constexpr Op kOp = Op::kSetMute;
  struct Request {
    bool on = false;
    static auto Tie(auto& m) { return std::tie(m.on); }
    bool operator==(const Request&) const = default;
  };
  using Reply = Nothing;
};

// The lock order to the installed lock screen's windows of the session.
// At once (the order is posted).
struct LockLockScreens {
  static constexpr Op kOp = Op::kLockLockScreens;
  using Request = Nothing;
  struct Reply {
    uint32_t told = 0;
    uint32_t already_locked = 0;
    static auto Tie(auto& m) { return std::tie(m.told, m.already_locked); }
    bool operator==(const Reply&) const = default;
  };
};

// A text to the user in the helper's session, in a topmost window that
// takes no keyboard and no front, closed by itself after shown_ms or by a
// click; a newer text replaces it. done: the helper took it. At once: the
// window lives on a thread of the helper's own.
struct ShowMessage {
  static constexpr Op kOp = Op::kShowMessage;
  struct Request {
    std::string text;
    uint32_t shown_ms = 0;
    static auto Tie(auto& m) { return std::tie(m.text, m.shown_ms); }
    bool operator==(const Request&) const = default;
  };
  using Reply = DoneField;
};

// Every operation, once.
using Operations = std::tuple<WindowList, ForegroundWindow, FindWindow, WindowProcessId,
                              TerminateProcess, ShellOpen, LockWorkStation, MonitorPower, SetCursor,
                              MessageBeep, OpenSpeakers, SetVolumeLevels, VolumeLevels, SetMute,
                              LockLockScreens, EndWindowOwner, ShowMessage>;

namespace fields {

template <typename... Operation>
constexpr bool EachOpOnce(const std::tuple<Operation...>*) {
  const Op ops[] = {Operation::kOp...};
  for (size_t i = 0; i < sizeof...(Operation); ++i) {
    for (size_t j = i + 1; j < sizeof...(Operation); ++j) {
      if (ops[i] == ops[j]) {
        return false;
      }
    }
  }
  return true;
}
static_assert(EachOpOnce(static_cast<const Operations*>(nullptr)), "two operations share a kind");

template <typename T>
inline constexpr bool kIsList = false;
template <typename T>
inline constexpr bool kIsList<std::vector<T>> = true;

template <typename T>
void Put(Fields& out, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    out.U8(value ? 1 : 0);
  } else if constexpr (std::is_same_v<T, uint8_t>) {
    out.U8(value);
  } else if constexpr (std::is_same_v<T, uint32_t>) {
    out.U32(value);
  } else if constexpr (std::is_same_v<T, int32_t>) {
    out.I32(value);
  } else if constexpr (std::is_same_v<T, uint64_t>) {
    out.U64(value);
  } else if constexpr (std::is_same_v<T, int64_t>) {
    out.I64(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    out.Text(value);
  } else if constexpr (kIsList<T>) {
    out.U32(static_cast<uint32_t>(value.size()));
    for (const auto& item : value) {
      Put(out, item);
    }
  } else {
    std::apply([&out](const auto&... field) { (Put(out, field), ...); }, T::Tie(value));
  }
}

template <typename T>
void Get(FieldReader& in, T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    value = in.U8() != 0;
  } else if constexpr (std::is_same_v<T, uint8_t>) {
    value = in.U8();
  } else if constexpr (std::is_same_v<T, uint32_t>) {
    value = in.U32();
  } else if constexpr (std::is_same_v<T, int32_t>) {
    value = in.I32();
  } else if constexpr (std::is_same_v<T, uint64_t>) {
    value = in.U64();
  } else if constexpr (std::is_same_v<T, int64_t>) {
    value = in.I64();
  } else if constexpr (std::is_same_v<T, std::string>) {
    value = in.Text();
  } else if constexpr (kIsList<T>) {
    // Every item takes a byte at least: a count past the bytes left is
    // refused before anything is made for it.
    uint32_t count = in.U32();
    if (count > in.Left()) {
      throw FrameError("a list of " + std::to_string(count) + " items in " +
                       std::to_string(in.Left()) + " bytes");
    }
    value.clear();
    value.resize(count);
    for (auto& item : value) {
      Get(in, item);
    }
  } else {
    std::apply([&in](auto&... field) { (Get(in, field), ...); }, T::Tie(value));
  }
}

}  // namespace fields

// The payload of a message.
template <typename Message>
std::string Encode(const Message& message) {
  Fields out;
  fields::Put(out, message);
  return out.bytes();
}

// A message from exactly its payload; FrameError when the payload is short,
// longer, or holds what the message does not allow.
template <typename Message>
Message Decode(std::string_view payload) {
  FieldReader in(payload);
  Message message;
  fields::Get(in, message);
  in.Done();
  return message;
}

}  // namespace zalvo::protocol::helper
