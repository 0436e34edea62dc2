// What the receive loop lets through to the dispatcher, decided before the
// agent's lock is taken: the sender must be the server of the settings and,
// on a station with a command key, the datagram a sound envelope for this
// station (a MAC of the key, a time within 60 s of the clock, a nonce not
// taken in the last 120 s). Everything else is dropped without a reply; the
// first dropped datagram of a tick is logged, the others only counted. The
// gate also seals the station's replies and reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/agent.h"
#include "platform/datagram_socket.h"
#include "protocol/envelope.h"
#include "protocol/key_file.h"

namespace zalvo::agent {

class CommandGate {
 public:
  // Without a key the gate checks the sender only, and replies go out as
  // they are. A key needs the station's address (throws
  // protocol::KeyFileError without one).
  explicit CommandGate(std::optional<protocol::KeyText> key = std::nullopt, LogSink log = {});

  bool keyed() const { return key_.has_value(); }

  // The server address of the settings; the runtime sets it under the
  // agent's lock after every load. A text that no sender can have (empty,
  // a name, leading zeros) lets nothing through.
  void SetServer(std::string_view server_ip);

  struct Admitted {
    // The command text: the datagram itself, or what its envelope holds.
    std::string_view command;
    // The envelope's nonce; empty without a key.
    std::string_view nonce;
  };
  // Whether the datagram reaches the dispatcher. Receive thread only.
  [[nodiscard]] std::optional<Admitted> Admit(const platform::ReceivedDatagram& datagram,
                                              int64_t now);

  // At each tick: logs how many more datagrams were dropped since the one
  // logged in full, and lets the next one be logged again.
  void EndTick();

  // The replies of one command carry its nonce; the runtime sets it around
  // the dispatch, under the agent's lock.
  void BeginReplies(std::string_view nonce) { reply_nonce_ = nonce; }
  void EndReplies() { reply_nonce_.clear(); }

  // A reply or report as it goes on the wire: the text itself without a key,
  // else its envelope (with the command's nonce, or a fresh one for a
  // report). Called under the agent's lock.
  [[nodiscard]] std::string Seal(std::string_view text) const;
  // The longest text whose sealed form still fits one datagram.
  size_t ReplyRoom() const;

 private:
  void Drop(const platform::ReceivedDatagram& datagram, std::string_view why);

  std::optional<protocol::KeyText> key_;
  LogSink log_;
  // The server's address in network order with bit 32 set; 0 for none.
  std::atomic<uint64_t> server_{0};
  protocol::ReplayCache replays_;
  std::atomic<bool> logged_this_tick_{false};
  std::atomic<uint64_t> unlogged_{0};
  std::string reply_nonce_;
};

}  // namespace zalvo::agent
