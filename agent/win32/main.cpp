// zalvos.exe: the station agent as a Windows service.
//
//   zalvos.exe /INSTALL [/SILENT|/QUIET]    register the service
//   zalvos.exe /UNINSTALL [/SILENT|/QUIET]  remove it
//   zalvos.exe /SETUP ..., /STOP, /START    the installer's steps
//                                     (agent/win32/setup.h)
//   zalvos.exe /STATIONKEY=HEX /STATIONIP=A
//   zalvos.exe /CLUBKEY=HEX /STATIONIP=A
//                                     keep the station's own command key (as
//                                     given, or derived from the club's key
//                                     and the address: only the result is
//                                     kept) and its address, readable by
//                                     SYSTEM and the administrators only, and
//                                     RequireKey: the service does not start
//                                     without the key
//   zalvos.exe /REMOVEKEY             remove the key, RequireKey and the
//                                     replay mark on purpose: from the
//                                     service's next start any datagram from
//                                     the server acts
//   zalvos.exe --console [--tick-ms N] [--quiet]
//                                     run here, printing what it does (with
//                                     --quiet, not each datagram and reply)
//   zalvos.exe                        (started by the service control manager;
//                                      start parameters may carry --tick-ms N,
//                                      --log-traffic for each datagram in the
//                                      log, and --password-iterations N for
//                                      the hashes of new passwords: tests
//                                      keep cheap ones)
//   zalvos.exe --session-helper       (started by the service in the console
//                                      session: the service's hands there)
//   zalvos.exe --lock-check           (started by the service in the console
//                                      session with its own token: the look
//                                      at the lock screen's cover,
//                                      platform/win32/cover_check.h)
//
// The service logs what the console run prints, less the lines of single
// datagrams, to %ProgramData%\Zalvo\zalvos.log (and zalvos.1.log before it).
//
// As a service the agent runs in the services' own session, which has no
// desktop a person sees: its desktop actions and the speakers go through the
// session helper, and the customer's policies go to the hive of the user at
// the console. While no session runs it holds the customer at the console
// locked (agent/lock_screen_keeper.h), confirmed by the look of a process of
// its own there (platform/win32/lock_cover.h). The console run is itself in
// the user's session and acts there directly.

#include <windows.h>
// After windows.h.
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "agent/assembly.h"
#include "agent/command_dispatcher.h"
#include "agent/command_key_store.h"
#include "agent/customer_account.h"
#include "agent/hand_off_desktop.h"
#include "agent/helper_desktop.h"
#include "agent/helper_loop.h"
#include "agent/helper_supervisor.h"
#include "agent/lock_screen_keeper.h"
#include "agent/password_service.h"
#include "agent/password_store.h"
#include "agent/rotating_log.h"
#include "agent/runtime.h"
#include "agent/station_actions.h"
#include "agent/win32/setup.h"
#include "platform/datagram_socket.h"
#include "platform/error.h"
#include "platform/log_files.h"
#include "platform/switches.h"
#include "platform/win32/command_key.h"
#include "platform/win32/core_audio_mixer.h"
#include "platform/win32/cover_check.h"
#include "platform/win32/desktop.h"
#include "platform/win32/files.h"
#include "platform/win32/lock_cover.h"
#include "platform/win32/lock_screen_windows.h"
#include "platform/win32/password_pipe.h"
#include "platform/win32/registry.h"
#include "platform/win32/service_host.h"
#include "platform/win32/session_launcher.h"
#include "platform/win32/wide.h"
#include "text/cp1251.h"
#include "text/text.h"

namespace {

using namespace zalvo;

// The folder and file name of this program.
std::pair<std::wstring, std::wstring> OwnFolderAndName() {
  std::wstring path = win32::ModulePath();
  size_t slash = path.find_last_of(L"\\/");
  return {path.substr(0, slash), path.substr(slash + 1)};
}

// The lock screen installed beside this program.
std::wstring InstalledLockScreen() {
  return OwnFolderAndName().first + L"\\zalvoc.exe";
}

// The installed lock screen in the console session: looked at and started
// from the service, told to lock through the session helper, and the hive of
// the customer seen at the look.
class ConsoleLockScreen final : public platform::ConsoleLockScreen {
 public:
  ConsoleLockScreen(agent::HelperDesktop& desktop, std::optional<std::string> customer_sid)
      : desktop_(desktop), customer_sid_(std::move(customer_sid)) {}

