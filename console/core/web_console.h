// The web console's core: the room behind one mutex, the UDP side that
// holds the reply port (receives every station's datagrams and sends the
// commands from the same port), and the operators' actions, each recorded
// before it is sent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console/core/actions.h"
#include "console/core/billing.h"
#include "console/core/envelope.h"
#include "console/core/record.h"
#include "console/core/room.h"
#include "console/core/room_changes.h"
#include "console/core/room_file.h"
#include "console/core/shift_report.h"
#include "console/core/till_changes.h"
#include "console/core/wake.h"
#include "platform/datagram_socket.h"

namespace zalvo::console {

struct WebConsoleOptions {
  std::string udp_address = "0.0.0.0";
  uint16_t udp_port = 6868;
  std::function<Millis()> clock;                // the wall clock by default
  std::function<void(const std::string&)> log;  // UTF-8 lines; none by default
  // Power-on: the magic packets go to this broadcast address and port.
  std::string wake_address = "255.255.255.255";
  uint16_t wake_port = kWakePort;
  // The server's neighbour table (/proc/net/arp), to fill in MAC addresses.
  std::function<std::string()> neighbour_table;
  // A message to the customer this long before a session's time runs out
  // (0: none), its text with "{minutes}" for the minutes left (UTF-8).
  Millis warn_before_end_ms = 0;
  std::string warn_text = "Времето ви изтича след {minutes} мин.";
  // Before a start or an added time the station is asked for its report
  // ("ACTION INFO") and the action waits this long for it.
  Millis probe_wait_ms = 1'500;
  // Rented and ending stations are asked for their state ("ACTION STATE")
  // and their report this often, so that a silent one is seen (the room's
  // options say when it counts as lost); free ones for their state this
  // often.
  Millis probe_every_ms = 5'000;
  Millis state_every_ms = 30'000;
  // A start queued for a station that is starting waits this long for it.
  Millis queue_ms = 300'000;
  // The room file's text, read at each use (throws std::exception when it
  // can't be read); none without a room file.
  std::function<std::string()> room_file;
};

// The room file beside the record: the lines the record lacks, which the
// page offers to take over unless an owner dismissed them, or why the file
// can't be read.
struct RoomFileView {
  bool exists = false;
  std::string problem;
  std::vector<std::string> missing;
  bool dismissed = false;
};

// What ending a station now would do: whether it has a session, and the
// refund it would be offered (a member's goes back to the balance).
struct EndPreview {
  std::string address;
  bool rented = false;
  int32_t unused_minutes = 0;
  RefundOffer offer;
  std::optional<int64_t> member_id;
};

// The till as the page shows it: the set-up, the open shift, and what each
// rented station's session has cost so far (by address).
struct TillView {
  TillSetup setup;
  std::map<std::string, std::string> macs;  // by address
  std::optional<ShiftReport> shift;
  std::map<std::string, Money> session_prices;
};

// A sale asked about before it is made: minutes or a package, to a member
// (whose discount it gets) or in cash.
struct SaleQuestion {
  int32_t minutes = 0;
  int64_t package_id = 0;
  int64_t member_id = 0;
};

// What the sale costs now in a group (a start: its minutes from now), or on a
// rented station (an add: its minutes from the session's end, at the
// discount of the session's member).
struct QuotedPrice {
  std::optional<Money> price;  // nullopt: not sold there now (why says why)
  int32_t minutes = 0;
  std::string why;
};
struct GroupPrice {
  Group group;
  std::string tariff;
  QuotedPrice quote;
};
struct PriceQuote {
  std::vector<GroupPrice> groups;
  std::map<std::string, QuotedPrice> stations;  // the rented ones, by address
};

// How long the record keeps a request's id.
inline constexpr Millis kRequestKeptMs = Millis{24} * 3600 * 1000;

// The price per hour the minutes over a session's time begin at, and the
// tariff's minimum: what the page counts them at while they run.
struct OverrunPrice {
  Money per_hour = 0;
  Money minimum = 0;
};

// The room, or what changed in it after a version the page has.
struct RoomSnapshot {
  Millis now = 0;
  uint64_t version = 0;
  Millis keepalive_ms = 0;
  // The whole room; else the stations changed after the version asked for
  // and the addresses removed since.
  bool full = true;
  std::vector<Station> stations;
  std::vector<bool> online;
  std::vector<std::string> removed;
  std::vector<Connection> connection;
  // Of each station above: what its minutes over the time sell at, where
  // the club is paid afterwards and its session may run over.
  std::vector<std::optional<OverrunPrice>> overrun_price;
  size_t lost_count = 0;  // in the whole room
  RoomCounters counters;
  bool keyed = false;  // the console has the club key
};

// The room's answer to a page that has version `after` (0: none).
RoomSnapshot SnapshotOf(const Room& room, Millis now, uint64_t after = 0);

// The longest an operator's log-in lasts, and the longest it lasts unused.
inline constexpr Millis kLoginLifetimeMs = Millis{12} * 3600 * 1000;
inline constexpr Millis kLoginIdleMs = Millis{3600} * 1000;

class WebConsole {
 public:
  WebConsole(Room room, Record& record, Envelope& envelope, platform::DatagramSocket& socket,
             WebConsoleOptions options);
  ~WebConsole();
  WebConsole(const WebConsole&) = delete;
  WebConsole& operator=(const WebConsole&) = delete;

