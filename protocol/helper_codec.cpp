#include "protocol/helper_codec.h"

namespace zalvo::protocol::helper {
namespace {

constexpr char kMagic0 = 'Z';
constexpr char kMagic1 = 'H';

void PutLittleEndian(std::string& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

uint64_t GetLittleEndian(std::string_view bytes) {
  uint64_t value = 0;
  for (size_t i = bytes.size(); i-- > 0;) {
    value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  }
  return value;
}

uint32_t PayloadLength(std::string_view header) {
  return static_cast<uint32_t>(GetLittleEndian(header.substr(8, 4)));
}

}  // namespace

Fields& Fields::U8(uint8_t value) {
  bytes_.push_back(static_cast<char>(value));
  return *this;
}

Fields& Fields::U32(uint32_t value) {
  PutLittleEndian(bytes_, value, 4);
  return *this;
}

Fields& Fields::U64(uint64_t value) {
  PutLittleEndian(bytes_, value, 8);
  return *this;
}

Fields& Fields::Text(std::string_view text) {
  U32(static_cast<uint32_t>(text.size()));
  bytes_.append(text);
  return *this;
}

std::string_view FieldReader::Take(size_t n) {
  if (rest_.size() < n) {
    throw FrameError("a field runs past the end of the frame");
  }
  std::string_view taken = rest_.substr(0, n);
  rest_.remove_prefix(n);
  return taken;
}

uint8_t FieldReader::U8() {
  return static_cast<uint8_t>(Take(1)[0]);
}

uint32_t FieldReader::U32() {
  return static_cast<uint32_t>(GetLittleEndian(Take(4)));
}

uint64_t FieldReader::U64() {
  return GetLittleEndian(Take(8));
}

std::string FieldReader::Text() {
  uint32_t length = U32();
  return std::string(Take(length));
}

void FieldReader::Done() const {
  if (!rest_.empty()) {
    throw FrameError(std::to_string(rest_.size()) + " bytes left over after the last field");
  }
}

std::string EncodeFrame(uint8_t kind, uint32_t id, std::string_view payload) {
  if (payload.size() > kMaxHelperPayload) {
    throw FrameError("a payload of " + std::to_string(payload.size()) + " bytes is too long");
  }
  std::string frame;
  frame.reserve(kHeaderSize + payload.size());
  frame.push_back(kMagic0);
  frame.push_back(kMagic1);
  frame.push_back(static_cast<char>(kVersion));
  frame.push_back(static_cast<char>(kind));
  PutLittleEndian(frame, id, 4);
  PutLittleEndian(frame, payload.size(), 4);
  frame.append(payload);
  return frame;
}

void FrameAssembler::CheckHeader() const {
  std::string_view have(buffer_);
  if (have.size() >= 1 && have[0] != kMagic0) {
    throw FrameError("not a frame of the helper channel");
  }
  if (have.size() >= 2 && have[1] != kMagic1) {
    throw FrameError("not a frame of the helper channel");
  }
  if (have.size() >= 3 && static_cast<uint8_t>(have[2]) != kVersion) {
    throw FrameError("a frame of version " + std::to_string(static_cast<uint8_t>(have[2])) +
                     ", not " + std::to_string(kVersion));
  }
  if (have.size() >= kHeaderSize && PayloadLength(have) > kMaxHelperPayload) {
    throw FrameError("a frame of " + std::to_string(PayloadLength(have)) +
                     " bytes is longer than the channel allows");
  }
}

void FrameAssembler::Add(std::string_view bytes) {
  buffer_.append(bytes);
  CheckHeader();
}

std::optional<Frame> FrameAssembler::Next() {
  if (buffer_.size() < kHeaderSize) {
    return std::nullopt;
  }
  std::string_view have(buffer_);
  size_t total = kHeaderSize + PayloadLength(have);
  if (buffer_.size() < total) {
    return std::nullopt;
  }
  Frame frame;
  frame.kind = static_cast<uint8_t>(have[3]);
  frame.id = static_cast<uint32_t>(GetLittleEndian(have.substr(4, 4)));
  frame.payload = std::string(have.substr(kHeaderSize, total - kHeaderSize));
  buffer_.erase(0, total);
  CheckHeader();
  return frame;
}

std::string EncodeOutcome(const Outcome& outcome) {
  return Fields()
      .U8(static_cast<uint8_t>(outcome.action))
      .Text(outcome.subject)
      .U8(outcome.done ? 1 : 0)
      .I64(outcome.code)
      .Text(outcome.reason)
      .bytes();
}

Outcome DecodeOutcome(std::string_view payload) {
  FieldReader reader(payload);
  Outcome outcome;
  uint8_t action = reader.U8();
  if (action < static_cast<uint8_t>(Outcome::Action::kProgramStart) ||
      action > static_cast<uint8_t>(Outcome::Action::kMonitorPower)) {
    throw FrameError("an event of unknown action " + std::to_string(action));
  }
  outcome.action = static_cast<Outcome::Action>(action);
  outcome.subject = reader.Text();
  outcome.done = reader.U8() != 0;
  outcome.code = reader.I64();
  outcome.reason = reader.Text();
  reader.Done();
  return outcome;
}

Frame DecodeFrame(std::string_view bytes) {
  FrameAssembler assembler;
  assembler.Add(bytes);
  std::optional<Frame> frame = assembler.Next();
  if (!frame || assembler.Partial()) {
    throw FrameError("not exactly one frame");
  }
  return *frame;
}

}  // namespace zalvo::protocol::helper