  platform::ConsoleSession Look() override {
    hive_.reset();
    win32::ConsoleShellLook look = win32::LookAtConsoleShell(InstalledLockScreen(), customer_sid_);
    if (look.customer_logged_on && look.sid) {
      hive_.emplace(win32::Win32Registry::WithUserHive(look.sid));
    }
    return {look.customer_logged_on, look.running, look.logon_age_ms, look.userinit_running};
  }
  void Start() override {
    win32::ConsoleStart start =
        win32::StartInConsoleSession(OwnFolderAndName().first, L"zalvoc.exe", L"");
    using Outcome = platform::LaunchResult::Outcome;
    switch (start.outcome) {
      case Outcome::kStarted:
        return;
      case Outcome::kNobodyLoggedOn:
        throw platform::PlatformError("nobody is logged on at the console",
                                      platform::ErrorKind::kNotFound);
      case Outcome::kFailed:
        break;
    }
    throw platform::PlatformError(start.reason);
  }
  platform::LockOrder TellToLock() override { return desktop_.TellLockScreensToLock(); }
  platform::Registry* CustomerHive() override { return hive_ ? &*hive_ : nullptr; }

 private:
  agent::HelperDesktop& desktop_;
  std::optional<std::string> customer_sid_;
  std::optional<win32::Win32Registry> hive_;
};

// The customer account as the service found it at its start.
agent::CustomerAccount ReadCustomerAccount(platform::Registry& registry,
                                           const platform::LogSink& log) {
  return agent::ReadCustomerAccount(
      registry,
      {[](std::string_view name) { return win32::LookUpAccountSid(name); },
       [] { return win32::ComputerName(); }},
      log);
}

// The customer account's hive, for a service: that of the user at the
// console when it is the customer, or, with nobody there, the customer's
// when Windows still has it loaded; none otherwise.
class CustomerHive final : public platform::CustomerRegistry {
 public:
  explicit CustomerHive(agent::CustomerAccount customer) : customer_(std::move(customer)) {}
  Choice Choose() override {
    std::optional<std::string> console;
    try {
      console = win32::ConsoleUserSid();
    } catch (const platform::PlatformError& e) {
      Choice choice;
      choice.registry =
          std::make_unique<win32::Win32Registry>(win32::Win32Registry::WithUserHive(std::nullopt));
      choice.whose = std::string("the user at the console can't be told (") + e.what() +
                     "): the current-user values are skipped";
      return choice;
    }
    agent::PolicyHive hive = agent::ChoosePolicyHive(
        customer_, console, customer_.sid && win32::UserHiveLoaded(*customer_.sid));
    Choice choice;
    choice.registry =
        std::make_unique<win32::Win32Registry>(win32::Win32Registry::WithUserHive(hive.sid));
    choice.whose = hive.whose;
    return choice;
  }

 private:
  agent::CustomerAccount customer_;
};

// What the service reaches through the session helper: the customer's
// desktop and speakers, and the customer's hive for the policies; and the
// lock it holds there (`machine` has the Windows log-on key), confirmed by
// its own look there.
struct CustomerSession {
  CustomerSession(platform::Registry& machine, const agent::CustomerAccount& customer,
                  const platform::LogSink& log)
      : launcher(
            win32::MakeWin32SessionLauncher(OwnFolderAndName().first, OwnFolderAndName().second)),
        registry(customer),
        helper(*launcher, log),
        desktop(helper, log),
        mixer(helper),
        console(desktop, customer.sid),
        cover(win32::MakeWin32LockCover(OwnFolderAndName().first, OwnFolderAndName().second,
                                        InstalledLockScreen(), customer.sid)),
        lock_screen(console, machine, log, cover.get()) {}

