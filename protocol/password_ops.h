// The lock screen's password channel to the station's service, which keeps
// the passwords where the customer can't read them: the lock screen sends one
// request, the service answers it with one reply, and the connection ends.
//
// Every message is:
//
//   "ZP"  version  kind  fields
//
// with the fields of the helper channel (protocol/helper_codec.h: 1- and
// 4-byte little-endian numbers, texts as a 4-byte length and their
// Windows-1251 bytes). A message is at most kMaxPasswordMessage bytes; one of
// another version or kind, or whose fields don't fill it exactly, is refused
// with helper::FrameError. The customer can write anything into the channel:
// the service decodes nothing longer than the limit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/helper_codec.h"

namespace zalvo::protocol::passwords {

using helper::FrameError;

inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kMaxPasswordMessage = 600;

// The local log-in: the name and the password typed at the lock screen.
struct LogIn {
  std::string user;
  std::string password;
  bool operator==(const LogIn&) const = default;
};

enum class Which : uint8_t { kAdmin = 1, kSmall = 2 };

// The settings dialog's password change: the administrator password the
// dialog was opened with, which password changes, and its new text.
struct Change {
  std::string admin_password;
  Which which = Which::kAdmin;
  std::string new_password;
  bool operator==(const Change&) const = default;
};

using Request = std::variant<LogIn, Change>;

enum class Answer : uint8_t {
  kRefused = 0,            // a wrong name or password; for a change, a wrong administrator password
  kUnlock = 1,             // log-in: user "1" with the small password
  kUnlockAndSettings = 2,  // log-in: the administrator password, with any name
  kChanged = 3,            // change: the new password is kept
  kTooSoon = 4,            // not checked: wrong tries are spaced out (retry_after_s)
  kInvalid = 5,            // change: the new password can't be set (empty, too long, a line end)
  kFailed = 6,             // the service can't read or keep its passwords
};

struct Reply {
  Answer answer = Answer::kRefused;
  // With kTooSoon: the seconds until the service checks a password again.
  uint32_t retry_after_s = 0;
  bool operator==(const Reply&) const = default;
};

std::string EncodeRequest(const Request& request);
Request DecodeRequest(std::string_view message);
std::string EncodeReply(const Reply& reply);
Reply DecodeReply(std::string_view message);

}  // namespace zalvo::protocol::passwords
