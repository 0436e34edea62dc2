#include "agent/command_dispatcher.h"

#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "agent/command.h"
#include "platform/datagram_socket.h"
#include "platform/error.h"
#include "protocol/address.h"
#include "protocol/commands.h"
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

CommandDispatcher::CommandDispatcher(AgentState& state, AgentActions& actions, Replies& replies,
                                     platform::LogSink log, ServerSink server)
    : state_(state),
      actions_(actions),
      replies_(replies),
      log_(std::move(log)),
      server_(std::move(server)) {}

template <typename F>
void CommandDispatcher::Guarded(std::string_view what, F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    log_(std::string(what) + " failed: " + e.what());
  } catch (...) {
    log_(std::string(what) + " failed");
  }
}

void CommandDispatcher::Startup() {
  state_.tick_counter = 1;
  state_.check_period = 10;
  Guarded("session restore", [&] { actions_.RestoreSession(); });
  Guarded("settings load", [&] { LoadSettings(); });
}

void CommandDispatcher::LoadSettings() {
  // A load that fails keeps the settings, and so the server, as they were.
  actions_.LoadSettings();
  if (server_) {
    server_(state_.settings.Text(Key::ServerIP));
  }
}

void CommandDispatcher::Tick(const ReplyContext& reports) {
  AgentState& s = state_;
  s.remaining_seconds = WrapAdd(s.remaining_seconds, -1);
  s.tick_counter += 1;
  if (s.tick_counter % 100 == 0) {
    Guarded("keep-alive", [&] { actions_.SendPing(reports); });
    s.tick_counter = 1;
  }
  if (Fires(s.tick_counter, s.check_period)) {
    if (s.settings.Flag(Key::Beep) && s.remaining_seconds < 0 && s.session_active) {
      Guarded("expiry beep", [&] { actions_.ExpiryBeep(); });
    }
    if (s.settings.Flag(Key::AutoShutDown) &&
        int64_t{s.remaining_seconds} < -int64_t{s.grace_seconds}) {
      Guarded("automatic session end", [&] { actions_.EndSession(s.remaining_seconds); });
    }
  }
  if (Fires(s.tick_counter, s.report_period)) {
    Guarded("status report", [&] { actions_.SendInfo(reports); });
  }
  if (!s.session_active) {
    if (s.settings.Flag(Key::ShutDownMonitor)) {
      Guarded("monitor off", [&] { actions_.MonitorOff(); });
    }
    if (s.settings.Flag(Key::ShutDownMouse)) {
      Guarded("mouse park", [&] { actions_.ParkMouse(); });
    }
  }
  Guarded("station upkeep", [&] { actions_.Upkeep(); });
}

void CommandDispatcher::DataReceived(std::string_view command, const ReplyContext& reply) {
  if (log_) {
    constexpr size_t kShown = 120;
    std::string shown(command.substr(0, kShown));
    if (command.size() > kShown) {
      shown += "... (" + std::to_string(command.size()) + " bytes)";
    }
    log_("<- " + std::string(reply.server_ip) + ":" + std::to_string(reply.sender_port) + " " +
         shown);
  }
  // "ACTION INI" may name another server: the replies after it go there.
  ReplyContext to = reply;
  try {
    Dispatch(command, to);
    actions_.SendPing(to);
  } catch (const std::exception& e) {
    log_("command failed: " + std::string(e.what()));
  } catch (...) {
    log_("command failed");
  }
}

// The commands in the order they are tested, each with its handler. Every
// command whose keyword matches runs its handler, in this order, and none
// stops the later ones (the keywords are such that one datagram matches at
// most one). A handler gets the whole datagram, the command's field and where
// its replies go.
struct CommandTable {
  using Handler = void (*)(CommandDispatcher& agent, std::string_view datagram,
                           std::string_view field, ReplyContext& reply);
  struct Row {
    const protocol::Command& command;
    Handler handler;
  };