  std::unique_ptr<platform::SessionLauncher> launcher;
  CustomerHive registry;
  agent::HelperSupervisor helper;
  agent::HelperDesktop desktop;
  agent::HelperMixer mixer;
  ConsoleLockScreen console;
  std::unique_ptr<platform::LockCover> cover;
  agent::LockScreenUpkeep lock_screen;
};

// The lock screen's passwords, kept and checked by the service on a thread
// of their own (no command or tick waits on them): the store in the machine
// key only SYSTEM and the administrators may open, the take-over of the
// copies the customer could read, and the pipe the installed lock screen
// asks over.
class ServicePasswords {
 public:
  ServicePasswords(const agent::CustomerAccount& customer, uint32_t iterations,
                   const platform::LogSink& log)
      : customer_(customer),
        store_(registry_,
               {iterations, [](std::string_view path) { win32::ProtectKey(win32::Widen(path)); }}),
        service_({store_, files_, &customer_}, log),
        pipe_({[this](std::string_view request) { return service_.Answer(request); },
               [this] { Upkeep(); }, std::chrono::milliseconds(10000), InstalledLockScreen(),
               log}) {}

  // The pipe is made at once; the store and the take-over follow on the
  // pipe's thread.
  void Start() { (void)pipe_.Start(); }
  void Stop() { pipe_.Stop(); }

 private:
  void Upkeep() {
    if (started_) {
      service_.Upkeep();
    } else {
      started_ = true;
      service_.Start();
    }
  }

  win32::Win32Registry registry_;
  win32::Win32Files files_;
  CustomerHive customer_;
  agent::PasswordStore store_;
  agent::PasswordService service_;
  bool started_ = false;
  win32::PasswordPipeServer pipe_;
};

// The service object: the endpoint, the station and the worker, created when
// the service (or the console run) starts.
class ZalvoService final : public platform::ServiceHandlers {
 public:
  ZalvoService(platform::LogSink log, std::chrono::milliseconds tick, bool in_services_session,
               uint32_t password_iterations)
      : key_(agent::ReadStoredCommandKey(registry_)),
        account_(ReadCustomerAccount(registry_, log)),
        // Run in the user's session itself, the agent starts programs and
        // sends the window messages from threads of its own.
        hand_off_(in_services_session ? nullptr
                                      : std::make_unique<agent::HandOffDesktop>(
                                            *desktop_, *desktop_,
                                            [log](const protocol::helper::Outcome& outcome) {
                                              log(agent::OutcomeLine(outcome));
                                            })),
        customer_(in_services_session ? std::make_unique<CustomerSession>(registry_, account_, log)
                                      : nullptr),
        // Only the service, as SYSTEM, keeps the passwords.
        passwords_(in_services_session
                       ? std::make_unique<ServicePasswords>(account_, password_iterations, log)
                       : nullptr),
        socket_(platform::MakeUdpSocket()),
        agent_(*socket_, Parts(), {key_, &registry_, log}),
        runtime_(agent_.dispatcher, agent_.gate, *socket_, {tick}, log) {}

  void Start() override {
    if (passwords_) {
      passwords_->Start();
    }
    runtime_.Start();
  }
  void Stop() override {
    runtime_.Stop();
    if (passwords_) {
      passwords_->Stop();
    }
  }
  void Pause() override { runtime_.Pause(); }
  void Continue() override { runtime_.Continue(); }
  void SessionChanged() override {
    if (customer_) {
      customer_->helper.SessionChanged();
    }
  }

 private:
  agent::StationParts Parts() {
    if (!customer_) {
      return {registry_,    files_,   {*desktop_, *hand_off_, *hand_off_, *desktop_},
              mixer_.get(), nullptr,  nullptr,
              nullptr,      account_, pending_shutdown_.get()};
    }
    // The service's own account ends Windows and reads the free space.
    return {registry_,
            files_,
            {customer_->desktop, customer_->desktop, customer_->desktop, *desktop_},
            &customer_->mixer,
            &customer_->registry,
            &customer_->helper,
            &customer_->lock_screen,
            account_,
            pending_shutdown_.get()};
  }

  win32::Win32Registry registry_;
  // A stored key that can't be used stops the start here.
  std::optional<protocol::KeyText> key_;
  agent::CustomerAccount account_;
  win32::Win32Files files_;
  std::unique_ptr<platform::Desktop> desktop_ = win32::MakeWin32Desktop();
  std::unique_ptr<platform::PendingShutdown> pending_shutdown_ = win32::MakeWin32PendingShutdown();
  std::unique_ptr<agent::HandOffDesktop> hand_off_;
  std::unique_ptr<platform::Mixer> mixer_ = win32::MakeCoreAudioMixer();
  std::unique_ptr<CustomerSession> customer_;
  std::unique_ptr<ServicePasswords> passwords_;
  std::unique_ptr<platform::DatagramSocket> socket_;
  agent::AssembledAgent agent_;
  agent::AgentRuntime runtime_;
};

// The helper's channel as the helper's loop reads and writes it.
class ChannelStream final : public agent::HelperStream {
 public:
  explicit ChannelStream(win32::HelperChannelEnd end) : end_(end) {}
  size_t Read(char* data, size_t size) override { return end_.Read(data, size); }
  bool Write(std::string_view bytes) override { return end_.Write(bytes); }

