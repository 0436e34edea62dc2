// The channel between the agent service and its session helper: the helper
// runs in the customer's Windows session and carries out the desktop actions
// there, one request at a time, each answered by one reply.
//
// Every message is one frame: a 12-byte header, then the payload.
//
//   "ZH"  version  kind  id (4 bytes)  payload length (4 bytes)
//
// Numbers are little-endian. The kind is a request's operation
// (protocol/helper_ops.h, which gives each one's fields), or one of
// the frames the helper sends of its own: the reply to the request with the
// same id, the hello it sends once, first, when it starts, and an event (id
// 0) that tells what became of an action it answered before it was done.
// The payload is a sequence of fields: 1-, 4- and 8-byte numbers and texts
// (a 4-byte length, then the Windows-1251 bytes). A frame of another
// version, a payload longer than kMaxHelperPayload, or fields that don't
// fill the payload exactly are refused with FrameError.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::protocol::helper {

inline constexpr uint8_t kVersion = 2;
inline constexpr size_t kHeaderSize = 12;
// A window list of a few thousand windows fits; a reply longer than this is
// a helper gone wrong.
inline constexpr uint32_t kMaxHelperPayload = 256 * 1024;

inline constexpr uint8_t kReplyKind = 0x80;
inline constexpr uint8_t kHelloKind = 0x81;
inline constexpr uint8_t kEventKind = 0x82;

// What became of an action the helper answered before it was done: the
// payload of an event frame.
struct Outcome {
  enum class Action : uint8_t { kProgramStart = 1, kMonitorPower = 2 };
  Action action = Action::kProgramStart;
  std::string subject;  // the file started, the monitor state
  bool done = false;
  int64_t code = 0;    // the system's number when not done, for the log line only
  std::string reason;  // the system's words when not done
  bool operator==(const Outcome&) const = default;
};
std::string EncodeOutcome(const Outcome& outcome);
// FrameError when the payload is not an outcome.
Outcome DecodeOutcome(std::string_view payload);

// The first field of every reply.
enum class Status : uint8_t {
  kDone = 0,     // the fields of the operation follow
  kRefused = 1,  // the system refused: u8 kind (platform::ErrorKind), text reason follow
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
  size_t Left() const { return rest_.size(); }
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
