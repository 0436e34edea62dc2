// The operations that the command dispatcher and the tick carry out on the
// station. The station agent implements them over the platform; tests record
// them. An operation that fails throws; the caller's guard decides what the
// failure ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datagram_socket.h"

namespace zalvo::agent {

// Where replies go: the server a command came from and the nonce its replies
// carry, as the command gate admitted it; for the tick's reports, the server
// of the settings and no nonce (each report is sealed with a fresh one).
struct ReplyContext {
  // The server's address in network order when the settings give it as four
  // dotted numbers (0 otherwise), and the settings' text of it. A server
  // given by name is looked up at each send; with neither every reply is
  // lost.
  uint32_t server = 0;
  std::string_view server_ip;
  // The port the command came from (for its log line); 0 for reports.
  uint16_t sender_port = 0;
  // The command's nonce; empty without a key and for reports.
  std::string_view nonce;
};

// The replies to the server address of the settings, with that nonce: none
// when the settings name no four dotted numbers (no command can come from
// such a server either), and then every reply is lost.
ReplyContext ReplyTo(std::string_view server_ip, std::string_view nonce = {});

class AgentActions {
 public:
  virtual ~AgentActions() = default;

  // Settings: re-read krvini.ini (nothing changes when it can't be read),
  // write the policies from the settings, and save (policies, then the file).
  virtual void LoadSettings() = 0;
  virtual void WritePolicies() = 0;
  virtual void SaveSettings() = 0;

  // Sessions and power-off. At the agent's start, the session it kept
  // before (running or not, the time left). A start gives the session that
  // many seconds; an end leaves it that many, and ends it only when none are
  // left.
  virtual void RestoreSession() {}
  virtual void StartSession(int32_t seconds) = 0;
  virtual void EndSession(int32_t seconds_left) = 0;
  // Sends the status report to `to` once the session has begun.
  virtual void StartInstallSession(const ReplyContext& to) = 0;
  virtual void ForcedReboot() = 0;
  virtual void ForcedShutdown() = 0;

  // Reports to the server.
  virtual void SendPing(const ReplyContext& to) = 0;
  virtual void SendInfo(const ReplyContext& to) = 0;

  // Programs: start one, end the process of the window of that caption and
  // list the windows again into `listed`, list the windows (upper-cased
  // captions).
  virtual void RunProgram(const std::string& command_line) = 0;
  virtual void KillWindow(const std::string& caption, std::vector<std::string>& listed) = 0;
  virtual std::vector<std::string> ListWindows() = 0;

  // Display and sound.
  virtual void MonitorOff() = 0;
  virtual void MonitorOn() = 0;
  virtual void ParkMouse() = 0;
  virtual void ExpiryBeep() = 0;
  // Sets the master volume, then mutes exactly when the level read back is 0.
  virtual void SetVolume(int32_t volume) = 0;

  // Shows the text (Windows-1251, already checked) to the user at the
  // console for a while, in place of a text still shown; shows nothing when
  // nobody is logged on there. Both are logged.
  virtual void ShowMessage(const std::string& text) = 0;

  // The last step of every tick: what the station itself needs kept up (on
  // Windows, the session helper and speakers that appear late).
  virtual void Upkeep() {}
};

// Every reply of the agent goes to the server of its context, port 6868,
// from the endpoint's socket. A failed send is lost without notice.
class Replies {
 public:
  virtual ~Replies() = default;
  virtual void SendText(const ReplyContext& to, const std::string& text) = 0;
  // The longest text that still goes out as one datagram.
  virtual size_t Room() const { return platform::kMaxDatagram; }
};

}  // namespace zalvo::agent
