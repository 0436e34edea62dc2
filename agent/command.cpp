#include "agent/command.h"

#include <cstdio>

#include "protocol/commands.h"
#include "text/text.h"

namespace zalvo::agent {

ProxyFields ParseProxyFields(std::string_view datagram) {
  ProxyFields fields;
  std::string_view field = protocol::FieldOf(protocol::kProxy, datagram);
  fields.enable = !field.empty() && field.front() == '1';
  size_t port_word = datagram.find(protocol::kProxyPortWord);
  if (port_word == std::string_view::npos) {
    return fields;
  }
  // The flag and its separator come before the server; a separator comes
  // before "PORT" and another after it.
  size_t server_start = protocol::kProxy.keyword.size() + 3;
  if (port_word > server_start + 1) {
    fields.server = std::string(datagram.substr(server_start, port_word - 1 - server_start));
  }
  size_t port_start = port_word + protocol::kProxyPortWord.size() + 1;
  if (port_start < datagram.size()) {
    fields.port = std::string(datagram.substr(port_start));
  }
  return fields;
}

int32_t SitSeconds(std::string_view minutes_field) {
  auto minutes = text::ParseInt32(minutes_field);
  return minutes ? WrapMul(*minutes, 60) : 600;
}

std::string KillCaption(std::string_view field) {
  if (!field.empty() && field.front() == ' ') {
    field.remove_prefix(1);
  }
  return std::string(field);
}

std::optional<std::string> MessageRefusal(std::string_view datagram) {
  std::string_view after = datagram.substr(protocol::kMessage.keyword.size());
  if (!after.empty() && after.front() != ' ') {
    return "no blank after the keyword";
  }
  std::string_view text = protocol::FieldOf(protocol::kMessage, datagram);
  auto fault = protocol::MessageFaultOf(text);
  if (!fault) {
    return std::nullopt;
  }
  switch (fault->kind) {
    case protocol::MessageFault::Kind::kEmpty:
      return "no text";
    case protocol::MessageFault::Kind::kTooLong:
      return "a text of " + std::to_string(text.size()) + " bytes, longer than " +
             std::to_string(protocol::kMaxMessageBytes);
    case protocol::MessageFault::Kind::kControl:
      break;
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", fault->byte);
  return std::string("a control character (") + hex + ") at byte " + std::to_string(fault->at + 1);
}

int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

}  // namespace zalvo::agent
