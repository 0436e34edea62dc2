// The channel between the agent service and its session helper: the helper
// runs in the customer's Windows session and carries out the desktop actions
// there, one request at a time, each answered by one reply.
//
// Every message is one frame: a 12-byte header, then the payload.
//
//   "ZH"  version  kind  id (4 bytes)  payload length (4 bytes)
//
// Numbers are little-endian. The kind is a request's operation, or one of
// the two frames the helper sends of its own: the reply to the request with
// the same id, and the hello it sends once, first, when it starts. The
// payload is a sequence of fields: 1-, 4- and 8-byte numbers and texts (a
// 4-byte length, then the Windows-1251 bytes). A frame of another version, a
// payload longer than kMaxHelperPayload, or fields that don't fill the
// payload exactly are refused with FrameError.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::protocol::helper {

inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kHeaderSize = 12;
// A window list of a few thousand windows fits; a reply longer than this is
// a helper gone wrong.
inline constexpr uint32_t kMaxHelperPayload = 256 * 1024;

// The helper's requests, by what they do in the customer's session.
enum class Op : uint8_t {
  kForegroundWindow = 1,  // -> u64 window
  kTopLevelWindows = 2,   // -> u32 count, count x u64 window
  kWindowCaption = 3,     // u64 window -> text
  kFindWindow = 4,        // text caption -> u64 window
  kWindowProcessId = 5,   // u64 window -> u32 process id
  kTerminateProcess = 6,  // u32 process id, u32 exit code -> u8 ended
  kShellOpen = 7,         // text file, text parameters, text directory, i32 show -> u8 started
  kLockWorkStation = 8,   // -> u8 locked
  kMonitorPower = 9,      // i32 state -> nothing
  kSystemCommand = 10,    // u64 window, u32 command -> nothing
  kSetCursor = 11,        // i32 x, i32 y -> nothing
  kMessageBeep = 12,      // u32 type -> nothing
  kOpenSpeakers = 13,     // -> u8 volume control, u8 mute control
  kSetVolumeLevels = 14,  // u32 left, u32 right -> nothing
  kVolumeLevels = 15,     // -> u32 left, u32 right
  kSetMute = 16,          // u8 on -> nothing
  // The lock order to the installed lock screen's windows of the session.
  kLockLockScreens = 17,  // -> u32 told, u32 already locked
};
inline constexpr uint8_t kReplyKind = 0x80;
inline constexpr uint8_t kHelloKind = 0x81;

// The first field of every reply.
enum class Status : uint8_t {
  kDone = 0,     // the fields of the operation follow
  kRefused = 1,  // the system refused: i64 code, text reason follow
  kUnknown = 2,  // the helper does not know the operation
};

class FrameError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Frame {
  uint8_t kind = 0;
  uint32_t id = 0;
  std::string payload;
};

// Builds a payload field by field.
class Fields {
 public:
  Fields& U8(uint8_t value);
  Fields& U32(uint32_t value);
  Fields& I32(int32_t value) { return U32(static_cast<uint32_t>(value)); }
  Fields& U64(uint64_t value);
  Fields& I64(int64_t value) { return U64(static_cast<uint64_t>(value)); }
  Fields& Text(std::string_view text);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Reads a payload field by field; a field past the end throws FrameError,
// and Done throws when bytes are left over.
class FieldReader {
 public:
  explicit FieldReader(std::string_view payload) : rest_(payload) {}
  uint8_t U8();
  uint32_t U32();
  int32_t I32() { return static_cast<int32_t>(U32()); }
  uint64_t U64();
  int64_t I64() { return static_cast<int64_t>(U64()); }
  std::string Text();
  void Done() const;

 private:
  std::string_view Take(size_t n);
  std::string_view rest_;
};

// The bytes of a whole frame.
std::string EncodeFrame(uint8_t kind, uint32_t id, std::string_view payload);

// Collects frames from a byte stream that arrives in pieces of any size.
class FrameAssembler {
 public:
  // Adds bytes that arrived. Throws FrameError as soon as a header is wrong.
  void Add(std::string_view bytes);
  // The next whole frame, if one has arrived.
  std::optional<Frame> Next();
  // Bytes of a frame begun but not finished.
  bool Partial() const { return !buffer_.empty(); }

 private:
  void CheckHeader() const;
  std::string buffer_;
};

// A whole frame from its bytes; FrameError when they are not exactly one.
Frame DecodeFrame(std::string_view bytes);

}  // namespace zalvo::protocol::helper
