// The console's record in SQLite: every session (station, start, end,
// minutes, who started and ended it), every operator action, the stations
// that were added when they reported, and the operators with their password
// hashes. Each change is one committed transaction, so a crash of the
// console loses at most the action it was carrying out.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/room.h"

struct sqlite3;

namespace zalvo::console {

class StoreError : public std::runtime_error {
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

class Store {
 public:
  // Opens the database file, creating it when it does not exist (mode 0600),
  // and checks that it can be read and written: a read-only, locked, corrupt
  // or foreign file, or one of a newer schema, throws StoreError saying
  // which. An existing file that others may read is made its owner's alone,
  // and notes() says so.
  explicit Store(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Sessions. Start returns the new record's id.
  int64_t StartSession(const Station& station, const Session& session);
  void RenewSession(int64_t id, const Session& session);
  void EndSession(int64_t id, Millis ended, const std::string& ended_by);
  // The sessions not ended, to rebuild the room after a restart.
  std::vector<SessionRecord> OpenSessions();
  // The sessions that started in [from, to).
  std::vector<SessionRecord> SessionsBetween(Millis from, Millis to);

  void RecordAction(Millis at, const std::string& by, const std::string& station,
                    const std::string& action, const std::string& detail);
  int64_t ActionCount();

  // Stations added because they reported; kept so that the room shows them
  // after a restart.
  void AddStation(const std::string& address, const std::string& name, Millis at);
  std::vector<StationConfig> AddedStations();
  // Forgets an added station; false when it was not stored.
  bool RemoveStation(const std::string& address);

  // Operators: a name and a password hash (never the password).
  void SetOperator(const std::string& name, const std::string& password_hash);
  std::optional<std::string> OperatorHash(const std::string& name);
  int64_t OperatorCount();
  // False when there is no such operator.
  bool RemoveOperator(const std::string& name);

  // What the opening changed about the files' rights, for the log.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  void Execute(const char* sql);

  std::vector<std::string> notes_;
  sqlite3* db_ = nullptr;
};

// The sessions as CSV, one line per session with a header line; times are
// local "YYYY-MM-DD HH:MM:SS". Texts that a spreadsheet would read as a
// formula are prefixed with an apostrophe.
std::string SessionsCsv(const std::vector<SessionRecord>& sessions);

// Local time of day formatting and the bounds of a local day "YYYY-MM-DD".
std::string LocalTimeText(Millis at);
std::optional<std::pair<Millis, Millis>> LocalDayBounds(const std::string& day);
std::string LocalDay(Millis at);

}  // namespace zalvo::console
