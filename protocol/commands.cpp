#include "protocol/commands.h"

#include <initializer_list>

namespace zalvo::protocol {

bool Matches(const Command& command, std::string_view datagram) {
  if (command.match == Match::kExact) {
    return datagram == command.keyword;
  }
  return datagram.substr(0, command.keyword.size()) == command.keyword;
}

std::string_view FieldOf(const Command& command, std::string_view datagram) {
  size_t start = command.keyword.size();
  switch (command.field) {
    case FieldStart::kNone:
      return {};
    case FieldStart::kAfterKeyword:
      break;
    case FieldStart::kAfterSeparator:
      start += 1;
      break;
  }
  return start < datagram.size() ? datagram.substr(start) : std::string_view{};
}

bool MayEndWindows(std::string_view datagram) {
  for (const Command* command : {&kSit, &kStand, &kInstall, &kReboot, &kShutdown}) {
    if (Matches(*command, datagram)) {
      return true;
    }
  }
  return false;
}

int32_t StandSeconds(int32_t remaining) {
  if (remaining > 120) {
    remaining = 120;
  }
  // Lowered by 20 as the station's 32-bit registers do, wrapping at the bottom.
  return static_cast<int32_t>(static_cast<uint32_t>(remaining) - 20u);
}

std::string StateReply(bool session_running, int32_t remaining_seconds) {
  return std::string(kStatePrefix) + (session_running ? "1 " : "0 ") +
         std::to_string(remaining_seconds);
}

std::string CommandText(const Command& command, std::string_view field) {
  std::string text(command.keyword);
  if (!field.empty()) {
    text += ' ';
    text += field;
  }
  return text;
}

std::optional<MessageFault> MessageFaultOf(std::string_view text) {
  if (text.empty()) {
    return MessageFault{};
  }
  if (text.size() > kMaxMessageBytes) {
    return MessageFault{MessageFault::Kind::kTooLong};
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      return MessageFault{MessageFault::Kind::kControl, i, byte};
    }
  }
  return std::nullopt;
}

}  // namespace zalvo::protocol
