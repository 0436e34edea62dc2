#include "agent/server_replies.h"

#include "platform/error.h"
#include "protocol/address.h"
#include "protocol/commands.h"

namespace zalvo::agent {

ServerReplies::ServerReplies(platform::DatagramSocket& socket, CommandGate& gate,
                             platform::LogSink log)
    : socket_(socket), gate_(gate), log_(std::move(log)) {}

size_t ServerReplies::Room() const {
  return gate_.ReplyRoom();
}

void ServerReplies::SendText(const ReplyContext& to, const std::string& text) {
  try {
    if (text.size() > Room()) {
      throw platform::PlatformError("reply of " + std::to_string(text.size()) +
                                    " bytes is longer than the send limit");
    }
    if (to.server != 0 || protocol::ParseDottedAddress(to.server_ip)) {
      // Four numbers ("0.0.0.0" included, which sends nothing).
      socket_.SendToAddress(to.server, protocol::kReplyPort, gate_.Seal(text, to.nonce));
    } else {
      // A name (or nothing): looked up now, as the settings may name the
      // server; no commands come from it, but the reports go to it.
      socket_.SendTo(to.server_ip, protocol::kReplyPort, gate_.Seal(text, to.nonce));
    }
    log_("-> " + std::string(to.server_ip) + ":" + std::to_string(protocol::kReplyPort) + " " +
         text);
  } catch (const platform::PlatformError& e) {
    log_("reply \"" + text + "\" to \"" + std::string(to.server_ip) + "\" lost: " + e.what());
  }
}

}  // namespace zalvo::agent
