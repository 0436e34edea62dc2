// What the console's core keeps in its record: every session, every
// operator's action, the stations that joined the room by reporting, and the
// operators' password hashes. record/store.h keeps them in SQLite. A record
// that cannot be read or written throws RecordError.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/core/room.h"

namespace zalvo::console {

class RecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SessionRecord {
  int64_t id = 0;
  std::string station;  // the station's name then
  std::string address;
  Millis started = 0;
  Millis ends = 0;
  int32_t minutes = 0;
  std::string started_by;
  std::optional<Millis> ended;
  std::string ended_by;
};

class Record {
 public:
  virtual ~Record() = default;

  // Runs the writes as one transaction: all of them stay, or, when one
  // throws, none (the exception then goes on to the caller).
  virtual void Atomically(const std::function<void()>& writes) = 0;

  // Rental sessions. Start returns the new record's id.
  virtual int64_t StartSession(const Station& station, const RentalSession& session) = 0;
  virtual void RenewSession(int64_t id, const RentalSession& session) = 0;
  virtual void EndSession(int64_t id, Millis ended, const std::string& ended_by) = 0;
  // The sessions not ended, to rebuild the room after a restart.
  virtual std::vector<SessionRecord> OpenSessions() = 0;
  // The sessions that started in [from, to).
  virtual std::vector<SessionRecord> SessionsBetween(Millis from, Millis to) = 0;

  virtual void RecordAction(Millis at, const std::string& by, const std::string& station,
                            const std::string& action, const std::string& detail) = 0;

  // Stations added because they reported; kept so that the room shows them
  // after a restart.
  virtual void AddStation(const std::string& address, const std::string& name, Millis at) = 0;
  // Forgets an added station; false when it was not stored.
  virtual bool RemoveStation(const std::string& address) = 0;

  // The password hash of an operator; nullopt when there is no such operator.
  virtual std::optional<std::string> OperatorHash(const std::string& name) = 0;
};

}  // namespace zalvo::console
