// Why the console does not do what it was asked: one kind, which says what
// the asker can do about it (the web layer answers each kind with its HTTP
// status, in one place), and one text, which says why in words the page
// shows as they stand.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace zalvo::console {

enum class RefusalKind : uint8_t {
  kBadRequest,   // the request itself is wrong: a missing field, a bad value
  kNotLoggedIn,  // no log-in, or a stale one
  kNotAllowed,   // the operator's role may not, or the request came from elsewhere
  kNotFound,     // no such station, tariff, group, operator or route
  kConflict,     // the room's, the till's or the record's state does not allow it now
  kTooMany,      // too many attempts: wait and try again
  kUnavailable,  // the console is stopping, the log-in gate is full, a station does not answer
  kFailed,       // the console's own fault: the record or the network failed
  kWrongMethod,  // a route asked for with the wrong method
};

struct Refusal {
  RefusalKind kind = RefusalKind::kBadRequest;
  std::string text;  // UTF-8
};

// A refusal found deep in a sequence that can't go on: thrown, and caught
// where the request is answered.
class Refused : public std::runtime_error {
 public:
  Refused(RefusalKind kind, const std::string& text)
      : std::runtime_error(text), refusal_{kind, text} {}
  explicit Refused(Refusal refusal)
      : std::runtime_error(refusal.text), refusal_(std::move(refusal)) {}
  const Refusal& refusal() const { return refusal_; }

 private:
  Refusal refusal_;
};

// The result of a check: nothing when it passed.
using Check = std::optional<Refusal>;

inline Refusal BadRequest(std::string text) {
  return {RefusalKind::kBadRequest, std::move(text)};
}
inline Refusal NotFound(std::string text) {
  return {RefusalKind::kNotFound, std::move(text)};
}
inline Refusal Conflict(std::string text) {
  return {RefusalKind::kConflict, std::move(text)};
}

}  // namespace zalvo::console
