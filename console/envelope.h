// The seam where a club key signs what the console sends and checks what it
// receives. Without a key, datagrams pass through unchanged.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zalvo::console {

class Envelope {
 public:
  virtual ~Envelope() = default;
  // The datagram that carries this command to a station.
  virtual std::string Wrap(std::string_view command) = 0;
  // The station's text inside a received datagram; nullopt when the
  // datagram is refused (for instance, a signature that does not check).
  virtual std::optional<std::string> Open(std::string_view datagram) = 0;
};

// No club key: the command is the datagram, and every datagram is accepted.
class PlainEnvelope final : public Envelope {
 public:
  std::string Wrap(std::string_view command) override { return std::string(command); }
  std::optional<std::string> Open(std::string_view datagram) override {
    return std::string(datagram);
  }
};

}  // namespace zalvo::console
