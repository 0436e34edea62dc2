#include "console/record/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>

#include "platform/error.h"
#include "platform/private_files.h"
#include "text/text.h"

namespace zalvo::console {
namespace {

// The first schema; a new record is made with it and then upgraded, so that
// every record takes the same steps.
constexpr const char* kSchema = R"sql(
CREATE TABLE sessions(
  id INTEGER PRIMARY KEY,
  station TEXT NOT NULL,
  address TEXT NOT NULL,
  started_at INTEGER NOT NULL,
  ends_at INTEGER NOT NULL,
  minutes INTEGER NOT NULL,
  started_by TEXT NOT NULL,
  ended_at INTEGER,
  ended_by TEXT);
CREATE INDEX sessions_started ON sessions(started_at);
CREATE INDEX sessions_open ON sessions(ended_at) WHERE ended_at IS NULL;
CREATE TABLE actions(
  id INTEGER PRIMARY KEY,
  at INTEGER NOT NULL,
  operator TEXT NOT NULL,
  station TEXT NOT NULL,
  action TEXT NOT NULL,
  detail TEXT NOT NULL);
CREATE TABLE stations(
  address TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  added_at INTEGER NOT NULL);
CREATE TABLE operators(
  name TEXT PRIMARY KEY,
  hash TEXT NOT NULL);
PRAGMA user_version = 1;
)sql";

// Schema 2: the till, the stations' MAC addresses for power-on, the
// operators' roles (those there were become owners), the outcome of each
// action in the log, and the log-ins that outlive a restart. The sessions
// keep their rows; those sold before have no sales and so no price.
constexpr const char* kUpgradeTo2 = R"sql(
CREATE TABLE settings(
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL);
CREATE TABLE tariffs(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  per_hour INTEGER NOT NULL,
  minimum INTEGER NOT NULL);
CREATE TABLE till_groups(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  tariff_id INTEGER NOT NULL REFERENCES tariffs(id));
CREATE TABLE group_members(
  address TEXT PRIMARY KEY,
  group_id INTEGER NOT NULL REFERENCES till_groups(id));
CREATE TABLE shifts(
  id INTEGER PRIMARY KEY,
  opened_at INTEGER NOT NULL,
  opened_by TEXT NOT NULL,
  opening_cash INTEGER NOT NULL,
  closed_at INTEGER,
  closed_by TEXT,
  counted_cash INTEGER);
CREATE UNIQUE INDEX shifts_one_open ON shifts(closed_at IS NULL) WHERE closed_at IS NULL;
CREATE INDEX shifts_opened ON shifts(opened_at);
CREATE TABLE sales(
  id INTEGER PRIMARY KEY,
  session_id INTEGER NOT NULL REFERENCES sessions(id),
  shift_id INTEGER REFERENCES shifts(id),
  at INTEGER NOT NULL,
  operator TEXT NOT NULL,
  minutes INTEGER NOT NULL,
  price INTEGER NOT NULL,
  tariff TEXT NOT NULL,
  per_hour INTEGER NOT NULL);
CREATE INDEX sales_session ON sales(session_id);
CREATE INDEX sales_shift ON sales(shift_id);
CREATE TABLE refunds(
  id INTEGER PRIMARY KEY,
  session_id INTEGER NOT NULL UNIQUE REFERENCES sessions(id),
  shift_id INTEGER REFERENCES shifts(id),
  at INTEGER NOT NULL,
  operator TEXT NOT NULL,
  minutes INTEGER NOT NULL,
  amount INTEGER NOT NULL,
  paid INTEGER NOT NULL);
CREATE INDEX refunds_shift ON refunds(shift_id);
CREATE TABLE station_macs(
  address TEXT PRIMARY KEY,
  mac TEXT NOT NULL);
ALTER TABLE operators ADD COLUMN role TEXT NOT NULL DEFAULT 'owner';
ALTER TABLE actions ADD COLUMN outcome TEXT NOT NULL DEFAULT '';
CREATE INDEX actions_at ON actions(at);
CREATE TABLE logins(
  token_hash TEXT PRIMARY KEY,
  operator TEXT NOT NULL,
  credential TEXT NOT NULL,
  csrf TEXT NOT NULL,
  opened_at INTEGER NOT NULL,
  last_used INTEGER NOT NULL);
PRAGMA user_version = 2;
)sql";

// Schema 3: the till's corrections and the pages' request ids. A sale says
// its kind (sold, or minutes given free with a reason); a void is a row of
// its own naming its sale, in the shift it was made in; a session that moved
// to another station keeps its row (which names the station it is at) and
// each move is a row; the ids of requests are kept a day per operator with
// their answers; an operator's allowance of free minutes is a setting.
constexpr const char* kUpgradeTo3 = R"sql(
ALTER TABLE sales ADD COLUMN kind TEXT NOT NULL DEFAULT 'sale';
ALTER TABLE sales ADD COLUMN reason TEXT NOT NULL DEFAULT '';
CREATE TABLE voids(
  id INTEGER PRIMARY KEY,
  sale_id INTEGER NOT NULL UNIQUE REFERENCES sales(id),
  shift_id INTEGER NOT NULL REFERENCES shifts(id),
  at INTEGER NOT NULL,
  operator TEXT NOT NULL,
  amount INTEGER NOT NULL,
  reason TEXT NOT NULL);
CREATE INDEX voids_shift ON voids(shift_id);
CREATE TABLE moves(
  id INTEGER PRIMARY KEY,
  session_id INTEGER NOT NULL REFERENCES sessions(id),
  at INTEGER NOT NULL,
  operator TEXT NOT NULL,
  from_address TEXT NOT NULL,
  from_station TEXT NOT NULL,
  to_address TEXT NOT NULL,
  to_station TEXT NOT NULL,
  minutes INTEGER NOT NULL);
CREATE INDEX moves_session ON moves(session_id);
CREATE TABLE requests(
  operator TEXT NOT NULL,
  id TEXT NOT NULL,
  at INTEGER NOT NULL,
  fingerprint TEXT NOT NULL,
  status INTEGER,
  answer TEXT,
  PRIMARY KEY(operator, id));
CREATE INDEX requests_at ON requests(at);
PRAGMA user_version = 3;
)sql";

// Schema 4: an end is the station's word. A session's end is asked first
// (and the refund chosen then waits, pending), ended when the station
// confirms it, or closed by an owner with a reason while its end is still
// sent; the stations still installed without a key. The ends and refunds
// of earlier schemas are taken as confirmed and settled.
constexpr const char* kUpgradeTo4 = R"sql(
ALTER TABLE sessions ADD COLUMN end_asked_at INTEGER;
ALTER TABLE sessions ADD COLUMN end_asked_by TEXT;
ALTER TABLE sessions ADD COLUMN end_confirmed_at INTEGER;
ALTER TABLE sessions ADD COLUMN close_reason TEXT;
UPDATE sessions SET end_confirmed_at = ended_at WHERE ended_at IS NOT NULL;
CREATE INDEX sessions_unconfirmed ON sessions(id)
  WHERE ended_at IS NOT NULL AND end_confirmed_at IS NULL;
ALTER TABLE refunds ADD COLUMN settled_at INTEGER;
UPDATE refunds SET settled_at = at;
CREATE TABLE unkeyed_stations(
  address TEXT PRIMARY KEY);
PRAGMA user_version = 4;
)sql";

// Schema 5: the record holds the room: every station with its place (those
// of the room file are taken in once, at the first start with this schema,
// which the setting room_import marks), and the marks of browsers that
// logged in before.
constexpr const char* kUpgradeTo5 = R"sql(
ALTER TABLE stations ADD COLUMN place_column INTEGER NOT NULL DEFAULT 0;
ALTER TABLE stations ADD COLUMN place_row INTEGER NOT NULL DEFAULT 0;
CREATE TABLE devices(
  mark_hash TEXT PRIMARY KEY,
  operator TEXT NOT NULL,
  made_at INTEGER NOT NULL,
  used_at INTEGER NOT NULL);