 private:
  win32::HelperChannelEnd end_;
};

// The helper mode: answers the service over the channel it was given, on
// this session's desktop and speakers, until the service closes it.
int RunSessionHelper() {
  std::optional<win32::HelperChannelEnd> end = win32::HelperChannelEnd::FromStandardHandles();
  if (!end) {
    return 2;  // not started by the service
  }
  // The shell and Core Audio both want COM on this one thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  int code = 0;
  {
    ChannelStream stream(*end);
    auto desktop = win32::MakeWin32Desktop();
    auto mixer = win32::MakeCoreAudioMixer();
    auto lock_screens = win32::MakeLockScreenWindows(InstalledLockScreen());
    code = agent::ServeHelperChannel(
        stream, *desktop, *mixer, GetCurrentProcessId(),
        [](std::string_view line) { OutputDebugStringW(win32::Widen(line).c_str()); },
        lock_screens.get());
  }
  if (SUCCEEDED(com)) {
    CoUninitialize();
  }
  return code;
}

// The check mode: the look at the cover for the service, over the channel
// it was given, until the service closes it.
int RunLockCheck() {
  std::optional<win32::HelperChannelEnd> end = win32::HelperChannelEnd::FromStandardHandles();
  if (!end) {
    return 2;  // not started by the service
  }
  return win32::ServeCoverLooks(*end, InstalledLockScreen());
}

std::mutex g_print;

// The tick length: 1000 ms, or "--tick-ms N" among the arguments (tests use
// a few milliseconds so that the 99-tick cycle does not take minutes).
std::chrono::milliseconds TickLength(const std::vector<std::wstring>& args) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == L"--tick-ms") {
      auto value = text::ParseInt32(win32::Narrow(args[i + 1]));
      if (!value || *value <= 0) {
        throw std::invalid_argument("--tick-ms needs a positive number of milliseconds");
      }
      return std::chrono::milliseconds(*value);
    }
  }
  return std::chrono::milliseconds(1000);
}

// The count of iterations of new password hashes: 600,000, or
// "--password-iterations N" among the start parameters (tests keep cheap
// hashes; each hash carries its count).
uint32_t PasswordIterations(const std::vector<std::wstring>& args) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == L"--password-iterations") {
      auto value = text::ParseInt32(win32::Narrow(args[i + 1]));
      if (!value || *value <= 0) {
        throw std::invalid_argument("--password-iterations needs a positive number");
      }
      return static_cast<uint32_t>(*value);
    }
  }
  return agent::kPasswordIterations;
}

// "/STATIONKEY=HEX" or "/CLUBKEY=HEX" with "/STATIONIP=ADDRESS" (the
// installer's): checks both as the agent will read them, then stores the
// station's key with RequireKey. 0 when stored, 2 when refused.
int StoreCommandKey(bool club, const std::wstring& hex, const std::wstring& address) {
  try {
    if (address.empty()) {
      throw protocol::KeyFileError("/STATIONIP= is missing (the address the server sends to)");
    }
    protocol::KeyText key =
        protocol::ParseKeyText(win32::Narrow(hex) + "\n" + win32::Narrow(address));
    if (club) {
      key.key = protocol::DeriveStationKey(key.key, key.station_address);
    }
    const std::string key_hex = protocol::KeyHex(key.key);
    win32::StoreProtectedValues(win32::Widen(agent::kCommandKeyPath),
                                {{win32::Widen(agent::kCommandKeyValue), key_hex},
                                 {win32::Widen(agent::kStationAddressValue), key.station_address},
                                 {win32::Widen(agent::kRequireKeyValue), {}, 1, true}});
    std::fprintf(stdout,
                 "zalvos: the station's key for %s is stored (%s); the service does not start "
                 "without it (RequireKey)\n",
                 key.station_address.c_str(),
                 club ? "derived from the club key; the club key is not kept" : "as given");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zalvos: the command key was not stored: %s\n", e.what());
    return 2;
  }
  return 0;
}

