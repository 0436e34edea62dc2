#include "console/core/wire.h"

#include <algorithm>

#include "protocol/commands.h"

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
