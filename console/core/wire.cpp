#include "console/core/wire.h"

#include <algorithm>

#include "protocol/commands.h"
#include "text/cp1251.h"

namespace zalvo::console::wire {
std::string Sit(int32_t minutes) {
  return protocol::CommandText(protocol::kSit, std::to_string(minutes));
}

std::string Kill(std::string_view caption) {
  return protocol::CommandText(protocol::kKill, caption);
}

std::string Volume(int32_t percent) {
  return protocol::CommandText(protocol::kVolume, std::to_string(percent));
}

std::string Message(std::string_view cp1251) {
  return protocol::CommandText(protocol::kMessage, cp1251);
}

std::optional<std::string> MessageProblem(std::string_view utf8) {
  std::string cp1251 = text::Utf8ToCp1251(utf8);
  auto fault = protocol::MessageFaultOf(cp1251);
  if (fault && fault->kind == protocol::MessageFault::Kind::kEmpty) {
    return "the message is empty";
  }
  if (fault && fault->kind == protocol::MessageFault::Kind::kControl) {
    return "the message holds a control character (a line end or tab, say)";
  }
  if (text::Cp1251ToUtf8(cp1251) != utf8) {
    return "the message holds a character the stations can't show (Latin and Cyrillic "
           "letters, digits and punctuation only)";
  }
  if (fault) {
    return "the message is longer than " + std::to_string(protocol::kMaxMessageBytes) +
           " characters";
  }
  return std::nullopt;
}

int32_t StandsToEnd(int64_t remaining_seconds) {
  // The station holds its remaining seconds in 32 bits; a negative count
  // (an overrun) ends at the first STAND.
  auto station = static_cast<int32_t>(std::clamp<int64_t>(remaining_seconds, -1, INT32_MAX));
  int32_t stands = 1;
  for (int32_t r = protocol::StandSeconds(station); r > 0; r = protocol::StandSeconds(r)) {
    ++stands;
  }
  return stands;
}

}  // namespace zalvo::console::wire
