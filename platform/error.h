// The one failure type of the platform layer. Every implementation turns an
// operating-system error into it right after the failing call; the domain
// code catches it exactly where a sequence is guarded.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zalvo::platform {

// The code of a refused access (Windows' ERROR_ACCESS_DENIED), which every
// implementation gives a refusal, so that a caller can say what is missing:
// the rights of an administrator.
inline constexpr int64_t kAccessDenied = 5;

class PlatformError : public std::runtime_error {
 public:
  // The message is Windows-1251 text, as every text of the system.
  explicit PlatformError(const std::string& message, int64_t code = 0)
      : std::runtime_error(message), code_(code) {}

  int64_t code() const { return code_; }

 private:
  int64_t code_;
};

// The agent's session helper failed the service: it closed its channel,
// sent what the channel does not allow, did not answer in time, or could not
// be started. The helper is ended and replaced; the command that needed it
// fails as a whole, so the guards that absorb a refusal of the system let
// this one pass.
class HelperFailure : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

}  // namespace zalvo::platform
