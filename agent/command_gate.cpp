#include "agent/command_gate.h"

#include <cstring>

#include "protocol/address.h"

namespace zalvo::agent {

CommandGate::CommandGate(std::optional<protocol::KeyText> key, LogSink log)
    : key_(std::move(key)), log_(std::move(log)) {
  if (key_ && key_->station_address.empty()) {
    throw protocol::KeyFileError(
        "the command key names no station address (the address the server sends to)");
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
}

std::optional<CommandGate::Admitted> CommandGate::Admit(const platform::ReceivedDatagram& datagram,
                                                        int64_t now) {
  uint64_t server = server_.load(std::memory_order_relaxed);
  if (datagram.byte_count <= 0 || server == 0 ||
      static_cast<uint32_t>(server) != datagram.from_address) {
    Drop(datagram, {});
    return std::nullopt;
  }
  std::string_view bytes(datagram.bytes.data(), static_cast<size_t>(datagram.byte_count));
  if (!key_) {
    return Admitted{bytes, {}};
  }
  protocol::Opened opened =
      protocol::Open(bytes, protocol::Direction::kCommand, key_->key, key_->station_address, now);
  if (opened.verdict == protocol::Verdict::kOk) {
    // Only a datagram with a sound MAC takes a place in the cache.
    opened.verdict = replays_.Admit(opened.nonce, now);
  }
  if (opened.verdict != protocol::Verdict::kOk) {
    Drop(datagram, protocol::VerdictText(opened.verdict));
    return std::nullopt;
  }
  return Admitted{opened.text, opened.nonce};
}

void CommandGate::Drop(const platform::ReceivedDatagram& datagram, std::string_view why) {
  if (logged_this_tick_.exchange(true, std::memory_order_relaxed) || !log_) {
    unlogged_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::string line = datagram.byte_count <= 0 ? "failed receive from " + datagram.from_ip
                                              : "datagram from " + datagram.from_ip + ":" +
                                                    std::to_string(datagram.from_port);
  line += " ignored";
  if (!why.empty()) {
    line += ": ";
    line += why;
  }
  log_(line);
}

void CommandGate::EndTick() {
  uint64_t unlogged = unlogged_.exchange(0, std::memory_order_relaxed);
  if (unlogged > 0 && log_) {
    log_(std::to_string(unlogged) + " more datagrams ignored");
  }
  logged_this_tick_.store(false, std::memory_order_relaxed);
}

std::string CommandGate::Seal(std::string_view text) const {
  if (!key_) {
    return std::string(text);
  }
  std::string nonce = reply_nonce_.empty() ? protocol::NewNonce() : reply_nonce_;
  return protocol::Seal(protocol::Direction::kReply, text, key_->key, key_->station_address,
                        protocol::UnixNow(), nonce);
}

size_t CommandGate::ReplyRoom() const {
  return key_ ? platform::kMaxDatagram - protocol::kEnvelopeOverhead : platform::kMaxDatagram;
}

}  // namespace zalvo::agent
