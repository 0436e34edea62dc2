#include "agent/command_gate.h"

#include <algorithm>
#include <cstring>

#include "agent/command_key_store.h"
#include "platform/error.h"
#include "protocol/address.h"

namespace zalvo::agent {

CommandGate::CommandGate(std::optional<protocol::KeyText> key, platform::LogSink log,
                         platform::Registry* mark_store)
    : log_(std::move(log)), mark_store_(mark_store) {
  if (!key) {
    return;
  }
  if (key->station_address.empty()) {
    throw protocol::KeyFileError(
        "the command key names no station address (the address the server sends to)");
  }
  station_address_ = key->station_address;
  verify_key_.emplace(key->key);
  seal_key_.emplace(key->key);
  if (!mark_store_) {
    return;
  }
  std::optional<int64_t> mark;
  try {
    mark = ReadReplayMark(*mark_store_);
  } catch (const protocol::KeyFileError& e) {
    mark = protocol::UnixNow();
    log_(std::string(e.what()) + ": taken as the clock's time, " + std::to_string(*mark));
  }
  if (mark) {
    start_mark_ = *mark;
    newest_ = *mark;
    stored_ = *mark;
    log_("replay mark " + std::to_string(*mark) + ": commands must be newer than " +
         std::to_string(*mark + 1));
  }
}

void CommandGate::SetServer(std::string_view server_ip) {
  uint64_t server = 0;
  if (auto bytes = protocol::ParseDottedAddress(server_ip)) {
    uint32_t network_order = 0;
    std::memcpy(&network_order, bytes->data(), sizeof network_order);
    server = (uint64_t{1} << 32) | network_order;
  }
  server_.store(server, std::memory_order_relaxed);
  server_ip_ = server_ip;
}

ReplyContext CommandGate::Reports() const {
  return ReplyTo(server_ip_);
}

std::optional<CommandGate::Admitted> CommandGate::Admit(const platform::ReceivedDatagram& datagram,
                                                        int64_t now) {
  uint64_t server = server_.load(std::memory_order_relaxed);
  if (datagram.byte_count <= 0 || server == 0 ||
      static_cast<uint32_t>(server) != datagram.from_address) {
    Drop(datagram, kStranger, 0, now);
    return std::nullopt;
  }
  std::string_view bytes(datagram.bytes.data(), static_cast<size_t>(datagram.byte_count));
  ReplyContext reply{datagram.from_address, datagram.from_ip, datagram.from_port, {}};
  if (!verify_key_) {
    return Admitted{bytes, reply};
  }
  // Newer than the mark stored before the start plus one second, and not
  // older than the newest command less the window (saturating at the
  // limits of the time).
  const int64_t newest = newest_.load(std::memory_order_relaxed);
  const int64_t after_start =
      start_mark_ > std::numeric_limits<int64_t>::max() - 2 ? start_mark_ : start_mark_ + 2;
  const int64_t in_window =
      newest < std::numeric_limits<int64_t>::min() + protocol::kClockWindowSeconds
          ? newest
          : newest - protocol::kClockWindowSeconds;
  protocol::Opened opened = protocol::Open(bytes, protocol::Direction::kCommand, *verify_key_,
                                           station_address_, now, std::max(after_start, in_window));
  if (opened.verdict == protocol::Verdict::kOk) {
    // Only a datagram with a sound MAC takes a place in the cache.
    opened.verdict = replays_.Admit(opened.nonce, now);
  }
  if (opened.verdict != protocol::Verdict::kOk) {
    Drop(datagram, static_cast<size_t>(opened.verdict), opened.time, now);
    return std::nullopt;
  }
  if (opened.time > newest) {
    newest_.store(opened.time, std::memory_order_relaxed);
  }
  if (opened.text.empty()) {
    Drop(datagram, kEmpty, opened.time, now);
    return std::nullopt;
  }
  reply.nonce = opened.nonce;
  return Admitted{opened.text, reply};
}

bool CommandGate::KeepMark(bool before_restart) {
  const int64_t newest = newest_.load(std::memory_order_relaxed);
  if (!mark_store_ || newest <= stored_) {
    return true;
  }
  auto now = std::chrono::steady_clock::now();
  if (!before_restart && now - last_store_ < std::chrono::seconds(1)) {
    return true;
  }
  try {
    StoreReplayMark(*mark_store_, newest);
  } catch (const platform::PlatformError& e) {
    log_(std::string("the replay mark was not stored: ") + e.what());
    last_store_ = now;  // tried again in a second
    return !before_restart;
  }
  stored_ = newest;
  last_store_ = now;
  return true;
}

std::string CommandGate::Reason(size_t reason, int64_t time, int64_t now) const {
  if (reason == kStranger) {
    return {};
  }
  if (reason == kEmpty) {
    return "the envelope holds no command";
  }
  auto verdict = static_cast<protocol::Verdict>(reason);
  std::string why(protocol::VerdictText(verdict));
  if (verdict == protocol::Verdict::kStale) {
    why += " (its time " + std::to_string(time) + ", the newest command's " +
           std::to_string(newest_.load(std::memory_order_relaxed));
    if (start_mark_ != std::numeric_limits<int64_t>::min()) {
      why += ", the mark stored before the start " + std::to_string(start_mark_);
      if (start_mark_ > now + protocol::kClockWindowSeconds) {
        why += ", " + std::to_string(start_mark_ - now) +
               " s ahead of this clock: if a clock was wrong, an administrator removes "
               "NewestCommandTime under HKEY_LOCAL_MACHINE\\SOFTWARE\\Zalvo";
      }
    }
    why += ")";
  }
  return why;
}

void CommandGate::Drop(const platform::ReceivedDatagram& datagram, size_t reason, int64_t time,
                       int64_t now) {
  if (logged_this_tick_.exchange(true, std::memory_order_relaxed) || !log_) {
    unlogged_[reason].fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::string line = datagram.byte_count <= 0 ? "failed receive from " + datagram.from_ip
                                              : "datagram from " + datagram.from_ip + ":" +
                                                    std::to_string(datagram.from_port);
  line += " ignored";
  std::string why = Reason(reason, time, now);
  if (!why.empty()) {
    line += ": ";
    line += why;
  }
  log_(line);
}

void CommandGate::EndTick() {
  uint64_t total = 0;
  std::string reasons;
  for (size_t reason = 0; reason < kReasons; ++reason) {
    uint64_t count = unlogged_[reason].exchange(0, std::memory_order_relaxed);
    if (count == 0) {
      continue;
    }
    total += count;
    reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + " " +
               (reason == kStranger ? std::string("not from the server")
                : reason == kEmpty
                    ? std::string("no command")
                    : std::string(protocol::VerdictText(static_cast<protocol::Verdict>(reason))));
  }
  if (total > 0 && log_) {
    log_(std::to_string(total) + " more datagrams ignored" +
         (verify_key_ ? " (" + reasons + ")" : std::string()));
  }
  logged_this_tick_.store(false, std::memory_order_relaxed);
}

std::string CommandGate::Seal(std::string_view text, std::string_view nonce) {
  if (!seal_key_) {
    return std::string(text);
  }
  std::string fresh;
  if (nonce.empty()) {
    fresh = protocol::NewNonce();
    nonce = fresh;
  }
  return protocol::Seal(protocol::Direction::kReply, text, *seal_key_, station_address_,
                        protocol::UnixNow(), nonce);
}

size_t CommandGate::ReplyRoom() const {
  return verify_key_ ? platform::kMaxDatagram - protocol::kEnvelopeOverhead
                     : platform::kMaxDatagram;
}

}  // namespace zalvo::agent
