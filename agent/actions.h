// The operations that the command dispatcher and the tick carry out on the
// station. The station agent implements them over the platform; tests record
// them. An operation that fails throws; the caller's guard decides what the
// failure ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/datagram_socket.h"

namespace zalvo::agent {

class AgentActions {
 public:
  virtual ~AgentActions() = default;

  // Settings: re-read krvini.ini (nothing changes when it can't be read),
  // write the policies from the settings, and save (policies, then the file).
  virtual void LoadSettings() = 0;
  virtual void WritePolicies() = 0;
  virtual void SaveSettings() = 0;

  // Sessions and power-off.
  virtual void StartSession() = 0;
  virtual void EndSession() = 0;
  virtual void StartInstallSession() = 0;
  virtual void ForcedReboot() = 0;
  virtual void ForcedShutdown() = 0;

  // Reports to the server.
  virtual void SendPing() = 0;
  virtual void SendInfo() = 0;

  // Programs: start one, end the process of a window, list the windows into
  // the state's window list.
  virtual void RunProgram(const std::string& command_line) = 0;
  virtual void KillWindow(const std::string& caption) = 0;
  virtual void ListWindows() = 0;

  // Display and sound.
  virtual void MonitorOff() = 0;
  virtual void MonitorOn() = 0;
  virtual void ParkMouse() = 0;
  virtual void ExpiryBeep() = 0;
  // Sets the master volume, then mutes exactly when the level read back is 0.
  virtual void SetVolume(int32_t volume) = 0;

  // The last step of every tick: what the station itself needs kept up (on
  // Windows, the session helper and speakers that appear late).
  virtual void Upkeep() {}
};

// Every reply of the agent goes to the server address of the settings, port
// 6868, from the endpoint's socket. A failed send is lost without notice.
class Replies {
 public:
  virtual ~Replies() = default;
  virtual void SendText(const std::string& text) = 0;
  // The longest text that still goes out as one datagram.
  virtual size_t Room() const { return platform::kMaxDatagram; }
};

}  // namespace zalvo::agent