  // Puts the sessions that were open when the console last stopped back into
  // the room, and loads the till; a session of a station that is no longer
  // in the room stays open in the record and is logged.
  void RestoreSessions();

  // The room from the record. At the first start with the record's schema
  // (a new record, or one just upgraded) the room file's lines the record
  // lacks are taken in first, once; then the file only offers its lines on
  // the page. Returns what it did and found, for the console's log; throws
  // Refused when that first start can't read the room file.
  std::vector<std::string> OpenRoom();
  // Takes the plan's lines the record lacks into the record (stations,
  // tariffs, groups, the stations' groups and MACs, the currency) and the
  // room; how many lines.
  size_t TakeOver(const std::string& operator_name, const RoomPlan& plan);
  RoomFileView RoomFile();

  // Binds the UDP port (PlatformError when it is taken), starts receiving,
  // asks every station of the room for its status report, and starts the
  // watch over the rented stations' connections.
  void Start();
  void Stop();

  bool HasStation(const std::string& address);
  // Carries the action out on each station in turn, through its row of the
  // actions' table; each is recorded, then sent. The stations must be in the
  // room; one shown as unknown is refused. An action whose row probes (a
  // start, an added time) first asks the stations for their report, all at
  // once, and waits up to the probe's time (without the console's lock) for
  // each: one that does not answer is refused, with can_queue when it is
  // known to be restarting. Blocks that long: call it off the threads that
  // must answer quickly.
  std::vector<ActionOutcome> Act(const std::string& operator_name, const ActionRequest& request);
  // Ends the station's session the one way every end goes (the "end"
  // action's row): recorded as asked, the "ACTION STAND"s sent, and ended
  // on record once the station confirms it, waited for up to the probe's
  // time when `wait`; the outcome is pending while the station shows
  // "ending". `refund`: see ActionRequest.
  ActionOutcome End(const std::string& operator_name, const std::string& address,
                    std::optional<bool> refund = std::nullopt, bool wait = true);

  // A change of the room, through its row of the room changes' table (see
  // room_changes.h): recorded with its line in the log, then the room
  // follows the record. The outcome says what changed.
  ActionOutcome ChangeRoom(const std::string& operator_name, const RoomChange& change);

  RoomSnapshot Snapshot(uint64_t after = 0);
  uint64_t Version();
  // Called after each change of the room's version, from the receiving
  // thread, the watch's or an operator's, possibly with the console's lock held: it must
  // not call the console back, only note the change. Set it before Start.
  void SetChangeListener(std::function<void()> listener);

  std::vector<SessionRecord> SessionsBetween(Millis from, Millis to);

  // The till. Each change is recorded with its operator, through the
  // change's row (see till_changes.h); refusals say why.
  TillView Till();
  ActionOutcome ChangeTill(const std::string& operator_name, const TillChange& change);
  std::vector<EndPreview> PreviewEnd(const std::vector<std::string>& addresses);
  // What the sale would cost now in each group and on each rented station
  // (none where the club does not sell by tariff).
  PriceQuote QuoteSale(const SaleQuestion& question);
  // The members found by a part of their name, card or phone (removed ones
  // are not), at most `most`, by name; and one member's statement: the
  // member and the moves of the balance.
  std::vector<Member> FindMembers(const std::string& find, size_t most);
  std::optional<std::pair<Member, std::vector<MemberMove>>> Statement(int64_t member_id);
  // A shift opens with the cash in the drawer, compared with the last
  // shift's count (the outcome says so, and the log), and closes with its
  // count; only one is open at a time. The outcome's report is the shift's.
  ActionOutcome OpenShift(const std::string& operator_name, Money cash);
  ActionOutcome CloseShift(const std::string& operator_name, Money counted,
                           std::optional<ShiftReport>& report);
  // The shifts opened in [from, to), with their totals.
  std::vector<ShiftReport> ShiftsBetween(Millis from, Millis to);
  void RecordAction(const std::string& operator_name, const std::string& action,
                    const std::string& detail);

