// The fields and arithmetic of the server's commands. Positions are 1-based;
// a field that runs from position n takes the characters from n to the end
// and is empty when the text is shorter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zalvo::agent {

std::string FieldFrom(std::string_view text, size_t position);

struct ProxyFields {
  bool enable = false;
  std::string server;
  std::string port;
};

// "ACTION PROXY e server PORT port": the enable character at 14, the server
// from 16 to two before the first "PORT", the port from four after it. With
// no "PORT" both are empty (taking the port from the keyword itself would
// write a piece of "ACTION PROXY" into the settings as the port).
ProxyFields ParseProxyFields(std::string_view text);

// "ACTION SIT n": n minutes in seconds, in wrapping 32-bit arithmetic; 600
// when the minutes are not an integer.
int32_t SitSeconds(std::string_view text);

// "ACTION STAND": the remaining time cut to at most 120, then lowered by 20.
int32_t StandSeconds(int32_t remaining);

// "ACTION KILL caption": the caption right after the keyword; one blank
// between the keyword and the caption is a separator and is skipped.
std::string KillCaption(std::string_view text);

// Wrapping 32-bit arithmetic without undefined behaviour.
int32_t WrapAdd(int32_t a, int32_t b);
int32_t WrapMul(int32_t a, int32_t b);

}  // namespace zalvo::agent