CREATE INDEX devices_operator ON devices(operator);
INSERT INTO settings(key, value) VALUES('room_import', 'pending')
  ON CONFLICT(key) DO UPDATE SET value = excluded.value;
PRAGMA user_version = 5;
)sql";

// Schema 6: prices by the hour of day and weekday, packages, and members. A
// tariff's price is its periods' (each tariff there was becomes one period
// covering the whole week); a sale keeps its minutes by price ("60x300,30x150",
// empty: all at its one price), whether its unused minutes are refunded, and
// the member whose balance paid it; a session and a refund name their member.
// A member's balance is the sum of its moves, rows written once each.
constexpr const char* kUpgradeTo6 = R"sql(
CREATE TABLE tariff_periods(
  id INTEGER PRIMARY KEY,
  tariff_id INTEGER NOT NULL REFERENCES tariffs(id),
  days INTEGER NOT NULL,
  from_minute INTEGER NOT NULL,
  to_minute INTEGER NOT NULL,
  per_hour INTEGER NOT NULL);
CREATE INDEX tariff_periods_tariff ON tariff_periods(tariff_id);
INSERT INTO tariff_periods(tariff_id, days, from_minute, to_minute, per_hour)
  SELECT id, 127, 0, 0, per_hour FROM tariffs;
CREATE TABLE packages(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  price INTEGER NOT NULL,
  minutes INTEGER NOT NULL,
  window_from INTEGER,
  window_to INTEGER,
  last_sale INTEGER,
  refundable INTEGER NOT NULL);
CREATE TABLE package_groups(
  package_id INTEGER NOT NULL REFERENCES packages(id),
  group_id INTEGER NOT NULL REFERENCES till_groups(id),
  PRIMARY KEY(package_id, group_id));
CREATE TABLE members(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  card TEXT,
  phone TEXT NOT NULL,
  note TEXT NOT NULL,
  discount INTEGER NOT NULL,
  removed_at INTEGER,
  anonymised_at INTEGER);
CREATE UNIQUE INDEX members_card ON members(card) WHERE card IS NOT NULL AND removed_at IS NULL;
CREATE TABLE member_moves(
  id INTEGER PRIMARY KEY,
  member_id INTEGER NOT NULL REFERENCES members(id),
  kind TEXT NOT NULL,
  at INTEGER NOT NULL,
  operator TEXT NOT NULL,
  amount INTEGER NOT NULL,
  shift_id INTEGER REFERENCES shifts(id),
  sale_id INTEGER REFERENCES sales(id),
  refund_id INTEGER REFERENCES refunds(id));
CREATE INDEX member_moves_member ON member_moves(member_id);
CREATE INDEX member_moves_shift ON member_moves(shift_id);
ALTER TABLE sessions ADD COLUMN member_id INTEGER REFERENCES members(id);
ALTER TABLE sales ADD COLUMN parts TEXT NOT NULL DEFAULT '';
ALTER TABLE sales ADD COLUMN refundable INTEGER NOT NULL DEFAULT 1;
ALTER TABLE sales ADD COLUMN member_id INTEGER REFERENCES members(id);
ALTER TABLE refunds ADD COLUMN member_id INTEGER REFERENCES members(id);
CREATE INDEX refunds_pending ON refunds(member_id) WHERE settled_at IS NULL;
PRAGMA user_version = 6;
)sql";

// The steps from each schema to the next, in order: a record of schema N
// takes the steps from N on. What a step tells the owner of a record that
// had rows before.
struct Upgrade {
  const char* sql;
  const char* note;
};
constexpr Upgrade kUpgrades[] = {
    {kUpgradeTo2, "the till); its sessions are kept, without prices"},
    {kUpgradeTo3, "the till's corrections and the pages' request ids)"},
    {kUpgradeTo4, "ends the stations confirm); its ended sessions are taken as confirmed"},
    {kUpgradeTo5,
     "the room in the record); the room file's stations and groups are taken in at this start"},
    {kUpgradeTo6,
     "prices by the time of day, packages and members); each tariff is one period "
     "covering the week"},
};
constexpr int kSchemaVersion = 1 + static_cast<int>(std::size(kUpgrades));

// One prepared statement, finalised at the end of its scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      throw RecordError(std::string("the record cannot be read: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& Bind(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindNull(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
  }
  // True while there is a row.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
      return true;
    }
    if (rc != SQLITE_DONE) {
      throw RecordError(std::string("the record cannot be written: ") + sqlite3_errmsg(db_));
    }
    return false;
  }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string Text(int column) {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                : std::string();
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

SessionRecord ReadSession(Statement& s) {
  SessionRecord r;
  r.id = s.Int(0);
  r.station = s.Text(1);
  r.address = s.Text(2);
  r.started = s.Int(3);
  r.ends = s.Int(4);
  r.minutes = static_cast<int32_t>(s.Int(5));
  r.started_by = s.Text(6);
  if (!s.IsNull(7)) {
    r.ended = s.Int(7);
  }
  r.ended_by = s.Text(8);
  if (!s.IsNull(9)) {
    r.end_asked = s.Int(9);
  }
  r.end_asked_by = s.Text(10);
  if (!s.IsNull(11)) {
    r.end_confirmed = s.Int(11);
  }
  r.close_reason = s.Text(12);
  if (!s.IsNull(13)) {
    r.member_id = s.Int(13);
  }
  return r;
}

constexpr const char* kSessionColumns =
    "SELECT id, station, address, started_at, ends_at, minutes, started_by, ended_at, "
    "COALESCE(ended_by, ''), end_asked_at, COALESCE(end_asked_by, ''), end_confirmed_at, "
    "COALESCE(close_reason, ''), member_id FROM sessions ";

// The record holds the operators' password hashes: it, its journal and its
// shared memory file are for the console's account alone. A new file is
// created 0600 (SQLite gives its journal and shared memory the database's
// mode); an existing one that others may read or change is tightened.
void KeepPrivate(const std::string& path, std::vector<std::string>& notes) {
  namespace fs = std::filesystem;
  try {
    platform::CreatePrivateFile(path, "");
    return;
  } catch (const platform::PlatformError&) {
    // It exists already (checked below), or can't be made: then opening it
    // says why.
  }
  for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
    std::error_code error;
    fs::perms mode = fs::status(file, error).permissions();
    std::string others;
    try {
      others = error ? "" : platform::OthersMayRead(file);
    } catch (const platform::PlatformError&) {
      continue;  // gone meanwhile
    }
    if (others.empty()) {
      continue;
    }
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                    error);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode) & 07777U);
    notes.push_back(error ? others
                          : file + " could be read by other users (mode " + octal +
                                "): now only its owner may (mode 0600)");
  }
}

// A sale with its void, if any.
constexpr const char* kSaleColumns =
    "SELECT s.id, s.session_id, s.shift_id, s.at, s.operator, s.minutes, s.price, s.tariff, "
    "s.per_hour, s.kind, s.reason, v.amount, v.at, s.parts, s.refundable, s.member_id FROM sales "
    "s LEFT JOIN voids v ON v.sale_id = s.id ";

// A sale's parts as the record keeps them: "60x300,30x150".
std::string PartsText(const std::vector<SalePart>& parts) {
  std::string text;
  for (const auto& part : parts) {
    text += (text.empty() ? "" : ",") + std::to_string(part.minutes) + "x" +
            std::to_string(part.per_hour);
  }
  return text;
}

// Parts that do not read, or do not add up to the sale's minutes, are none:
// the sale is then refunded by its minutes alone.
std::vector<SalePart> PartsOf(const std::string& text, int32_t minutes) {
  std::vector<SalePart> parts;
  int64_t total = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? text.size() : comma + 1;
    size_t x = item.find('x');
    char* end = nullptr;
    long long part_minutes = std::strtoll(item.c_str(), &end, 10);
    if (x == std::string::npos || end != item.c_str() + x || part_minutes < 1 ||
        part_minutes > kMaxSessionMinutes) {
      return {};
    }
    long long per_hour = std::strtoll(item.c_str() + x + 1, &end, 10);
    if (*end != '\0' || per_hour < 0 || per_hour > kMaxHourPrice) {
      return {};
    }
    total += part_minutes;
    parts.push_back(SalePart{static_cast<int32_t>(part_minutes), per_hour});
  }
  return total == minutes ? parts : std::vector<SalePart>{};
}

