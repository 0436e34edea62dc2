// The one failure type of the platform layer. Every implementation turns an
// operating-system error into it right after the failing call, with a
// portable kind that the system's own number is translated into in one place
// per platform (SystemError below); the domain code asks the kind, never the
// number, and catches the failure exactly where a sequence is guarded.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zalvo::platform {

// Its values cross the session helper's channel (protocol/helper_codec.h):
// a new kind goes at the end.
enum class ErrorKind : uint8_t {
  kOther,
  // No such file, path, key, value or account.
  kNotFound,
  // The caller lacks the rights (an administrator's, a privilege).
  kAccessDenied,
  // Held by another: a port or file in use, a shutdown already under way.
  kInUse,
  kTimedOut,
  // The other end is gone: a closed pipe or channel.
  kBroken,
};

class PlatformError : public std::runtime_error {
 public:
  // The message is Windows-1251 text, as every text of the system. The code
  // is the system's own number where there is one: for messages and the
  // service's exit code, never for a decision.
  explicit PlatformError(const std::string& message, ErrorKind kind = ErrorKind::kOther,
                         int64_t code = 0)
      : std::runtime_error(message), kind_(kind), code_(code) {}

  ErrorKind kind() const { return kind_; }
  int64_t code() const { return code_; }

 private:
  ErrorKind kind_;
  int64_t code_;
};

// The failure of a system call from the system's own error number (errno on
// Linux; GetLastError or a Windows Sockets code on Windows), its kind
// translated from the number. Defined once per platform.
[[nodiscard]] PlatformError SystemError(const std::string& message, int64_t code);

// The agent's session helper failed the service: it closed its channel,
// sent what the channel does not allow, did not answer in time, or could not
// be started. The helper is ended and replaced; the command that needed it
// fails as a whole. Not a refusal of the system: a guard that absorbs
// PlatformError lets it pass, and one whose sequence must go on (a reply, a
// hand-off value) absorbs it by name.
class HelperFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace zalvo::platform
