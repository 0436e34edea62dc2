#include "agent/server_replies.h"

#include "platform/error.h"
#include "protocol/commands.h"
#include "settings/keys.h"

namespace zalvo::agent {

ServerReplies::ServerReplies(platform::DatagramSocket& socket, const AgentState& state, LogSink log,
                             CommandGate* gate)
    : socket_(socket), state_(state), log_(std::move(log)), gate_(gate) {}

size_t ServerReplies::Room() const {
  return gate_ != nullptr ? gate_->ReplyRoom() : platform::kMaxDatagram;
}

void ServerReplies::SendText(const std::string& text) {
  const std::string& host = state_.settings.Text(settings::Key::ServerIP);
  try {
    if (text.size() > Room()) {
      throw platform::PlatformError("reply of " + std::to_string(text.size()) +
                                    " bytes is longer than the send limit");
    }
    socket_.SendTo(host, protocol::kReplyPort, gate_ != nullptr ? gate_->Seal(text) : text);
    if (log_) {
      log_("-> " + host + ":" + std::to_string(protocol::kReplyPort) + " " + text);
    }
  } catch (const platform::PlatformError& e) {
    if (log_) {
      log_("reply \"" + text + "\" to \"" + host + "\" lost: " + e.what());
    }
  }
}

}  // namespace zalvo::agent