  // Operators. Setting one with an empty hash keeps its password; the last
  // owner can be neither removed nor made an operator.
  std::optional<OperatorRecord> Operator(const std::string& name);
  std::vector<OperatorRecord> Operators();
  ActionOutcome SetOperator(const std::string& by, const std::string& name,
                            const std::string& password_hash, std::optional<Role> role);
  ActionOutcome RemoveOperator(const std::string& by, const std::string& name);
  // The ids of the operators' requests (see Record): found, claimed (as
  // being carried out; throws RecordError when it is kept already or the
  // record fails), and answered.
  std::optional<RequestRecord> FindRequest(const std::string& operator_name, const std::string& id);
  void ClaimRequest(const std::string& operator_name, const std::string& id,
                    const std::string& fingerprint);
  void AnswerRequest(const std::string& operator_name, const std::string& id, int status,
                     const std::string& answer);
  // The lines of the action log the query asks for, and the kinds of
  // action in its days.
  std::vector<ActionRecord> Actions(const ActionQuery& query);
  std::vector<std::string> ActionKinds(Millis from, Millis to);
  // The log-ins kept in the record, by their token's hash.
  void SaveLogin(const LoginRecord& login);
  std::optional<LoginRecord> FindLogin(const std::string& token_hash);
  void TouchLogin(const std::string& token_hash);
  void DeleteLogin(const std::string& token_hash);
  // The marks of browsers that logged in before: whether the mark's hash
  // is one the operator's browser holds (its use noted), and a new one.
  bool KnownDevice(const std::string& mark_hash, const std::string& operator_name);
  void SaveDevice(const std::string& mark_hash, const std::string& operator_name);

  // The console's wall clock.
  Millis Now();

 private:
  void ReceiveLoop();
  // One datagram, with the console's lock held.
  void Receive(const platform::ReceivedDatagram& datagram, Millis now);
  // Every few hundred milliseconds: flags rented stations that fell silent
  // or came back, and asks the rented stations for their report every
  // probe_every_ms.
  void WatchLoop();
  // With the lock held: the sessions whose end is now near enough to tell
  // the customer, once each; (address, text).
  std::vector<std::pair<std::string, std::string>> DueWarnings(Millis now);
  // Asks the stations for their report and waits up to probe_wait_ms for
  // all of them; the addresses of those that answered.
  std::vector<std::string> Probe(const std::vector<std::string>& addresses);
  // One station's part of an action, through the action's row (see
  // actions.h). `answered`: the stations that answered the probe before it;
  // `wait`: an end waits for the station's word.
  ActionOutcome ActOn(const std::string& operator_name, const ActionRequest& request,
                      const std::string& address, const std::vector<std::string>& answered,
                      bool wait = true);
  // A start held for a station that is starting (see ActionRequest::queue);
  // carried out once the station is heard, or dropped when its time is up.
  ActionOutcome Queue(const std::string& operator_name, const ActionRequest& request,
                      const std::string& address);
  void RunQueued(const std::string& address);
  // Sends the commands to the station in order, each sealed under the
  // console's lock; `noted` runs under that lock with their nonces before
  // any is sent, so that the room knows them before a reply can come. Call
  // it without the lock.
  void Send(const std::string& address, const std::vector<std::string>& commands,
            const std::function<void(const std::vector<std::string>&)>& noted = nullptr);
  void Send(const std::string& address, std::string_view command) {
    Send(address, std::vector<std::string>{std::string(command)});
  }
  // Asks the station for its state (alone: see Room's answer_ms).
  void AskState(const std::string& address);
  // Sends an end's "ACTION STAND"s and asks for the state after them.
  void SendEnd(const std::string& address, const std::vector<std::string>& stands);
  // With the lock held: what a datagram the station sent means for its
  // pending end and for the record (a mismatch); and the end confirmed.
  void Settle(const std::string& address, std::string_view text, const Seal& seal, Millis now);
  void ConfirmEnd(const std::string& address, Millis now, const std::string& how);
  void Changed();
  void Log(const std::string& line);
  // With the lock held.
  ShiftReport ReportOf(const ShiftRecord& shift);
  // What the session's sales cost now (after a void), for its station's card.
  void RepriceSession(int64_t session_id);
  // The room file's lines the record lacks (nullopt without a file),
  // or why it can't be read.
  std::optional<RoomFileLines> FileLines(std::string& problem);
  // The room's known stations as the record's lines see them.
  std::vector<StationConfig> RoomStations() const;
  // The till and the room as the record now has them (after a change of
  // either); under mutex_.
  void FollowRecord();
  size_t OwnerCount();

  Room room_;
  Record& record_;
  std::set<int64_t> warned_;             // sessions told their end is near
  std::set<int64_t> timed_up_;           // sessions ended at their time up
  std::map<std::string, Millis> asked_;  // when each station was last asked its state
  // The starts held for stations that are starting, with who asked.
  std::map<std::string, std::pair<std::string, ActionRequest>> queued_;
  TillSetup till_;                           // as in the record
  std::map<std::string, std::string> macs_;  // as in the record
  Envelope& envelope_;
  platform::DatagramSocket& socket_;
  WebConsoleOptions options_;

  std::mutex mutex_;                    // the room, the record and the envelope
  std::condition_variable heard_;       // a report came (with mutex_)
  std::condition_variable watch_wake_;  // the watch stops (with mutex_)
  std::function<void()> change_listener_;
  std::mutex send_mutex_;
  std::atomic<bool> stopping_{false};
  std::thread receiver_;
  std::thread watcher_;
};

}  // namespace zalvo::console