SaleRecord ReadSale(Statement& s) {
  SaleRecord sale;
  sale.id = s.Int(0);
  sale.session_id = s.Int(1);
  if (!s.IsNull(2)) {
    sale.shift_id = s.Int(2);
  }
  sale.at = s.Int(3);
  sale.by = s.Text(4);
  sale.minutes = static_cast<int32_t>(s.Int(5));
  sale.price = s.Int(6);
  sale.tariff = s.Text(7);
  sale.per_hour = s.Int(8);
  sale.kind = SaleKindFromName(s.Text(9)).value_or(SaleKind::kSold);
  sale.reason = s.Text(10);
  if (!s.IsNull(11)) {
    sale.voided = s.Int(11);
    sale.voided_at = s.Int(12);
  }
  sale.parts = PartsOf(s.Text(13), sale.minutes);
  sale.refundable = s.Int(14) != 0;
  if (!s.IsNull(15)) {
    sale.member_id = s.Int(15);
  }
  return sale;
}

constexpr const char* kMoveColumns =
    "SELECT id, session_id, at, operator, from_address, from_station, to_address, to_station, "
    "minutes FROM moves ";

MoveRecord ReadMove(Statement& s) {
  return MoveRecord{s.Int(0),  s.Int(1),  s.Int(2),
                    s.Text(3), s.Text(4), s.Text(5),
                    s.Text(6), s.Text(7), static_cast<int32_t>(s.Int(8))};
}

constexpr const char* kRefundColumns =
    "SELECT id, session_id, shift_id, at, operator, minutes, amount, paid, settled_at, member_id "
    "FROM refunds ";

RefundRecord ReadRefund(Statement& s) {
  RefundRecord refund;
  refund.id = s.Int(0);
  refund.session_id = s.Int(1);
  if (!s.IsNull(2)) {
    refund.shift_id = s.Int(2);
  }
  refund.at = s.Int(3);
  refund.by = s.Text(4);
  refund.minutes = static_cast<int32_t>(s.Int(5));
  refund.amount = s.Int(6);
  refund.paid = s.Int(7) != 0;
  if (!s.IsNull(8)) {
    refund.settled = s.Int(8);
  }
  if (!s.IsNull(9)) {
    refund.member_id = s.Int(9);
  }
  return refund;
}

// An id or NULL.
void BindShift(Statement& s, int index, std::optional<int64_t> shift) {
  if (shift) {
    s.Bind(index, *shift);
  } else {
    s.BindNull(index);
  }
}

std::optional<int64_t> OptionalInt(Statement& s, int column) {
  return s.IsNull(column) ? std::nullopt : std::optional<int64_t>(s.Int(column));
}

constexpr const char* kMemberColumns =
    "SELECT id, name, COALESCE(card, ''), phone, note, discount, removed_at, anonymised_at, "
    "(SELECT COALESCE(SUM(amount), 0) FROM member_moves WHERE member_id = members.id), "
    "(SELECT COALESCE(SUM(amount), 0) FROM refunds WHERE member_id = members.id AND settled_at IS "
    "NULL) FROM members ";

Member ReadMember(Statement& s) {
  Member member;
  member.id = s.Int(0);
  member.name = s.Text(1);
  member.card = s.Text(2);
  member.phone = s.Text(3);
  member.note = s.Text(4);
  member.discount = static_cast<int32_t>(s.Int(5));
  member.removed = OptionalInt(s, 6);
  member.anonymised = OptionalInt(s, 7);
  member.balance = s.Int(8);
  member.pending = s.Int(9);
  return member;
}

// A move with what it moved: the sale's or the refund's minutes, what was
// sold, and the station of its session.
constexpr const char* kMemberMoveColumns =
    "SELECT m.id, m.member_id, m.kind, m.at, m.operator, m.amount, m.shift_id, m.sale_id, "
    "m.refund_id, COALESCE(s.minutes, r.minutes, 0), COALESCE(s.tariff, ''), "
    "COALESCE(ss.station, rs.station, '') FROM member_moves m "
    "LEFT JOIN sales s ON s.id = m.sale_id LEFT JOIN sessions ss ON ss.id = s.session_id "
    "LEFT JOIN refunds r ON r.id = m.refund_id LEFT JOIN sessions rs ON rs.id = r.session_id ";

MemberMove ReadMemberMove(Statement& s) {
  MemberMove move;
  move.id = s.Int(0);
  move.member_id = s.Int(1);
  move.kind = MoveKindFromName(s.Text(2)).value_or(MoveKind::kTopUp);
  move.at = s.Int(3);
  move.by = s.Text(4);
  move.amount = s.Int(5);
  move.shift_id = OptionalInt(s, 6);
  move.sale_id = OptionalInt(s, 7);
  move.refund_id = OptionalInt(s, 8);
  move.minutes = static_cast<int32_t>(s.Int(9));
  move.sold = s.Text(10);
  move.station = s.Text(11);
  return move;
}

constexpr const char* kShiftColumns =
    "SELECT id, opened_at, opened_by, opening_cash, closed_at, COALESCE(closed_by, ''), "
    "counted_cash FROM shifts ";

ShiftRecord ReadShift(Statement& s) {
  ShiftRecord shift;
  shift.id = s.Int(0);
  shift.opened = s.Int(1);
  shift.opened_by = s.Text(2);
  shift.opening = s.Int(3);
  if (!s.IsNull(4)) {
    shift.closed = s.Int(4);
  }
  shift.closed_by = s.Text(5);
  if (!s.IsNull(6)) {
    shift.counted = s.Int(6);
  }
  return shift;
}

}  // namespace

Store::Store(const std::string& path, int schema) {
  const int target = schema > 0 ? std::min(schema, kSchemaVersion) : kSchemaVersion;
  KeepPrivate(path, notes_);
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw RecordError("cannot open the record " + path + ": " + message);
  }
  try {
    if (sqlite3_db_readonly(db_, "main") == 1) {
      throw RecordError("the record " + path + " is read-only");
    }
    sqlite3_busy_timeout(db_, 2000);
    // A file that is not a database, or is locked, fails its first read.
    int user_version = 0;
    {
      Statement s(db_, "PRAGMA user_version");
      s.Step();
      user_version = static_cast<int>(s.Int(0));
    }
    {
      Statement s(db_, "PRAGMA quick_check");
      if (!s.Step() || s.Text(0) != "ok") {
        throw RecordError("the record " + path + " is damaged (integrity check failed)");
      }
    }
    Execute("PRAGMA journal_mode=WAL");
    Execute("PRAGMA synchronous=FULL");
    Execute("PRAGMA foreign_keys=ON");
    // Taking the write lock shows a file that another process holds, or
    // that cannot be written, now rather than at the first session.
    Execute("BEGIN IMMEDIATE");
    int tables = 0;
    {
      Statement s(db_, "SELECT count(*) FROM sqlite_master");
      s.Step();
      tables = static_cast<int>(s.Int(0));
    }
    if (user_version == 0 && tables == 0) {
      Execute(kSchema);
      user_version = 1;
    } else if (user_version == 0) {
      Execute("ROLLBACK");
      throw RecordError("the file " + path + " is a database of something else");
    } else if (user_version > kSchemaVersion) {
      Execute("ROLLBACK");
      throw RecordError("the record " + path + " has schema " + std::to_string(user_version) +
                        ", newer than this console's " + std::to_string(kSchemaVersion));
    }
    for (int version = user_version; version < target; ++version) {
      const Upgrade& step = kUpgrades[version - 1];
      Execute(step.sql);
      if (tables > 0) {
        notes_.push_back("the record " + path + " was upgraded to schema " +
                         std::to_string(version + 1) + " (" + step.note);
      }
    }
    Execute("COMMIT");
  } catch (const RecordError& e) {
    sqlite3_close(db_);
    db_ = nullptr;
    std::string what = e.what();
    if (what.find("locked") != std::string::npos || what.find("busy") != std::string::npos) {
      throw RecordError("the record " + path + " is locked by another process (" + what + ")");
    }
    throw;
  }
}

