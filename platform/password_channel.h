// The lock screen's channel to the station's service for its passwords
// (protocol/password_ops.h gives the messages). Once the service keeps the
// passwords, the lock screen holds none: it hands what is typed to the
// service and acts on the answer. The other end is checked to be the
// installed service running as SYSTEM before anything typed is sent, so a
// program of the customer's that took the channel's name first gets nothing
// and unlocks nothing.
#pragma once

#include <string>
#include <string_view>

namespace zalvo::platform {

class PasswordChannel {
 public:
  virtual ~PasswordChannel() = default;

  // Whether the station's service keeps the passwords: its mark, the key
  // HKEY_LOCAL_MACHINE\SOFTWARE\Zalvo\Passwords, exists (the customer may
  // not open it: a key that is there counts, whatever its rights). When that
  // can't be told, it does.
  [[nodiscard]] virtual bool ServiceKeepsPasswords() = 0;

  // Sends one request to the service and returns its reply's bytes. Throws
  // PlatformError saying why when the service can't be reached, the other
  // end is not the installed service running as SYSTEM, or no reply comes
  // within a few seconds.
  [[nodiscard]] virtual std::string Exchange(std::string_view request) = 0;
};

}  // namespace zalvo::platform
