// The seam where a club key signs what the console sends and checks what it
// receives. Without a key, datagrams pass through unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/envelope.h"

namespace zalvo::console {

class Envelope {
 public:
  virtual ~Envelope() = default;
  // The datagram that carries this command to the station at the address.
  virtual std::string Wrap(std::string_view command, std::string_view station) = 0;
  // The station's text inside a datagram from the address; nullopt when the
  // datagram is refused (for instance, a signature that does not check).
  virtual std::optional<std::string> Open(std::string_view datagram, std::string_view station) = 0;
};

// No club key: the command is the datagram, and every datagram is accepted.
class PlainEnvelope final : public Envelope {
 public:
  std::string Wrap(std::string_view command, std::string_view) override {
    return std::string(command);
  }
  std::optional<std::string> Open(std::string_view datagram, std::string_view) override {
    return std::string(datagram);
  }
};

// The club's command key: commands go out in signed envelopes for the
// station they are sent to, and only replies and reports signed by that
// station with the key, within the clock window, are taken.
class KeyedEnvelope final : public Envelope {
 public:
  explicit KeyedEnvelope(const protocol::CommandKey& key) : key_(key) {}
  std::string Wrap(std::string_view command, std::string_view station) override {
    return protocol::Sign(command, key_, station).datagram;
  }
  std::optional<std::string> Open(std::string_view datagram, std::string_view station) override {
    protocol::Opened opened = protocol::OpenReply(datagram, key_, station, {});
    if (opened.verdict != protocol::Verdict::kOk) {
      return std::nullopt;
    }
    return std::string(opened.text);
  }

 private:
  protocol::CommandKey key_;
};

}  // namespace zalvo::console
