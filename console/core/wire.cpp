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

int64_t RemainingAfterStand(int64_t remaining_seconds) {
  return std::min<int64_t>(remaining_seconds, 120) - 20;
}

int32_t StandsToEnd(int64_t remaining_seconds) {
  int32_t stands = 1;
  for (int64_t r = RemainingAfterStand(remaining_seconds); r > 0; r = RemainingAfterStand(r)) {
    ++stands;
  }
  return stands;
}

}  // namespace zalvo::console::wire
