// The fields and arithmetic of the server's commands. Each takes the field
// that the command's keyword gives (protocol/commands.h); the proxy command
// is the one whose fields depend on the whole datagram.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zalvo::agent {

struct ProxyFields {
  bool enable = false;
  std::string server;
  std::string port;
};

// "ACTION PROXY e server PORT port": the enable character is the field's
// first, and the proxy is on exactly when it is "1"; the server runs from
// the field's third character to the separator before the first "PORT"
// anywhere in the datagram (empty when that is not after the server's
// start), the port from the character after the separator that follows
// "PORT". With no "PORT" both are empty (taking the port from the keyword
// itself would write a piece of "ACTION PROXY" into the settings).
ProxyFields ParseProxyFields(std::string_view datagram);

// "ACTION SIT n": n minutes in seconds, in wrapping 32-bit arithmetic; 600
// when the minutes are not an integer.
int32_t SitSeconds(std::string_view minutes_field);

// "ACTION KILL caption": the caption is the field right after the keyword;
// one blank between the keyword and the caption is a separator and is
// skipped.
std::string KillCaption(std::string_view field);

// "ACTION MESSAGE text": why the station refuses to show it, nullopt when
// it shows it. The text follows the keyword after one blank and is refused
// by protocol::MessageFaultOf's rule.
std::optional<std::string> MessageRefusal(std::string_view datagram);

// Wrapping 32-bit arithmetic without undefined behaviour.
int32_t WrapAdd(int32_t a, int32_t b);
int32_t WrapMul(int32_t a, int32_t b);

}  // namespace zalvo::agent