// "/REMOVEKEY": the key, RequireKey and the replay mark go on purpose.
int RemoveCommandKey() {
  try {
    int removed = win32::DeleteValues(
        win32::Widen(agent::kCommandKeyPath),
        {win32::Widen(agent::kCommandKeyValue), win32::Widen(agent::kStationAddressValue),
         win32::Widen(agent::kRequireKeyValue), win32::Widen(agent::kReplayMarkValue)});
    std::fprintf(stdout, removed > 0
                             ? "zalvos: the command key is removed; from the service's next start "
                               "every datagram from the server acts\n"
                             : "zalvos: no command key was stored\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zalvos: the command key was not removed: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main() {
  std::vector<std::wstring> args = win32::CommandLineArguments();
  if (args.size() == 1 && args[0] == L"--session-helper") {
    return RunSessionHelper();
  }
  if (args.size() == 1 && args[0] == L"--lock-check") {
    return RunLockCheck();
  }
  platform::Switches given(args);
  if (given.ValueOf(L"KEY")) {
    std::fprintf(stderr,
                 "zalvos: /KEY= is no longer taken: a station keeps only its own key. Give "
                 "/CLUBKEY= (the club's key, from which the station's is derived) or "
                 "/STATIONKEY= (zalvoctl derive's key), with /STATIONIP=\n");
    return 2;
  }
  for (bool club : {false, true}) {
    if (auto hex = given.ValueOf(club ? L"CLUBKEY" : L"STATIONKEY")) {
      return StoreCommandKey(club, *hex, given.ValueOf(L"STATIONIP").value_or(L""));
    }
  }
  if (given.Has(L"REMOVEKEY")) {
    return RemoveCommandKey();
  }
  auto switches = win32::ParseServiceSwitches(args);
  platform::LogSink log;
  if (switches.console) {
    log = [](std::string_view cp1251) {
      std::lock_guard lock(g_print);
      std::string utf8 = text::Cp1251ToUtf8(text::EscapeControls(cp1251));
      std::fprintf(stdout, "agent   %s\n", utf8.c_str());
      std::fflush(stdout);
    };
    if (std::find(args.begin(), args.end(), L"--quiet") != args.end()) {
      log = agent::WithoutTraffic(log);
    }
  }
  win32::ServiceDefinition service{
      L"ZalvoService", L"Zalvo Service",
      L"Carries out the club server's commands on this PC (UDP port 6767) and reports to it. "
      L"Log: %ProgramData%\\Zalvo\\zalvos.log.",
      // The log as it is when a line comes: the console's (above) or the file (below).
      [&log](std::string_view line) { log(line); }};
  if (win32::IsSetupCommand(args)) {
    return win32::RunSetupCommand(service, args);
  }
  // Run by the service control manager: the log goes to the data folder.
  const bool service_run = !switches.console && !switches.install && !switches.uninstall;
  std::unique_ptr<platform::LogFiles> log_files;
  std::unique_ptr<agent::RotatingLog> file_log;
  if (service_run) {
    // A data folder that can't be given its rights holds no log: the service
    // runs without one and says why in the event log (the folder is made
    // again at its next start).
    try {
      const std::string folder = win32::StationDataFolder();
      log_files = platform::MakeLogFiles();
      file_log = std::make_unique<agent::RotatingLog>(*log_files, folder + "\\zalvos.log");
      log = [&file_log](std::string_view cp1251) { file_log->Write(text::Cp1251ToUtf8(cp1251)); };
    } catch (const platform::PlatformError& e) {
      win32::WriteServiceEvent(L"log",
                               std::string(e.what()) + "; the service runs without its log");
    }
  }
  return win32::RunServiceProgram(
      service,
      [&](const std::vector<std::wstring>& start_args) {
        bool traffic =
            std::find(start_args.begin(), start_args.end(), L"--log-traffic") != start_args.end();
        return std::make_unique<ZalvoService>(
            service_run && !traffic ? agent::WithoutTraffic(log) : log, TickLength(start_args),
            !switches.console, PasswordIterations(start_args));
      },
      args);
}
