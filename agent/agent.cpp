#include "agent/agent.h"

#include <exception>
#include <stdexcept>
#include <string>

#include "agent/command.h"
#include "platform/datagram_socket.h"
#include "settings/keys.h"
#include "settings/settings_file.h"
#include "text/text.h"

namespace zalvo::agent {
namespace {

using settings::Key;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A period of 0 never fires; a negative period fires like its magnitude.
bool Fires(int32_t counter, int32_t period) {
  return period != 0 && counter % period == 0;
}

}  // namespace

Agent::Agent(AgentState& state, AgentActions& actions, Replies& replies, LogSink log)
    : state_(state), actions_(actions), replies_(replies), log_(std::move(log)) {}

void Agent::Log(std::string_view line) const {
  if (log_) {
    log_(line);
  }
}

template <typename F>
void Agent::LogIgnored(F&& line) {
  if (state_.ignored_logged_this_tick) {
    state_.ignored_unlogged += 1;
    return;
  }
  state_.ignored_logged_this_tick = true;
  Log(line());
}

template <typename F>
void Agent::Guarded(std::string_view what, F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    Log(std::string(what) + " failed: " + e.what());
  } catch (...) {
    Log(std::string(what) + " failed");
  }
}

void Agent::Startup() {
  state_.tick_counter = 1;
  state_.check_period = 10;
  Guarded("settings load", [&] { actions_.LoadSettings(); });
}

void Agent::Tick() {
  AgentState& s = state_;
  if (s.ignored_unlogged > 0) {
    Log(std::to_string(s.ignored_unlogged) + " more datagrams ignored");
    s.ignored_unlogged = 0;
  }
  s.ignored_logged_this_tick = false;
  s.remaining_seconds = WrapAdd(s.remaining_seconds, -1);
  s.tick_counter += 1;
  if (s.tick_counter % 100 == 0) {
    Guarded("keep-alive", [&] { actions_.SendPing(); });
    s.tick_counter = 1;
  }
  if (Fires(s.tick_counter, s.check_period)) {
    if (s.settings.Flag(Key::Beep) && s.remaining_seconds < 0 && s.session_active) {
      Guarded("expiry beep", [&] { actions_.ExpiryBeep(); });
    }
    if (s.settings.Flag(Key::AutoShutDown) &&
        int64_t{s.remaining_seconds} < -int64_t{s.grace_seconds}) {
      Guarded("automatic session end", [&] { actions_.EndSession(); });
    }
  }
  if (Fires(s.tick_counter, s.report_period)) {
    Guarded("status report", [&] { actions_.SendInfo(); });
  }
  if (!s.session_active) {
    if (s.settings.Flag(Key::ShutDownMonitor)) {
      Guarded("monitor off", [&] { actions_.MonitorOff(); });
    }
    if (s.settings.Flag(Key::ShutDownMouse)) {
      Guarded("mouse park", [&] { actions_.ParkMouse(); });
    }
  }
}

void Agent::DataReceived(int32_t number_bytes, std::string_view bytes, std::string_view from_ip,
                         int32_t port) {
  if (number_bytes <= 0) {
    LogIgnored([&] { return "failed receive from " + std::string(from_ip) + " ignored"; });
    return;
  }
  if (from_ip != state_.settings.Text(Key::ServerIP)) {
    LogIgnored([&] {
      return "datagram from " + std::string(from_ip) + ":" + std::to_string(port) + " ignored";
    });
    return;
  }
  std::string_view command = bytes.substr(0, static_cast<size_t>(number_bytes));
  if (log_) {
    constexpr size_t kShown = 120;
    std::string shown(command.substr(0, kShown));
    if (command.size() > kShown) {
      shown += "... (" + std::to_string(command.size()) + " bytes)";
    }
    Log("<- " + std::string(from_ip) + ":" + std::to_string(port) + " " + shown);
  }
  try {
    Dispatch(command);
    actions_.SendPing();
  } catch (const std::exception& e) {
    Log("command failed: " + std::string(e.what()));
  } catch (...) {
    Log("command failed");
  }
}

void Agent::Dispatch(std::string_view command) {
  if (StartsWith(command, "ACTION RUN")) {
    actions_.RunProgram(FieldFrom(command, 12));
  }
  if (StartsWith(command, "ACTION PROXY")) {
    ProxyFields proxy = ParseProxyFields(command);
    // A line end or zero byte would reach krvini.ini as it stands and load
    // back as other settings, so such a command fails and changes nothing.
    if (!settings::FitsOneLine(proxy.server) || !settings::FitsOneLine(proxy.port)) {
      throw std::invalid_argument("proxy server or port holds a line end or a zero byte");
    }
    state_.settings.SetFlag(Key::ProxyEnable, proxy.enable);
    state_.settings.SetText(Key::ProxyServer, proxy.server);
    state_.settings.SetText(Key::ProxyPort, proxy.port);
    actions_.SaveSettings();
  }
  if (StartsWith(command, "ACTION KILL")) {
    actions_.KillWindow(KillCaption(command));
  }
  if (StartsWith(command, "ACTION PROCESS")) {
    actions_.ListWindows();
    replies_.SendText(ProcessListReply(state_.window_list));
  }
  if (StartsWith(command, "ACTION SIT")) {
    state_.remaining_seconds = SitSeconds(command);
    actions_.StartSession();
  }
  if (command == "ACTION STAND") {
    state_.remaining_seconds = StandSeconds(state_.remaining_seconds);
    actions_.EndSession();
  }
  if (command == "ACTION SHUTDOWN") {
    actions_.ForcedShutdown();
  }
  if (command == "ACTION MONITOR OFF") {
    actions_.MonitorOff();
  }
  if (command == "ACTION MONITOR ON") {
    actions_.MonitorOn();
  }
  if (command == "ACTION REBOOT") {
    actions_.ForcedReboot();
  }
  if (command == "ACTION INSTALL") {
    actions_.StartInstallSession();
  }
  if (command == "ACTION INFO") {
    actions_.SendInfo();
  }
  if (command == "ACTION INI") {
    actions_.LoadSettings();
    actions_.WritePolicies();
  }
  if (StartsWith(command, "ACTION VOLUME")) {
    // A bad volume or a failed mixer ends this action only.
    auto volume = text::ParseInt32(FieldFrom(command, 14));
    if (volume) {
      Guarded("volume", [&] { actions_.SetVolume(*volume); });
    }
  }
}

LogSink WithoutTraffic(LogSink sink) {
  if (!sink) {
    return sink;
  }
  return [sink = std::move(sink)](std::string_view line) {
    if (!StartsWith(line, "<- ") && !StartsWith(line, "-> ")) {
      sink(line);
    }
  };
}

std::string ProcessListReply(const std::vector<std::string>& windows) {
  std::string reply = "PROCESS LIST:";
  for (size_t i = 0; i < windows.size(); ++i) {
    std::string entry = (i > 0 ? "," : "") + text::QuoteCommaEntry(windows[i]);
    if (reply.size() + entry.size() > platform::kMaxDatagram) {
      break;
    }
    reply += entry;
  }
  return reply;
}

}  // namespace zalvo::agent