  static constexpr Row kRows[] = {
      {protocol::kRun, [](CommandDispatcher& a, std::string_view, std::string_view command_line,
                          ReplyContext&) { a.actions_.RunProgram(std::string(command_line)); }},
      {protocol::kProxy,
       [](CommandDispatcher& a, std::string_view datagram, std::string_view, ReplyContext&) {
         ProxyFields proxy = ParseProxyFields(datagram);
         // A line end or zero byte would reach krvini.ini as it stands and
         // load back as other settings, so such a command fails and changes
         // nothing.
         if (!settings::FitsOneLine(proxy.server) || !settings::FitsOneLine(proxy.port)) {
           throw std::invalid_argument("proxy server or port holds a line end or a zero byte");
         }
         a.state_.settings.SetFlag(Key::ProxyEnable, proxy.enable);
         a.state_.settings.SetText(Key::ProxyServer, proxy.server);
         a.state_.settings.SetText(Key::ProxyPort, proxy.port);
         a.actions_.SaveSettings();
       }},
      {protocol::kKill,
       [](CommandDispatcher& a, std::string_view, std::string_view field, ReplyContext&) {
         a.actions_.KillWindow(KillCaption(field), a.state_.window_list);
       }},
      {protocol::kProcess,
       [](CommandDispatcher& a, std::string_view, std::string_view, ReplyContext& reply) {
         a.state_.window_list = a.actions_.ListWindows();
         a.replies_.SendText(reply, ProcessListReply(a.state_.window_list, a.replies_.Room()));
       }},
      {protocol::kSit, [](CommandDispatcher& a, std::string_view, std::string_view minutes,
                          ReplyContext&) { a.actions_.StartSession(SitSeconds(minutes)); }},
      {protocol::kStand,
       [](CommandDispatcher& a, std::string_view, std::string_view, ReplyContext&) {
         a.actions_.EndSession(protocol::StandSeconds(a.state_.remaining_seconds));
       }},
      {protocol::kShutdown, [](CommandDispatcher& a, std::string_view, std::string_view,
                               ReplyContext&) { a.actions_.ForcedShutdown(); }},
      {protocol::kMonitorOff, [](CommandDispatcher& a, std::string_view, std::string_view,
                                 ReplyContext&) { a.actions_.MonitorOff(); }},
      {protocol::kMonitorOn, [](CommandDispatcher& a, std::string_view, std::string_view,
                                ReplyContext&) { a.actions_.MonitorOn(); }},
      {protocol::kReboot, [](CommandDispatcher& a, std::string_view, std::string_view,
                             ReplyContext&) { a.actions_.ForcedReboot(); }},
      {protocol::kInstall, [](CommandDispatcher& a, std::string_view, std::string_view,
                              ReplyContext& reply) { a.actions_.StartInstallSession(reply); }},
      {protocol::kInfo, [](CommandDispatcher& a, std::string_view, std::string_view,
                           ReplyContext& reply) { a.actions_.SendInfo(reply); }},
      {protocol::kIni,
       [](CommandDispatcher& a, std::string_view, std::string_view, ReplyContext& reply) {
         a.LoadSettings();
         reply = ReplyTo(a.state_.settings.Text(Key::ServerIP), reply.nonce);
         a.actions_.WritePolicies();
       }},
      {protocol::kVolume,
       [](CommandDispatcher& a, std::string_view, std::string_view level, ReplyContext&) {
         // A bad volume or a failed mixer ends this action only; a failed
         // session helper fails the command.
         if (auto volume = text::ParseInt32(level)) {
           try {
             a.actions_.SetVolume(*volume);
           } catch (const platform::HelperFailure&) {
             throw;
           } catch (const std::exception& e) {
             a.log_(std::string("volume failed: ") + e.what());
           }
         }
       }},
      {protocol::kMessage,
       [](CommandDispatcher& a, std::string_view datagram, std::string_view text, ReplyContext&) {
         // A refused text shows nothing and is answered as every command;
         // the reason is in the log.
         if (std::optional<std::string> refusal = MessageRefusal(datagram)) {
           a.log_("message refused: " + *refusal);
           return;
         }
         a.actions_.ShowMessage(std::string(text));
       }},
      {protocol::kState,
       [](CommandDispatcher& a, std::string_view, std::string_view, ReplyContext& reply) {
         a.replies_.SendText(
             reply, protocol::StateReply(a.state_.session_active, a.state_.remaining_seconds));
       }},
  };
};

void CommandDispatcher::Dispatch(std::string_view datagram, ReplyContext& reply) {
  for (const CommandTable::Row& row : CommandTable::kRows) {
    if (protocol::Matches(row.command, datagram)) {
      row.handler(*this, datagram, protocol::FieldOf(row.command, datagram), reply);
    }
  }
}

ReplyContext ReplyTo(std::string_view server_ip, std::string_view nonce) {
  ReplyContext to;
  to.nonce = nonce;
  to.server_ip = server_ip;
  if (auto bytes = protocol::ParseDottedAddress(server_ip)) {
    std::memcpy(&to.server, bytes->data(), sizeof to.server);
  }
  return to;
}

platform::LogSink WithoutTraffic(platform::LogSink sink) {
  if (!sink) {
    return sink;
  }
  return [sink = std::move(sink)](std::string_view line) {
    if (!StartsWith(line, "<- ") && !StartsWith(line, "-> ")) {
      sink(line);
    }
  };
}

std::string ProcessListReply(const std::vector<std::string>& windows, size_t room) {
  std::string reply(protocol::kProcessListPrefix);
  for (size_t i = 0; i < windows.size(); ++i) {
    std::string entry = (i > 0 ? "," : "") + text::QuoteCommaEntry(windows[i]);
    if (reply.size() + entry.size() > room) {
      break;
    }
    reply += entry;
  }
  return reply;
}

}  // namespace zalvo::agent
