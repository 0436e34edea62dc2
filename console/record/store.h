// The console's record in SQLite: every session (station, start, end,
// minutes, who started and ended it) with its sales, moves and refund, the
// voids, the shifts and the till's set-up (tariffs with their periods,
// packages, groups), the members and their balances' moves, every operator
// action, the requests' ids of the last day, the room's stations, and the
// operators with their password hashes and the marks of their browsers. Each
// change is one committed transaction, so a crash of the console loses at
// most the action it was carrying out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/core/record.h"

struct sqlite3;

namespace zalvo::console {

class Store : public Record {
 public:
  // Opens the database file, creating it when it does not exist (mode 0600),
  // and checks that it can be read and written: a read-only, locked, corrupt
  // or foreign file, or one of a newer schema, throws RecordError saying
  // which. An existing file that others may read is made its owner's alone,
  // and notes() says so.
  //
  // `schema` stops the upgrade at an earlier schema (0: the newest), so that
  // a test can fill a record as an older console left it.
  explicit Store(const std::string& path, int schema = 0);
  ~Store() override;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  void Atomically(const std::function<void()>& writes) override;
  int64_t StartSession(const Station& station, const RentalSession& session) override;
  void RenewSession(int64_t id, const RentalSession& session) override;
  void AskEnd(int64_t id, Millis at, const std::string& by) override;
  void EndSession(int64_t id, Millis ended, const std::string& ended_by) override;
  void CloseSession(int64_t id, Millis at, const std::string& by,
                    const std::string& reason) override;
  void ConfirmEnd(int64_t id, Millis at) override;
  std::vector<SessionRecord> OpenSessions() override;
  std::vector<SessionRecord> UnconfirmedEnds() override;
  std::vector<SessionRecord> SessionsBetween(Millis from, Millis to) override;

  void RecordAction(Millis at, const std::string& by, const std::string& station,
                    const std::string& action, const std::string& detail) override;
  int64_t ActionCount();

  std::vector<StationConfig> Stations() override;
  void AddStation(const StationConfig& station, Millis at) override;
  void UpdateStation(const StationConfig& station) override;
  bool RemoveStation(const std::string& address) override;
  std::optional<std::string> Setting(const std::string& key) override;
  void SetSetting(const std::string& key, const std::optional<std::string>& value) override;

  void RecordRefusal(Millis at, const std::string& by, const std::string& station,
                     const std::string& action, const std::string& detail,
                     const std::string& reason) override;
  std::vector<ActionRecord> Actions(const ActionQuery& query) override;
  std::vector<std::string> ActionKinds(Millis from, Millis to) override;

  // Operators: a name, a password hash (never the password) and a role.
  std::optional<OperatorRecord> Operator(const std::string& name) override;
  std::vector<OperatorRecord> Operators() override;
  void SetOperator(const std::string& name, const std::string& password_hash,
                   std::optional<Role> role) override;
  void SetOperator(const std::string& name, const std::string& password_hash) {
    SetOperator(name, password_hash, std::nullopt);
  }
  int64_t OperatorCount();
  bool RemoveOperator(const std::string& name) override;

  void SaveLogin(const LoginRecord& login) override;
  std::optional<LoginRecord> FindLogin(const std::string& token_hash) override;
  void TouchLogin(const std::string& token_hash, Millis at) override;
  void DeleteLogin(const std::string& token_hash) override;
  void DeleteLoginsBefore(Millis opened, Millis used) override;
  void SaveDevice(const DeviceRecord& device, Millis unused) override;
  std::optional<DeviceRecord> FindDevice(const std::string& mark_hash) override;
  void TouchDevice(const std::string& mark_hash, Millis at) override;

  TillSetup Till() override;
  void SetCurrency(const std::string& code) override;
  int64_t SaveTariff(const Tariff& tariff) override;
  void DeleteTariff(int64_t id) override;
  int64_t SaveGroup(const Group& group) override;
  void DeleteGroup(int64_t id) override;
  void SetStationGroup(const std::string& address, std::optional<int64_t> group) override;
  int64_t SavePackage(const Package& package) override;
  void DeletePackage(int64_t id) override;
  std::map<std::string, std::string> StationMacs() override;
  void SetStationMac(const std::string& address, const std::optional<std::string>& mac) override;
  void SetFreeMinutesPerShift(int32_t minutes) override;
  int64_t AddSale(const SaleRecord& sale) override;
  std::vector<SaleRecord> SalesOf(int64_t session_id) override;
  std::optional<SaleRecord> FindSale(int64_t id) override;
  int64_t SaleCount() override;
  int64_t AddRefund(const RefundRecord& refund) override;
  std::optional<RefundRecord> RefundOf(int64_t session_id) override;
  int64_t AddVoid(const VoidRecord& void_record) override;
  int64_t MoveSession(const MoveRecord& move) override;
  void SettleRefunds(Millis at, int64_t shift_id) override;
  void SetTimeUp(const TimeUpRule& rule) override;
  std::set<std::string> UnkeyedStations() override;
  void SetStationUnkeyed(const std::string& address, bool unkeyed) override;
  std::optional<ShiftRecord> OpenShift() override;
  int64_t BeginShift(Millis at, const std::string& by, Money opening) override;
  void EndShift(int64_t id, Millis at, const std::string& by, Money counted) override;
  std::vector<ShiftRecord> ShiftsBetween(Millis from, Millis to) override;
  std::optional<ShiftRecord> ShiftBefore(int64_t id) override;
  std::vector<SaleRecord> ShiftSales(int64_t id) override;
  std::vector<RefundRecord> ShiftRefunds(int64_t id) override;
  std::vector<VoidRecord> ShiftVoids(int64_t id) override;
  std::vector<Member> Members() override;
  std::optional<Member> FindMember(int64_t id) override;
  int64_t SaveMember(const Member& member) override;
  void RemoveMember(int64_t id, Millis at) override;
  void AnonymiseMember(int64_t id, Millis at) override;
  int64_t AddMemberMove(const MemberMove& move) override;
  std::vector<MemberMove> MemberMoves(int64_t member_id) override;
  std::vector<MemberMove> ShiftMemberMoves(int64_t shift_id) override;
  std::optional<RequestRecord> FindRequest(const std::string& operator_name,
                                           const std::string& id) override;
  void ClaimRequest(const RequestRecord& request, Millis forget_before) override;
  void AnswerRequest(const std::string& operator_name, const std::string& id, int status,
                     const std::string& answer) override;

  // What the opening changed about the files' rights, for the log.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  void Execute(const char* sql);

  std::vector<std::string> notes_;
  sqlite3* db_ = nullptr;
};

}  // namespace zalvo::console
