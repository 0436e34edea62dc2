// What the console's core keeps in its record: every session with its sales,
// moves and refund, the corrections of the till (voids), the shifts, the
// till's tariffs with their periods, its packages and groups, the members
// with the moves of their balances, every operator's action, the ids of the
// requests the operators' pages sent, the room's stations with their places,
// the operators' password hashes and the marks of the browsers they logged in
// from. record/store.h keeps them in SQLite. A record that cannot be read or
// written throws RecordError. The till's rows (sales, refunds, voids) are
// written once and never changed or deleted: a correction is a row of its
// own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "console/core/billing.h"
#include "console/core/members.h"
#include "console/core/room.h"

namespace zalvo::console {

class RecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How minutes came to a session: sold at a tariff, sold as a package (at its
// fixed price), or given free (at price 0, with a reason, within the
// operator's allowance). The record keeps the kind's name ("sale",
// "package", "free").
enum class SaleKind { kSold, kFree, kPackage };
const char* SaleKindName(SaleKind kind);
std::optional<SaleKind> SaleKindFromName(std::string_view name);

// Minutes sold for a session: its start, or minutes added.
struct SaleRecord {
  int64_t id = 0;
  int64_t session_id = 0;
  std::optional<int64_t> shift_id;  // nullopt: sold unpriced, outside the till
  Millis at = 0;
  std::string by;
  int32_t minutes = 0;
  Money price = 0;
  std::string tariff;  // its name then (a package's: the package's)
  Money per_hour = 0;  // its price then (of its first minute)
  SaleKind kind = SaleKind::kSold;
  std::string reason = {};  // why minutes were given free
  // The minutes by their price per hour, in the order they run (none: all
  // at per_hour, or a package's).
  std::vector<SalePart> parts = {};
  bool refundable = true;  // a package's unused minutes may not be
  // Paid from this member's balance (nullopt: in cash).
  std::optional<int64_t> member_id = std::nullopt;
  // Filled when read: what a void of the sale took back (nullopt: none),
  // and when.
  std::optional<Money> voided = std::nullopt;
  Millis voided_at = 0;
};

// A sale taken back by an owner: its own row, in the shift open when it was
// made, naming the sale (which may be of an earlier shift). Its amount is
// what the sale brought into the drawer: its price less what of it an early
// end's refund paid out already.
struct VoidRecord {
  int64_t id = 0;
  int64_t sale_id = 0;
  int64_t shift_id = 0;
  Millis at = 0;
  std::string by;
  Money amount = 0;
  std::string reason;
  // Filled when read: the sale, and the station of its session.
  SaleRecord sale = {};
  std::string station = {};
};

// A session that went on at another station: its time and its sales went
// with it.
struct MoveRecord {
  int64_t id = 0;
  int64_t session_id = 0;
  Millis at = 0;
  std::string by;
  std::string from_address;
  std::string from_station;  // the names then
  std::string to_address;
  std::string to_station;
  int32_t minutes = 0;  // left when it moved, as the new station was given them
};

// The refund offered at an early end, paid out or kept: chosen when the
// end is asked, settled (the cash moves, in the shift open then) once the
// station has confirmed the end, or an owner closed the session. A member's
// session gives its refund back to the balance (paid, to the member named),
// when it is settled.
struct RefundRecord {
  int64_t id = 0;
  int64_t session_id = 0;
  std::optional<int64_t> shift_id = std::nullopt;  // the shift it is settled in
  Millis at = 0;
  std::string by;
  int32_t minutes = 0;
  Money amount = 0;
  bool paid = false;
  std::optional<Millis> settled = std::nullopt;  // nullopt: pending
  std::optional<int64_t> member_id = std::nullopt;
};

struct ShiftRecord {
  int64_t id = 0;
  Millis opened = 0;
  std::string opened_by;
  Money opening = 0;  // the cash in the drawer
  std::optional<Millis> closed;
  std::string closed_by;
  std::optional<Money> counted;
};

// What the console does when a session's time is up: ends it after a grace
// (the customer told first), or, in a club that is paid afterwards, lets it
// run on and sells the minutes over at the tariff when it ends.
struct TimeUpRule {
  bool end = true;
  int32_t grace_seconds = 60;
};
inline constexpr int32_t kMaxTimeUpGraceSeconds = 3600;

// The till's set-up: the currency, the tariffs, the groups and the group of
// each station (by address), the packages, the free minutes an operator may
// give in a shift (an owner gives any), and the rule at a session's time up.
struct TillSetup {
  std::string currency;
  std::vector<Tariff> tariffs;
  std::vector<Group> groups;
  std::vector<Package> packages;
  std::map<std::string, int64_t> members;
  int32_t free_minutes_per_shift = 0;
  TimeUpRule time_up;
};

// An owner also manages the operators, the till's set-up and the exports,
// and shuts stations down; an operator runs the counter.
enum class Role { kOwner, kOperator };
const char* RoleName(Role role);  // "owner", "operator"
std::optional<Role> RoleFromName(std::string_view name);

struct OperatorRecord {
  std::string name;
  std::string hash;  // the password's
  Role role = Role::kOwner;
};

// A line of the action log: who did what, when, to which station, and how
// it ended (empty: done; else why it was refused or failed).
struct ActionRecord {
  int64_t id = 0;
  Millis at = 0;
  std::string by;
  std::string station;
  std::string action;
  std::string detail;
  std::string outcome;
};

// An operator's log-in, kept so that it survives a restart: the hash of its
// token (never the token), the password hash it was opened with, and its
// times.
struct LoginRecord {
  std::string token_hash;
  std::string operator_name;
  std::string credential;
  std::string csrf;
  Millis opened = 0;
  Millis last_used = 0;
};

// A request an operator's page sent with its id, kept for a day so that a
// repeat of it (a double click, a resend after a lost answer, a reload) gets
// the first one's answer instead of being carried out again. `fingerprint`
// names what was asked; `status` and `answer` are unset while it is being
// carried out.
struct RequestRecord {
  std::string operator_name;
  std::string id;
  Millis at = 0;
  std::string fingerprint;
  std::optional<int> status;
  std::string answer;
};

// What the log view asks for: the lines of [from, to), newest first, at most
// `most`; of one operator, one station (by address) and one kind of action
// when those are given; and only those older than the line (before_at,
// before_id) when before_id is not 0, for the next page.
struct ActionQuery {
  Millis from = 0;
  Millis to = 0;
  std::string by;
  std::string station;
  std::string action;
  Millis before_at = 0;
  int64_t before_id = 0;
  size_t most = 200;
};

// A browser that logged in as an operator before: the hash of the mark it
// holds (never the mark), and when it was made and last used. A new
// password of the operator, or the operator's removal, forgets the marks.
struct DeviceRecord {
  std::string mark_hash;
  std::string operator_name;
  Millis made = 0;
  Millis used = 0;
};
// The most marks the record keeps: past it, the least recently used goes.
inline constexpr size_t kMaxDevices = 1024;

struct SessionRecord {
  int64_t id = 0;
  std::string station;  // the station's name then (after a move: the last one's)
  std::string address;
  Millis started = 0;
  Millis ends = 0;
  int32_t minutes = 0;
  std::string started_by;
  std::optional<Millis> ended;
  std::string ended_by;
  // An end asked of the station and not confirmed yet (the session is then
  // still open); and when the station confirmed the end, nullopt for one an
  // owner closed that the station has not confirmed since, with the
  // owner's reason.
  std::optional<Millis> end_asked;
  std::string end_asked_by;
  std::optional<Millis> end_confirmed;
  std::string close_reason;
  std::optional<int64_t> member_id = std::nullopt;  // sold to this member
  // Filled by SessionsBetween: what was sold (none for a session of a
  // station without tariff), its moves, and the refund offered at its end.
  std::vector<SaleRecord> sales;
  std::vector<MoveRecord> moves;
  std::optional<RefundRecord> refund;
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
  // The end asked of the station; the session stays open until it is
  // confirmed (EndSession) or closed.
  virtual void AskEnd(int64_t id, Millis at, const std::string& by) = 0;
  // The station confirmed the end.
  virtual void EndSession(int64_t id, Millis ended, const std::string& ended_by) = 0;
  // An owner ends the record of a station that does not confirm the end;
  // the end stays unconfirmed until ConfirmEnd.
  virtual void CloseSession(int64_t id, Millis at, const std::string& by,
                            const std::string& reason) = 0;
  virtual void ConfirmEnd(int64_t id, Millis at) = 0;
  // The sessions not ended, to rebuild the room after a restart; and those
  // closed whose end the station has not confirmed, to go on sending it.
  virtual std::vector<SessionRecord> OpenSessions() = 0;
  virtual std::vector<SessionRecord> UnconfirmedEnds() = 0;
  // The sessions that started in [from, to).
  virtual std::vector<SessionRecord> SessionsBetween(Millis from, Millis to) = 0;

  virtual void RecordAction(Millis at, const std::string& by, const std::string& station,
                            const std::string& action, const std::string& detail) = 0;

  // The room's stations (name, address, place; not the MAC), in the order
  // they joined it.
  virtual std::vector<StationConfig> Stations() = 0;
  // A new station; one whose address is there already is left as it is.
  virtual void AddStation(const StationConfig& station, Millis at) = 0;
  // The name and place of the station at the address.
  virtual void UpdateStation(const StationConfig& station) = 0;
  // Takes a station out of the room (its sessions stay); false when there
  // was none.
  virtual bool RemoveStation(const std::string& address) = 0;

  // The console's own settings by key; nullopt (or setting nullopt) when
  // there is none.
  virtual std::optional<std::string> Setting(const std::string& key) = 0;
  virtual void SetSetting(const std::string& key, const std::optional<std::string>& value) = 0;

  // A refused or failed action, for the log.
  virtual void RecordRefusal(Millis at, const std::string& by, const std::string& station,
                             const std::string& action, const std::string& detail,
                             const std::string& reason) = 0;
  // The lines of the log the query asks for.
  virtual std::vector<ActionRecord> Actions(const ActionQuery& query) = 0;
  // The kinds of action in the log of [from, to), for the log view's filter.
  virtual std::vector<std::string> ActionKinds(Millis from, Millis to) = 0;

  // Operators: nullopt when there is no such operator. Setting one with an
  // empty hash keeps its password, without a role keeps its role (a new one
  // is an owner); a new password, or the removal, forgets the marks of the
  // browsers the operator logged in from.
  virtual std::optional<OperatorRecord> Operator(const std::string& name) = 0;
  virtual std::vector<OperatorRecord> Operators() = 0;
  virtual void SetOperator(const std::string& name, const std::string& password_hash,
                           std::optional<Role> role) = 0;
  // False when there is no such operator.
  virtual bool RemoveOperator(const std::string& name) = 0;

  // Log-ins, by the hash of their token.
  virtual void SaveLogin(const LoginRecord& login) = 0;
  virtual std::optional<LoginRecord> FindLogin(const std::string& token_hash) = 0;
  virtual void TouchLogin(const std::string& token_hash, Millis at) = 0;
  virtual void DeleteLogin(const std::string& token_hash) = 0;
  // Forgets the log-ins opened before `opened` or last used before `used`.
  virtual void DeleteLoginsBefore(Millis opened, Millis used) = 0;

  // The marks of browsers that logged in before, by the hash of the mark;
  // saving one past kMaxDevices forgets the least recently used, and those
  // unused since `unused` are forgotten as new ones come.
  virtual void SaveDevice(const DeviceRecord& device, Millis unused) = 0;
  virtual std::optional<DeviceRecord> FindDevice(const std::string& mark_hash) = 0;
  virtual void TouchDevice(const std::string& mark_hash, Millis at) = 0;

  // The till. Saving a tariff or group of id 0 adds it and returns its id;
  // a name taken by another throws RecordError.
  virtual TillSetup Till() = 0;
  virtual void SetCurrency(const std::string& code) = 0;
  virtual int64_t SaveTariff(const Tariff& tariff) = 0;
  virtual void DeleteTariff(int64_t id) = 0;
  virtual int64_t SaveGroup(const Group& group) = 0;
  virtual void DeleteGroup(int64_t id) = 0;
  // nullopt: the station belongs to no group.
  virtual void SetStationGroup(const std::string& address, std::optional<int64_t> group) = 0;
  // Saving a package of id 0 adds it; its groups are set with it.
  virtual int64_t SavePackage(const Package& package) = 0;
  virtual void DeletePackage(int64_t id) = 0;

  // The stations' MAC addresses ("00:1a:2b:3c:4d:5e"), by address;
  // nullopt forgets one.
  virtual std::map<std::string, std::string> StationMacs() = 0;
  virtual void SetStationMac(const std::string& address, const std::optional<std::string>& mac) = 0;

  virtual void SetFreeMinutesPerShift(int32_t minutes) = 0;

  virtual int64_t AddSale(const SaleRecord& sale) = 0;
  // A session's sales in the order they were made, each with its void.
  virtual std::vector<SaleRecord> SalesOf(int64_t session_id) = 0;
  virtual std::optional<SaleRecord> FindSale(int64_t id) = 0;
  virtual int64_t SaleCount() = 0;
  // A refund as chosen at the end asked: pending until settled.
  virtual int64_t AddRefund(const RefundRecord& refund) = 0;
  virtual std::optional<RefundRecord> RefundOf(int64_t session_id) = 0;
  // A sale can be voided once (a second void throws RecordError).
  virtual int64_t AddVoid(const VoidRecord& void_record) = 0;
  // The session goes on at the move's station: its row names that station
  // from now on, and the move is a row of its own.
  virtual int64_t MoveSession(const MoveRecord& move) = 0;
  // The pending refunds of the sessions that have ended are settled in the
  // shift: a member's goes back to the member's balance then.
  virtual void SettleRefunds(Millis at, int64_t shift_id) = 0;
  virtual void SetTimeUp(const TimeUpRule& rule) = 0;

  // The stations marked as still installed without a command key.
  virtual std::set<std::string> UnkeyedStations() = 0;
  virtual void SetStationUnkeyed(const std::string& address, bool unkeyed) = 0;

  virtual std::optional<ShiftRecord> OpenShift() = 0;
  virtual int64_t BeginShift(Millis at, const std::string& by, Money opening) = 0;
  virtual void EndShift(int64_t id, Millis at, const std::string& by, Money counted) = 0;
  // The shifts opened in [from, to).
  virtual std::vector<ShiftRecord> ShiftsBetween(Millis from, Millis to) = 0;
  // The shift opened last before the shift `id` (any id past the last: the
  // last shift); nullopt when there is none.
  virtual std::optional<ShiftRecord> ShiftBefore(int64_t id) = 0;
  // What belongs to a shift: its sales of every kind (each with its void),
  // its refunds paid out or kept, and the voids made in it.
  virtual std::vector<SaleRecord> ShiftSales(int64_t id) = 0;
  virtual std::vector<RefundRecord> ShiftRefunds(int64_t id) = 0;
  virtual std::vector<VoidRecord> ShiftVoids(int64_t id) = 0;

  // Members, with their balances. Saving one of id 0 adds it; a card taken
  // by another member throws RecordError. Removing and anonymising keep the
  // member's row (its money rows name it).
  virtual std::vector<Member> Members() = 0;
  virtual std::optional<Member> FindMember(int64_t id) = 0;
  virtual int64_t SaveMember(const Member& member) = 0;
  virtual void RemoveMember(int64_t id, Millis at) = 0;
  virtual void AnonymiseMember(int64_t id, Millis at) = 0;
  // A move of a member's balance; one that would take the balance below
  // zero (or a top-up above kMaxBalance) throws RecordError and is not
  // written, so that two counters selling to one member never spend the
  // balance twice.
  virtual int64_t AddMemberMove(const MemberMove& move) = 0;
  // A member's moves in order, each with the balance after it; the moves
  // made in a shift.
  virtual std::vector<MemberMove> MemberMoves(int64_t member_id) = 0;
  virtual std::vector<MemberMove> ShiftMemberMoves(int64_t shift_id) = 0;

  // Request ids, by operator. Claiming one keeps it (as being carried out)
  // and first forgets those claimed before `forget_before`; an id kept
  // already throws RecordError.
  virtual std::optional<RequestRecord> FindRequest(const std::string& operator_name,
                                                   const std::string& id) = 0;
  virtual void ClaimRequest(const RequestRecord& request, Millis forget_before) = 0;
  virtual void AnswerRequest(const std::string& operator_name, const std::string& id, int status,
                             const std::string& answer) = 0;
};

}  // namespace zalvo::console