Store::~Store() {
  sqlite3_close(db_);
}

void Store::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw RecordError("the record cannot be written: " + message);
  }
}

void Store::Atomically(const std::function<void()>& writes) {
  Execute("BEGIN IMMEDIATE");
  try {
    writes();
  } catch (...) {
    // What the writes did is undone; a failed rollback leaves nothing
    // half-done either (SQLite then ends the transaction itself).
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  try {
    Execute("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

int64_t Store::StartSession(const Station& station, const RentalSession& session) {
  Statement s(db_,
              "INSERT INTO sessions(station, address, started_at, ends_at, minutes, started_by, "
              "member_id) VALUES(?, ?, ?, ?, ?, ?, ?)");
  s.Bind(1, station.name)
      .Bind(2, station.address)
      .Bind(3, session.started)
      .Bind(4, session.ends)
      .Bind(5, session.minutes)
      .Bind(6, session.started_by);
  BindShift(s, 7, session.member_id);
  s.Step();
  return sqlite3_last_insert_rowid(db_);
}

void Store::RenewSession(int64_t id, const RentalSession& session) {
  Statement s(db_, "UPDATE sessions SET ends_at = ?, minutes = ? WHERE id = ?");
  s.Bind(1, session.ends).Bind(2, session.minutes).Bind(3, id).Step();
}

void Store::AskEnd(int64_t id, Millis at, const std::string& by) {
  Statement s(db_, "UPDATE sessions SET end_asked_at = ?, end_asked_by = ? WHERE id = ?");
  s.Bind(1, at).Bind(2, by).Bind(3, id).Step();
}

void Store::EndSession(int64_t id, Millis ended, const std::string& ended_by) {
  Statement s(db_,
              "UPDATE sessions SET ended_at = ?, ended_by = ?, end_confirmed_at = ? WHERE id = ?");
  s.Bind(1, ended).Bind(2, ended_by).Bind(3, ended).Bind(4, id).Step();
}

void Store::CloseSession(int64_t id, Millis at, const std::string& by, const std::string& reason) {
  Statement s(db_, "UPDATE sessions SET ended_at = ?, ended_by = ?, close_reason = ? WHERE id = ?");
  s.Bind(1, at).Bind(2, by).Bind(3, reason).Bind(4, id).Step();
}

void Store::ConfirmEnd(int64_t id, Millis at) {
  Statement s(db_, "UPDATE sessions SET end_confirmed_at = ? WHERE id = ?");
  s.Bind(1, at).Bind(2, id).Step();
}

std::vector<SessionRecord> Store::UnconfirmedEnds() {
  Statement s(db_, (std::string(kSessionColumns) +
                    "WHERE ended_at IS NOT NULL AND end_confirmed_at IS NULL ORDER BY id")
                       .c_str());
  std::vector<SessionRecord> records;
  while (s.Step()) {
    records.push_back(ReadSession(s));
  }
  return records;
}

std::vector<SessionRecord> Store::OpenSessions() {
  Statement s(db_, (std::string(kSessionColumns) + "WHERE ended_at IS NULL ORDER BY id").c_str());
  std::vector<SessionRecord> records;
  while (s.Step()) {
    records.push_back(ReadSession(s));
  }
  return records;
}

std::vector<SessionRecord> Store::SessionsBetween(Millis from, Millis to) {
  Statement s(db_, (std::string(kSessionColumns) +
                    "WHERE started_at >= ? AND started_at < ? ORDER BY started_at, id")
                       .c_str());
  s.Bind(1, from).Bind(2, to);
  std::vector<SessionRecord> records;
  while (s.Step()) {
    records.push_back(ReadSession(s));
  }
  for (auto& record : records) {
    record.sales = SalesOf(record.id);
    record.refund = RefundOf(record.id);
    Statement moves(db_, (std::string(kMoveColumns) + "WHERE session_id = ? ORDER BY id").c_str());
    moves.Bind(1, record.id);
    while (moves.Step()) {
      record.moves.push_back(ReadMove(moves));
    }
  }
  return records;
}

void Store::RecordAction(Millis at, const std::string& by, const std::string& station,
                         const std::string& action, const std::string& detail) {
  Statement s(db_,
              "INSERT INTO actions(at, operator, station, action, detail) VALUES(?, ?, ?, ?, ?)");
  s.Bind(1, at).Bind(2, by).Bind(3, station).Bind(4, action).Bind(5, detail).Step();
}

void Store::RecordRefusal(Millis at, const std::string& by, const std::string& station,
                          const std::string& action, const std::string& detail,
                          const std::string& reason) {
  Statement s(db_,
              "INSERT INTO actions(at, operator, station, action, detail, outcome) "
              "VALUES(?, ?, ?, ?, ?, ?)");
  s.Bind(1, at)
      .Bind(2, by)
      .Bind(3, station)
      .Bind(4, action)
      .Bind(5, detail)
      .Bind(6, reason.empty() ? std::string("refused") : reason)
      .Step();
}

std::vector<ActionRecord> Store::Actions(const ActionQuery& q) {
  // A station's lines name it "name (address)".
  Statement s(db_,
              "SELECT id, at, operator, station, action, detail, outcome FROM actions "
              "WHERE at >= ?1 AND at < ?2 AND (?3 = '' OR operator = ?3) "
              "AND (?4 = '' OR substr(station, -length(?4) - 2) = '(' || ?4 || ')') "
              "AND (?5 = '' OR action = ?5) "
              "AND (?7 = 0 OR at < ?6 OR (at = ?6 AND id < ?7)) "
              "ORDER BY at DESC, id DESC LIMIT ?8");
  s.Bind(1, q.from)
      .Bind(2, q.to)
      .Bind(3, q.by)
      .Bind(4, q.station)
      .Bind(5, q.action)
      .Bind(6, q.before_at)
      .Bind(7, q.before_id)
      .Bind(8, static_cast<int64_t>(q.most));
  std::vector<ActionRecord> actions;
  while (s.Step()) {
    actions.push_back(
        ActionRecord{s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5), s.Text(6)});
  }
  return actions;
}

std::vector<std::string> Store::ActionKinds(Millis from, Millis to) {
  Statement s(db_,
              "SELECT DISTINCT action FROM actions WHERE at >= ? AND at < ? ORDER BY action "
              "LIMIT 200");
  s.Bind(1, from).Bind(2, to);
  std::vector<std::string> kinds;
  while (s.Step()) {
    kinds.push_back(s.Text(0));
  }
  return kinds;
}

int64_t Store::ActionCount() {
  Statement s(db_, "SELECT count(*) FROM actions");
  s.Step();
  return s.Int(0);
}

void Store::AddStation(const StationConfig& station, Millis at) {
  Statement s(db_,
              "INSERT OR IGNORE INTO stations(address, name, added_at, place_column, place_row) "
              "VALUES(?, ?, ?, ?, ?)");
  s.Bind(1, station.address)
      .Bind(2, station.name)
      .Bind(3, at)
      .Bind(4, station.column)
      .Bind(5, station.row)
      .Step();
}

void Store::UpdateStation(const StationConfig& station) {
  Statement s(db_,
              "UPDATE stations SET name = ?, place_column = ?, place_row = ? WHERE address = ?");
  s.Bind(1, station.name).Bind(2, station.column).Bind(3, station.row).Bind(4, station.address);
  s.Step();
}

std::vector<StationConfig> Store::Stations() {
  Statement s(db_,
              "SELECT address, name, place_column, place_row FROM stations "
              "ORDER BY added_at, rowid");
  std::vector<StationConfig> stations;
  while (s.Step()) {
    StationConfig config;
    config.address = s.Text(0);
    config.name = s.Text(1);
    config.column = static_cast<int>(s.Int(2));
    config.row = static_cast<int>(s.Int(3));
    stations.push_back(std::move(config));
  }
  return stations;
}

std::optional<std::string> Store::Setting(const std::string& key) {
  Statement s(db_, "SELECT value FROM settings WHERE key = ?");
  s.Bind(1, key);
  if (!s.Step()) {
    return std::nullopt;
  }
  return s.Text(0);
}

void Store::SetSetting(const std::string& key, const std::optional<std::string>& value) {
  if (!value) {
    Statement s(db_, "DELETE FROM settings WHERE key = ?");
    s.Bind(1, key).Step();
    return;
  }
  Statement s(db_,
              "INSERT INTO settings(key, value) VALUES(?, ?) "
              "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
  s.Bind(1, key).Bind(2, *value).Step();
}

bool Store::RemoveStation(const std::string& address) {
  Statement s(db_, "DELETE FROM stations WHERE address = ?");
  s.Bind(1, address).Step();
  return sqlite3_changes(db_) > 0;
}

std::optional<OperatorRecord> Store::Operator(const std::string& name) {
  Statement s(db_, "SELECT name, hash, role FROM operators WHERE name = ?");
  s.Bind(1, name);
  if (!s.Step()) {
    return std::nullopt;
  }
  return OperatorRecord{s.Text(0), s.Text(1), RoleFromName(s.Text(2)).value_or(Role::kOperator)};
}

std::vector<OperatorRecord> Store::Operators() {
  Statement s(db_, "SELECT name, hash, role FROM operators ORDER BY name");
  std::vector<OperatorRecord> operators;
  while (s.Step()) {
    operators.push_back(
        OperatorRecord{s.Text(0), s.Text(1), RoleFromName(s.Text(2)).value_or(Role::kOperator)});
  }
  return operators;
}

void Store::SetOperator(const std::string& name, const std::string& password_hash,
                        std::optional<Role> role) {
  if (!Operator(name)) {
    if (password_hash.empty()) {
      throw RecordError("a new operator needs a password");
    }
    Statement s(db_, "INSERT INTO operators(name, hash, role) VALUES(?, ?, ?)");
    s.Bind(1, name).Bind(2, password_hash).Bind(3, RoleName(role.value_or(Role::kOwner))).Step();
    return;
  }
  if (!password_hash.empty()) {
    Statement s(db_, "UPDATE operators SET hash = ? WHERE name = ?");
    s.Bind(1, password_hash).Bind(2, name).Step();
    Statement forget(db_, "DELETE FROM devices WHERE operator = ?");
    forget.Bind(1, name).Step();
  }
  if (role) {
    Statement s(db_, "UPDATE operators SET role = ? WHERE name = ?");
    s.Bind(1, RoleName(*role)).Bind(2, name).Step();
  }
}

void Store::SaveLogin(const LoginRecord& login) {
  Statement s(db_,
              "INSERT OR REPLACE INTO logins(token_hash, operator, credential, csrf, opened_at, "
              "last_used) VALUES(?, ?, ?, ?, ?, ?)");
  s.Bind(1, login.token_hash)
      .Bind(2, login.operator_name)
      .Bind(3, login.credential)
      .Bind(4, login.csrf)
      .Bind(5, login.opened)
      .Bind(6, login.last_used)
      .Step();
}

std::optional<LoginRecord> Store::FindLogin(const std::string& token_hash) {
  Statement s(db_,
              "SELECT token_hash, operator, credential, csrf, opened_at, last_used FROM logins "
              "WHERE token_hash = ?");
  s.Bind(1, token_hash);
  if (!s.Step()) {
    return std::nullopt;
  }
  return LoginRecord{s.Text(0), s.Text(1), s.Text(2), s.Text(3), s.Int(4), s.Int(5)};
}

void Store::TouchLogin(const std::string& token_hash, Millis at) {
  Statement s(db_, "UPDATE logins SET last_used = ? WHERE token_hash = ?");
  s.Bind(1, at).Bind(2, token_hash).Step();
}

void Store::DeleteLogin(const std::string& token_hash) {
  Statement s(db_, "DELETE FROM logins WHERE token_hash = ?");
  s.Bind(1, token_hash).Step();
}

void Store::DeleteLoginsBefore(Millis opened, Millis used) {
  Statement s(db_, "DELETE FROM logins WHERE opened_at < ? OR last_used < ?");
  s.Bind(1, opened).Bind(2, used).Step();
}

int64_t Store::OperatorCount() {
  Statement s(db_, "SELECT count(*) FROM operators");
  s.Step();
  return s.Int(0);
}

bool Store::RemoveOperator(const std::string& name) {
  Statement s(db_, "DELETE FROM operators WHERE name = ?");
  s.Bind(1, name).Step();
  bool removed = sqlite3_changes(db_) > 0;
  Statement forget(db_, "DELETE FROM devices WHERE operator = ?");
  forget.Bind(1, name).Step();
  return removed;
}

void Store::SaveDevice(const DeviceRecord& device, Millis unused) {
  {
    Statement s(db_, "DELETE FROM devices WHERE used_at < ?");
    s.Bind(1, unused).Step();
  }
  {
    Statement s(db_,
                "DELETE FROM devices WHERE mark_hash IN (SELECT mark_hash FROM devices "
                "ORDER BY used_at DESC LIMIT -1 OFFSET ?)");
    s.Bind(1, static_cast<int64_t>(kMaxDevices - 1)).Step();
  }
  Statement s(db_,
              "INSERT OR REPLACE INTO devices(mark_hash, operator, made_at, used_at) "
              "VALUES(?, ?, ?, ?)");
  s.Bind(1, device.mark_hash)
      .Bind(2, device.operator_name)
      .Bind(3, device.made)
      .Bind(4, device.used)
      .Step();
}

std::optional<DeviceRecord> Store::FindDevice(const std::string& mark_hash) {
  Statement s(db_, "SELECT mark_hash, operator, made_at, used_at FROM devices WHERE mark_hash = ?");
  s.Bind(1, mark_hash);
  if (!s.Step()) {
    return std::nullopt;
  }
  return DeviceRecord{s.Text(0), s.Text(1), s.Int(2), s.Int(3)};
}

void Store::TouchDevice(const std::string& mark_hash, Millis at) {
  Statement s(db_, "UPDATE devices SET used_at = ? WHERE mark_hash = ?");
  s.Bind(1, at).Bind(2, mark_hash).Step();
}

TillSetup Store::Till() {
  TillSetup till;
  {
    Statement s(db_, "SELECT value FROM settings WHERE key = 'currency'");
    if (s.Step()) {
      till.currency = s.Text(0);
    }
  }
  {
    // "end 60" or "sell 60"; anything else leaves the default rule.
    Statement s(db_, "SELECT value FROM settings WHERE key = 'time_up'");
    if (s.Step()) {
      std::string value = s.Text(0);
      size_t blank = value.find(' ');
      auto grace =
          blank == std::string::npos ? std::nullopt : text::ParseInt32(value.substr(blank + 1));
      if (grace && *grace >= 0 && *grace <= kMaxTimeUpGraceSeconds) {
        till.time_up = TimeUpRule{value.substr(0, blank) != "sell", *grace};
      }
    }
  }
  {
    Statement s(db_, "SELECT id, name, minimum FROM tariffs ORDER BY name");
    while (s.Step()) {
      till.tariffs.push_back(Tariff{s.Int(0), s.Text(1), s.Int(2), {}});
    }
  }
  for (auto& tariff : till.tariffs) {
    Statement s(db_,
                "SELECT days, from_minute, to_minute, per_hour FROM tariff_periods WHERE "
                "tariff_id = ? ORDER BY id");
    s.Bind(1, tariff.id);
    while (s.Step()) {
      tariff.periods.push_back(TariffPeriod{static_cast<uint8_t>(s.Int(0) & kEveryDay),
                                            static_cast<int32_t>(s.Int(1)),
                                            static_cast<int32_t>(s.Int(2)), s.Int(3)});
    }
  }
  {
    Statement s(db_,
                "SELECT id, name, price, minutes, window_from, window_to, last_sale, refundable "
                "FROM packages ORDER BY name");
    while (s.Step()) {
      Package package;
      package.id = s.Int(0);
      package.name = s.Text(1);
      package.price = s.Int(2);
      package.minutes = static_cast<int32_t>(s.Int(3));
      if (!s.IsNull(4)) {
        package.window =
            PackageWindow{static_cast<int32_t>(s.Int(4)), static_cast<int32_t>(s.Int(5)),
                          static_cast<int32_t>(s.Int(6))};
      }
      package.refundable = s.Int(7) != 0;
      till.packages.push_back(std::move(package));
    }
  }
  for (auto& package : till.packages) {
    Statement s(db_, "SELECT group_id FROM package_groups WHERE package_id = ? ORDER BY group_id");
    s.Bind(1, package.id);
    while (s.Step()) {
      package.groups.push_back(s.Int(0));
    }
  }
  {
    Statement s(db_, "SELECT id, name, tariff_id FROM till_groups ORDER BY name");
    while (s.Step()) {
      till.groups.push_back(Group{s.Int(0), s.Text(1), s.Int(2)});
    }
  }
  {
    Statement s(db_, "SELECT address, group_id FROM group_members");
    while (s.Step()) {
      till.members[s.Text(0)] = s.Int(1);
    }
  }
  Statement s(db_, "SELECT value FROM settings WHERE key = 'free_minutes_per_shift'");
  if (s.Step()) {
    till.free_minutes_per_shift = static_cast<int32_t>(std::atoi(s.Text(0).c_str()));
  }
  return till;
}

void Store::SetFreeMinutesPerShift(int32_t minutes) {
  Statement s(db_,
              "INSERT INTO settings(key, value) VALUES('free_minutes_per_shift', ?) "
              "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
  s.Bind(1, std::to_string(minutes)).Step();
}

void Store::SetCurrency(const std::string& code) {
  Statement s(db_,
              "INSERT INTO settings(key, value) VALUES('currency', ?) "
              "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
  s.Bind(1, code).Step();
}

// The tariff's row keeps the price of its first period (as the tariff's
// price was before it had periods); its periods are rows of their own.
int64_t Store::SaveTariff(const Tariff& tariff) {
  Money first = tariff.periods.empty() ? 0 : tariff.periods[0].per_hour;
  int64_t id = tariff.id;
  if (id == 0) {
    Statement s(db_, "INSERT INTO tariffs(name, per_hour, minimum) VALUES(?, ?, ?)");
    s.Bind(1, tariff.name).Bind(2, first).Bind(3, tariff.minimum).Step();
    id = sqlite3_last_insert_rowid(db_);
  } else {
    Statement s(db_, "UPDATE tariffs SET name = ?, per_hour = ?, minimum = ? WHERE id = ?");
    s.Bind(1, tariff.name).Bind(2, first).Bind(3, tariff.minimum).Bind(4, id).Step();
    Statement clear(db_, "DELETE FROM tariff_periods WHERE tariff_id = ?");
    clear.Bind(1, id).Step();
  }
  for (const auto& period : tariff.periods) {
    Statement s(db_,
                "INSERT INTO tariff_periods(tariff_id, days, from_minute, to_minute, per_hour) "
                "VALUES(?, ?, ?, ?, ?)");
    s.Bind(1, id)
        .Bind(2, int64_t{period.days})
        .Bind(3, int64_t{period.from})
        .Bind(4, int64_t{period.to})
        .Bind(5, period.per_hour)
        .Step();
  }
  return id;
}

void Store::DeleteTariff(int64_t id) {
  Statement periods(db_, "DELETE FROM tariff_periods WHERE tariff_id = ?");
  periods.Bind(1, id).Step();
  Statement s(db_, "DELETE FROM tariffs WHERE id = ?");
  s.Bind(1, id).Step();
}

int64_t Store::SavePackage(const Package& package) {
  int64_t id = package.id;
  auto bind = [&](Statement& s) {
    s.Bind(1, package.name)
        .Bind(2, package.price)
        .Bind(3, int64_t{package.minutes})
        .Bind(7, int64_t{package.refundable ? 1 : 0});
    if (package.window) {
      s.Bind(4, int64_t{package.window->from})
          .Bind(5, int64_t{package.window->to})
          .Bind(6, int64_t{package.window->last_sale});
    } else {
      s.BindNull(4).BindNull(5).BindNull(6);
    }
  };
  if (id == 0) {
    Statement s(db_,
                "INSERT INTO packages(name, price, minutes, window_from, window_to, last_sale, "
                "refundable) VALUES(?, ?, ?, ?, ?, ?, ?)");
    bind(s);
    s.Step();
    id = sqlite3_last_insert_rowid(db_);
  } else {
    Statement s(db_,
                "UPDATE packages SET name = ?, price = ?, minutes = ?, window_from = ?, "
                "window_to = ?, last_sale = ?, refundable = ? WHERE id = ?");
    bind(s);
    s.Bind(8, id).Step();
    Statement clear(db_, "DELETE FROM package_groups WHERE package_id = ?");
    clear.Bind(1, id).Step();
  }
  for (int64_t group : package.groups) {
    Statement s(db_, "INSERT OR IGNORE INTO package_groups(package_id, group_id) VALUES(?, ?)");
    s.Bind(1, id).Bind(2, group).Step();
  }
  return id;
}

void Store::DeletePackage(int64_t id) {
  Statement groups(db_, "DELETE FROM package_groups WHERE package_id = ?");
  groups.Bind(1, id).Step();
  Statement s(db_, "DELETE FROM packages WHERE id = ?");
  s.Bind(1, id).Step();
}

int64_t Store::SaveGroup(const Group& group) {
  if (group.id == 0) {
    Statement s(db_, "INSERT INTO till_groups(name, tariff_id) VALUES(?, ?)");
    s.Bind(1, group.name).Bind(2, group.tariff_id).Step();
    return sqlite3_last_insert_rowid(db_);
  }
  Statement s(db_, "UPDATE till_groups SET name = ?, tariff_id = ? WHERE id = ?");
  s.Bind(1, group.name).Bind(2, group.tariff_id).Bind(3, group.id).Step();
  return group.id;
}

void Store::DeleteGroup(int64_t id) {
  Statement packages(db_, "DELETE FROM package_groups WHERE group_id = ?");
  packages.Bind(1, id).Step();
  Statement s(db_, "DELETE FROM till_groups WHERE id = ?");
  s.Bind(1, id).Step();
}

void Store::SetStationGroup(const std::string& address, std::optional<int64_t> group) {
  if (!group) {
    Statement s(db_, "DELETE FROM group_members WHERE address = ?");
    s.Bind(1, address).Step();
    return;
  }
  Statement s(db_,
              "INSERT INTO group_members(address, group_id) VALUES(?, ?) "
              "ON CONFLICT(address) DO UPDATE SET group_id = excluded.group_id");
  s.Bind(1, address).Bind(2, *group).Step();
}

std::map<std::string, std::string> Store::StationMacs() {
  Statement s(db_, "SELECT address, mac FROM station_macs");
  std::map<std::string, std::string> macs;
  while (s.Step()) {
    macs[s.Text(0)] = s.Text(1);
  }
  return macs;
}

void Store::SetStationMac(const std::string& address, const std::optional<std::string>& mac) {
  if (!mac) {
    Statement s(db_, "DELETE FROM station_macs WHERE address = ?");
    s.Bind(1, address).Step();
    return;
  }
  Statement s(db_,
              "INSERT INTO station_macs(address, mac) VALUES(?, ?) "
              "ON CONFLICT(address) DO UPDATE SET mac = excluded.mac");
  s.Bind(1, address).Bind(2, *mac).Step();
}

int64_t Store::AddSale(const SaleRecord& sale) {
  Statement s(db_,
              "INSERT INTO sales(session_id, shift_id, at, operator, minutes, price, tariff, "
              "per_hour, kind, reason, parts, refundable, member_id) VALUES(?, ?, ?, ?, ?, ?, ?, "
              "?, ?, ?, ?, ?, ?)");
  s.Bind(1, sale.session_id);
  BindShift(s, 2, sale.shift_id);
  s.Bind(3, sale.at)
      .Bind(4, sale.by)
      .Bind(5, sale.minutes)
      .Bind(6, sale.price)
      .Bind(7, sale.tariff)
      .Bind(8, sale.per_hour)
      .Bind(9, std::string(SaleKindName(sale.kind)))
      .Bind(10, sale.reason)
      .Bind(11, PartsText(sale.parts))
      .Bind(12, int64_t{sale.refundable ? 1 : 0});
  BindShift(s, 13, sale.member_id);
  s.Step();
  return sqlite3_last_insert_rowid(db_);
}

std::vector<SaleRecord> Store::SalesOf(int64_t session_id) {
  Statement s(db_, (std::string(kSaleColumns) + "WHERE s.session_id = ? ORDER BY s.id").c_str());
  s.Bind(1, session_id);
  std::vector<SaleRecord> sales;
  while (s.Step()) {
    sales.push_back(ReadSale(s));
  }
  return sales;
}

std::optional<SaleRecord> Store::FindSale(int64_t id) {
  Statement s(db_, (std::string(kSaleColumns) + "WHERE s.id = ?").c_str());
  s.Bind(1, id);
  if (!s.Step()) {
    return std::nullopt;
  }
  return ReadSale(s);
}

int64_t Store::SaleCount() {
  Statement s(db_, "SELECT count(*) FROM sales");
  s.Step();
  return s.Int(0);
}

int64_t Store::AddRefund(const RefundRecord& refund) {
  Statement s(db_,
              "INSERT INTO refunds(session_id, shift_id, at, operator, minutes, amount, paid, "
              "settled_at, member_id) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  s.Bind(1, refund.session_id);
  BindShift(s, 2, refund.shift_id);
  s.Bind(3, refund.at)
      .Bind(4, refund.by)
      .Bind(5, refund.minutes)
      .Bind(6, refund.amount)
      .Bind(7, refund.paid ? 1 : 0);
  BindShift(s, 8, refund.settled);
  BindShift(s, 9, refund.member_id);
  s.Step();
  return sqlite3_last_insert_rowid(db_);
}

std::optional<RefundRecord> Store::RefundOf(int64_t session_id) {
  Statement s(db_, (std::string(kRefundColumns) + "WHERE session_id = ?").c_str());
  s.Bind(1, session_id);
  if (!s.Step()) {
    return std::nullopt;
  }
  return ReadRefund(s);
}

int64_t Store::AddVoid(const VoidRecord& v) {
  Statement s(db_,
              "INSERT INTO voids(sale_id, shift_id, at, operator, amount, reason) "
              "VALUES(?, ?, ?, ?, ?, ?)");
  s.Bind(1, v.sale_id)
      .Bind(2, v.shift_id)
      .Bind(3, v.at)
      .Bind(4, v.by)
      .Bind(5, v.amount)
      .Bind(6, v.reason)
      .Step();
  return sqlite3_last_insert_rowid(db_);
}

int64_t Store::MoveSession(const MoveRecord& move) {
  Statement row(db_, "UPDATE sessions SET address = ?, station = ? WHERE id = ?");
  row.Bind(1, move.to_address).Bind(2, move.to_station).Bind(3, move.session_id).Step();
  if (sqlite3_changes(db_) != 1) {
    throw RecordError("there is no session " + std::to_string(move.session_id) + " to move");
  }
  Statement s(db_,
              "INSERT INTO moves(session_id, at, operator, from_address, from_station, "
              "to_address, to_station, minutes) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  s.Bind(1, move.session_id)
      .Bind(2, move.at)
      .Bind(3, move.by)
      .Bind(4, move.from_address)
      .Bind(5, move.from_station)
      .Bind(6, move.to_address)
      .Bind(7, move.to_station)
      .Bind(8, move.minutes)
      .Step();
  return sqlite3_last_insert_rowid(db_);
}

void Store::SettleRefunds(Millis at, int64_t shift_id) {
  // A member's refund goes back to the balance now, in this shift. It gives
  // back what the balance paid, so it is never refused for the balance's
  // most (a settled end can't wait for a pay-out).
  {
    Statement s(db_,
                "INSERT INTO member_moves(member_id, kind, at, operator, amount, shift_id, "
                "refund_id) SELECT member_id, ?, ?, operator, amount, ?, id FROM refunds WHERE "
                "settled_at IS NULL AND member_id IS NOT NULL AND session_id IN (SELECT id FROM "
                "sessions WHERE ended_at IS NOT NULL) ORDER BY id");
    s.Bind(1, std::string(MoveKindName(MoveKind::kRefund))).Bind(2, at).Bind(3, shift_id).Step();
  }
  Statement s(db_,
              "UPDATE refunds SET settled_at = ?, shift_id = ? WHERE settled_at IS NULL AND "
              "session_id IN (SELECT id FROM sessions WHERE ended_at IS NOT NULL)");
  s.Bind(1, at).Bind(2, shift_id).Step();
}

void Store::SetTimeUp(const TimeUpRule& rule) {
  Statement s(db_,
              "INSERT INTO settings(key, value) VALUES('time_up', ?) "
              "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
  s.Bind(1, std::string(rule.end ? "end " : "sell ") + std::to_string(rule.grace_seconds)).Step();
}

std::set<std::string> Store::UnkeyedStations() {
  Statement s(db_, "SELECT address FROM unkeyed_stations");
  std::set<std::string> addresses;
  while (s.Step()) {
    addresses.insert(s.Text(0));
  }
  return addresses;
}

void Store::SetStationUnkeyed(const std::string& address, bool unkeyed) {
  Statement s(db_, unkeyed ? "INSERT OR IGNORE INTO unkeyed_stations(address) VALUES(?)"
                           : "DELETE FROM unkeyed_stations WHERE address = ?");
  s.Bind(1, address).Step();
}

std::optional<ShiftRecord> Store::OpenShift() {
  Statement s(db_, (std::string(kShiftColumns) + "WHERE closed_at IS NULL").c_str());
  if (!s.Step()) {
    return std::nullopt;
  }
  return ReadShift(s);
}

int64_t Store::BeginShift(Millis at, const std::string& by, Money opening) {
  Statement s(db_, "INSERT INTO shifts(opened_at, opened_by, opening_cash) VALUES(?, ?, ?)");
  s.Bind(1, at).Bind(2, by).Bind(3, opening).Step();
  return sqlite3_last_insert_rowid(db_);
}

void Store::EndShift(int64_t id, Millis at, const std::string& by, Money counted) {
  Statement s(db_,
              "UPDATE shifts SET closed_at = ?, closed_by = ?, counted_cash = ? WHERE id = ? AND "
              "closed_at IS NULL");
  s.Bind(1, at).Bind(2, by).Bind(3, counted).Bind(4, id).Step();
  if (sqlite3_changes(db_) != 1) {
    throw RecordError("the shift " + std::to_string(id) + " is not open");
  }
}

std::vector<ShiftRecord> Store::ShiftsBetween(Millis from, Millis to) {
  Statement s(db_, (std::string(kShiftColumns) +
                    "WHERE opened_at >= ? AND opened_at < ? ORDER BY opened_at, id")
                       .c_str());
  s.Bind(1, from).Bind(2, to);
  std::vector<ShiftRecord> shifts;
  while (s.Step()) {
    shifts.push_back(ReadShift(s));
  }
  return shifts;
}

std::optional<ShiftRecord> Store::ShiftBefore(int64_t id) {
  Statement s(db_, (std::string(kShiftColumns) + "WHERE id < ? ORDER BY id DESC LIMIT 1").c_str());
  s.Bind(1, id);
  if (!s.Step()) {
    return std::nullopt;
  }
  return ReadShift(s);
}

std::vector<SaleRecord> Store::ShiftSales(int64_t id) {
  Statement s(db_, (std::string(kSaleColumns) + "WHERE s.shift_id = ? ORDER BY s.id").c_str());
  s.Bind(1, id);
  std::vector<SaleRecord> sales;
  while (s.Step()) {
    sales.push_back(ReadSale(s));
  }
  return sales;
}

std::vector<RefundRecord> Store::ShiftRefunds(int64_t id) {
  // Only the settled ones: a pending refund moves no cash yet.
  Statement s(db_, (std::string(kRefundColumns) +
                    "WHERE shift_id = ? AND settled_at IS NOT NULL ORDER BY id")
                       .c_str());
  s.Bind(1, id);
  std::vector<RefundRecord> refunds;
  while (s.Step()) {
    refunds.push_back(ReadRefund(s));
  }
  return refunds;
}

std::vector<VoidRecord> Store::ShiftVoids(int64_t id) {
  std::vector<VoidRecord> voids;
  {
    Statement s(db_,
                "SELECT id, sale_id, shift_id, at, operator, amount, reason FROM voids WHERE "
                "shift_id = ? ORDER BY id");
    s.Bind(1, id);
    while (s.Step()) {
      voids.push_back(
          VoidRecord{s.Int(0), s.Int(1), s.Int(2), s.Int(3), s.Text(4), s.Int(5), s.Text(6)});
    }
  }
  for (auto& v : voids) {
    v.sale = FindSale(v.sale_id).value_or(SaleRecord{});
    Statement s(db_, "SELECT station FROM sessions WHERE id = ?");
    s.Bind(1, v.sale.session_id);
    if (s.Step()) {
      v.station = s.Text(0);
    }
  }
  return voids;
}

std::vector<Member> Store::Members() {
  Statement s(db_, (std::string(kMemberColumns) + "ORDER BY name, id").c_str());
  std::vector<Member> members;
  while (s.Step()) {
    members.push_back(ReadMember(s));
  }
  return members;
}

std::optional<Member> Store::FindMember(int64_t id) {
  Statement s(db_, (std::string(kMemberColumns) + "WHERE id = ?").c_str());
  s.Bind(1, id);
  if (!s.Step()) {
    return std::nullopt;
  }
  return ReadMember(s);
}

int64_t Store::SaveMember(const Member& member) {
  auto bind = [&](Statement& s) {
    s.Bind(1, member.name);
    if (member.card.empty()) {
      s.BindNull(2);
    } else {
      s.Bind(2, member.card);
    }
    s.Bind(3, member.phone).Bind(4, member.note).Bind(5, int64_t{member.discount});
  };
  if (member.id == 0) {
    Statement s(db_,
                "INSERT INTO members(name, card, phone, note, discount) VALUES(?, ?, ?, ?, ?)");
    bind(s);
    s.Step();
    return sqlite3_last_insert_rowid(db_);
  }
  Statement s(
      db_,
      "UPDATE members SET name = ?, card = ?, phone = ?, note = ?, discount = ? WHERE id = ? "
      "AND anonymised_at IS NULL");
  bind(s);
  s.Bind(6, member.id).Step();
  if (sqlite3_changes(db_) != 1) {
    throw RecordError("there is no member " + std::to_string(member.id) + " to change");
  }
  return member.id;
}

void Store::RemoveMember(int64_t id, Millis at) {
  Statement s(db_, "UPDATE members SET removed_at = ? WHERE id = ? AND removed_at IS NULL");
  s.Bind(1, at).Bind(2, id).Step();
}

void Store::AnonymiseMember(int64_t id, Millis at) {
  Statement s(db_,
              "UPDATE members SET name = '', card = NULL, phone = '', note = '', anonymised_at = ? "
              "WHERE id = ?");
  s.Bind(1, at).Bind(2, id).Step();
}

int64_t Store::AddMemberMove(const MemberMove& move) {
  // Read and written in one transaction that holds the record's write lock
  // (the console's changes run inside Atomically): no other writer can
  // spend the same balance between the check and the row.
  Money balance = 0;
  {
    Statement s(db_, "SELECT COALESCE(SUM(amount), 0) FROM member_moves WHERE member_id = ?");
    s.Bind(1, move.member_id).Step();
    balance = s.Int(0);
  }
  // A top-up is held to the balance's most; a void or a refund gives back
  // what the balance paid, and is never refused for it.
  Money after = 0;
  if (__builtin_add_overflow(balance, move.amount, &after) || after < 0 ||
      (move.kind == MoveKind::kTopUp && after > kMaxBalance)) {
    throw RecordError("member " + std::to_string(move.member_id) + " has " + MoneyText(balance) +
                      ": the balance can't go below 0.00, nor a top-up take it above " +
                      MoneyText(kMaxBalance));
  }
  Statement s(db_,
              "INSERT INTO member_moves(member_id, kind, at, operator, amount, shift_id, sale_id, "
              "refund_id) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  s.Bind(1, move.member_id)
      .Bind(2, std::string(MoveKindName(move.kind)))
      .Bind(3, move.at)
      .Bind(4, move.by)
      .Bind(5, move.amount);
  BindShift(s, 6, move.shift_id);
  BindShift(s, 7, move.sale_id);
  BindShift(s, 8, move.refund_id);
  s.Step();
  return sqlite3_last_insert_rowid(db_);
}

std::vector<MemberMove> Store::MemberMoves(int64_t member_id) {
  Statement s(db_,
              (std::string(kMemberMoveColumns) + "WHERE m.member_id = ? ORDER BY m.id").c_str());
  s.Bind(1, member_id);
  std::vector<MemberMove> moves;
  Money balance = 0;
  while (s.Step()) {
    moves.push_back(ReadMemberMove(s));
    if (__builtin_add_overflow(balance, moves.back().amount, &balance)) {
      throw RecordError("the balance of member " + std::to_string(member_id) +
                        " leaves the range of an amount: the record is damaged");
    }
    moves.back().balance = balance;
  }
  return moves;
}

std::vector<MemberMove> Store::ShiftMemberMoves(int64_t shift_id) {
  Statement s(db_,
              (std::string(kMemberMoveColumns) + "WHERE m.shift_id = ? ORDER BY m.id").c_str());
  s.Bind(1, shift_id);
  std::vector<MemberMove> moves;
  while (s.Step()) {
    moves.push_back(ReadMemberMove(s));
  }
  return moves;
}

std::optional<RequestRecord> Store::FindRequest(const std::string& operator_name,
                                                const std::string& id) {
  Statement s(db_,
              "SELECT operator, id, at, fingerprint, status, COALESCE(answer, '') FROM requests "
              "WHERE operator = ? AND id = ?");
  s.Bind(1, operator_name).Bind(2, id);
  if (!s.Step()) {
    return std::nullopt;
  }
  RequestRecord request{s.Text(0), s.Text(1), s.Int(2), s.Text(3), std::nullopt, s.Text(5)};
  if (!s.IsNull(4)) {
    request.status = static_cast<int>(s.Int(4));
  }
  return request;
}

void Store::ClaimRequest(const RequestRecord& request, Millis forget_before) {
  {
    Statement s(db_, "DELETE FROM requests WHERE at < ?");
    s.Bind(1, forget_before).Step();
  }
  Statement s(db_, "INSERT INTO requests(operator, id, at, fingerprint) VALUES(?, ?, ?, ?)");
  s.Bind(1, request.operator_name)
      .Bind(2, request.id)
      .Bind(3, request.at)
      .Bind(4, request.fingerprint)
      .Step();
}

void Store::AnswerRequest(const std::string& operator_name, const std::string& id, int status,
                          const std::string& answer) {
  Statement s(db_, "UPDATE requests SET status = ?, answer = ? WHERE operator = ? AND id = ?");
  s.Bind(1, status).Bind(2, answer).Bind(3, operator_name).Bind(4, id).Step();
}

}  // namespace zalvo::console
