// The one way in: what the receive loop lets through to the dispatcher,
// decided before the agent's lock is taken. The sender must be the server of
// the settings, the datagram hold at least one byte and,
// on a station with a command key, the datagram a sound envelope for this
// station (a time within 60 s of the clock and not older than the replay
// mark allows, a MAC of the key, a nonce not taken in the last 120 s; the
// checks that need no key come first). Everything else is dropped without a
// reply; the first dropped datagram of a tick is logged with its reason, the
// others counted by reason. The gate also seals the station's replies and
// reports.
//
// The replay mark is the time of the newest command taken. It is stored
// (see command_key_store.h) before a command that may restart or shut
// Windows down acts, and otherwise at most once a second, so that a
// restarted agent refuses every command not newer than the stored mark plus
// one second; while it runs it refuses anything older than the mark less the
// clock window. A replayed command therefore does not act again after a
// restart, nor after the station's clock was set back.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/actions.h"
#include "platform/datagram_socket.h"
#include "platform/log_sink.h"
#include "platform/registry.h"
#include "protocol/envelope.h"
#include "protocol/key_file.h"

namespace zalvo::agent {

class CommandGate {
 public:
  // Without a key the gate checks the sender only, and replies go out as
  // they are. A key needs the station's address (throws
  // protocol::KeyFileError without one). With a key and a registry, the
  // replay mark is read from it now and stored there; a stored mark that
  // can't be read is logged and taken as the clock's time.
  explicit CommandGate(std::optional<protocol::KeyText> key = std::nullopt,
                       platform::LogSink log = {}, platform::Registry* mark_store = nullptr);

  bool keyed() const { return verify_key_.has_value(); }

  // The server address of the settings, told by the dispatcher after every
  // load, under the agent's lock. A text that no sender can have (empty, a
  // name, leading zeros) lets nothing through.
  void SetServer(std::string_view server_ip);

  struct Admitted {
    // The command text: the datagram itself, or what its envelope holds;
    // never empty.
    std::string_view command;
    // Where its replies go: the sender, with the envelope's nonce. Points
    // into the datagram.
    ReplyContext reply;
  };
  // Whether the datagram reaches the dispatcher. Receive thread only.
  [[nodiscard]] std::optional<Admitted> Admit(const platform::ReceivedDatagram& datagram,
                                              int64_t now);

  // Where the tick's reports go: the server last set, without a nonce.
  // Under the agent's lock.
  ReplyContext Reports() const;

  // Stores the replay mark when a newer command was taken since it was last
  // stored: now when `before_restart` (the command to come may restart
  // Windows), else once a second has passed since the last store. False
  // when the store before a restart failed (logged): the caller then does
  // not let the command act. Under the agent's lock.
  bool KeepMark(bool before_restart);

  // At each tick: logs how many more datagrams were dropped since the one
  // logged in full, and why, and lets the next one be logged again.
  void EndTick();

  // A reply or report as it goes on the wire: the text itself without a key,
  // else its envelope with that nonce (the command's), or a fresh one when
  // the nonce is empty (a report). Called under the agent's lock.
  [[nodiscard]] std::string Seal(std::string_view text, std::string_view nonce);
  // The longest text whose sealed form still fits one datagram.
  size_t ReplyRoom() const;

 private:
  // Why a datagram was dropped: the envelope's verdict, an envelope that
  // holds no command, or not from the server.
  static constexpr size_t kReasons = 10;
  static constexpr size_t kEmpty = kReasons - 2;
  static constexpr size_t kStranger = kReasons - 1;
  void Drop(const platform::ReceivedDatagram& datagram, size_t reason, int64_t time, int64_t now);
  std::string Reason(size_t reason, int64_t time, int64_t now) const;

  std::string station_address_;
  // The key for checking (receive thread) and for sealing (agent's lock).
  std::optional<protocol::EnvelopeKey> verify_key_;
  std::optional<protocol::EnvelopeKey> seal_key_;
  platform::LogSink log_;
  // The server's address in network order with bit 32 set; 0 for none.
  std::atomic<uint64_t> server_{0};
  // The same as the settings write it, for the reports (agent's lock).
  std::string server_ip_;
  protocol::ReplayCache replays_;

  platform::Registry* mark_store_;
  // The mark stored before this start; commands must be newer than it plus
  // one second.
  int64_t start_mark_ = std::numeric_limits<int64_t>::min();
  // The newest command time taken, and the last one stored.
  std::atomic<int64_t> newest_{std::numeric_limits<int64_t>::min()};
  int64_t stored_ = std::numeric_limits<int64_t>::min();
  std::chrono::steady_clock::time_point last_store_{};

  std::atomic<bool> logged_this_tick_{false};
  std::array<std::atomic<uint64_t>, kReasons> unlogged_{};
};

}  // namespace zalvo::agent
