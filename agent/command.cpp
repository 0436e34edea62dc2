#include "agent/command.h"

#include "text/text.h"

namespace zalvo::agent {

std::string FieldFrom(std::string_view text, size_t position) {
  if (position == 0 || position > text.size()) {
    return {};
  }
  return std::string(text.substr(position - 1));
}

ProxyFields ParseProxyFields(std::string_view text) {
  ProxyFields fields;
  fields.enable = text.size() >= 14 && text[13] == '1';
  size_t found = text.find("PORT");
  size_t p = found == std::string_view::npos ? 0 : found + 1;
  if (p == 0) {
    return fields;
  }
  if (p >= 18) {
    // Positions 16 to P-2.
    fields.server = std::string(text.substr(15, p - 2 - 15));
  }
  fields.port = FieldFrom(text, p + 5);
  return fields;
}

int32_t SitSeconds(std::string_view text) {
  auto minutes = text::ParseInt32(FieldFrom(text, 12));
  return minutes ? WrapMul(*minutes, 60) : 600;
}

int32_t StandSeconds(int32_t remaining) {
  if (remaining > 120) {
    remaining = 120;
  }
  return WrapAdd(remaining, -20);
}

std::string KillCaption(std::string_view text) {
  std::string caption = FieldFrom(text, 12);
  if (!caption.empty() && caption.front() == ' ') {
    caption.erase(0, 1);
  }
  return caption;
}

int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

}  // namespace zalvo::agent
