#include "agent/win32/setup.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "agent/password_store.h"
#include "agent/rotating_log.h"
#include "platform/error.h"
#include "platform/log_files.h"
#include "platform/switches.h"
#include "platform/win32/command_key.h"
#include "platform/win32/data_folder.h"
#include "platform/win32/error.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/service_host.h"
#include "platform/win32/wide.h"
#include "protocol/commands.h"
#include "settings/settings_file.h"
#include "settings/station_setup.h"
#include "text/cp1251.h"

namespace zalvo::win32 {
namespace {

constexpr wchar_t kFirewallRule[] = L"Zalvo Service";
constexpr DWORD kServiceWaitMs = 30000;
constexpr DWORD kCommandWaitMs = 60000;

// The text in Windows-1251, or nothing when a character has no exact form
// there (no best-fit stand-ins: "²" must not become "2").
std::optional<std::string> ExactCp1251(const std::wstring& wide) {
  if (wide.empty()) {
    return std::string();
  }
  BOOL defaulted = FALSE;
  int n = WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(),
                              static_cast<int>(wide.size()), nullptr, 0, nullptr, &defaulted);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                      out.data(), n, nullptr, &defaulted);
  if (defaulted || n <= 0) {
    return std::nullopt;
  }
  return out;
}

std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// The step's log: setup.log in the data folder, and the console.
class SetupLog {
 public:
  SetupLog()
      : files_(platform::MakeLogFiles()),
        log_(*files_, StationDataFolder() + "\\setup.log", agent::RotatingLog::kDefaultLimit) {}

  void operator()(const std::string& cp1251) {
    std::string utf8 = text::Cp1251ToUtf8("zalvos: " + cp1251);
    log_.Write(utf8);
    std::fprintf(stdout, "%s\n", utf8.c_str());
    std::fflush(stdout);
  }

 private:
  std::unique_ptr<platform::LogFiles> files_;
  agent::RotatingLog log_;
};

// Runs a command line with no window and waits for its end (bounded); its
// exit code, or nothing when it could not start or did not end in time.
std::optional<DWORD> RunHidden(const std::wstring& command_line) {
  std::wstring command = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info)) {
    return std::nullopt;
  }
  ScopedHandle thread(info.hThread);
  ScopedHandle process(info.hProcess);
  if (WaitForSingleObject(process.get(), kCommandWaitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    return std::nullopt;
  }
  DWORD code = 1;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

std::wstring Netsh() {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return L"\"" + std::wstring(system) + L"\\netsh.exe\" advfirewall firewall ";
}

// Points the inbound rule of the program at the server: the old rule goes,
// the new one lets only the server reach the command port. Logs the
// commands and their outcome; PlatformError when the rule was not added.
void PointFirewallAtServer(const std::string& server, SetupLog& log) {
  const std::wstring rule = std::wstring(L"name=\"") + kFirewallRule + L"\"";
  const std::wstring remove = Netsh() + L"delete rule " + rule;
  const std::wstring add = Netsh() + L"add rule " + rule +
                           L" dir=in action=allow protocol=UDP localport=" +
                           std::to_wstring(protocol::kCommandPort) + L" remoteip=" + Widen(server) +
                           L" program=\"" + ModulePath() + L"\" enable=yes profile=any";
  std::optional<DWORD> removed = RunHidden(remove);
  log("ran " + Narrow(remove) + ": " +
      (removed ? "exit code " + std::to_string(*removed) : "did not run"));
  std::optional<DWORD> added = RunHidden(add);
  log("ran " + Narrow(add) + ": " +
      (added ? "exit code " + std::to_string(*added) : "did not run"));
  if (!added || *added != 0) {
    throw platform::PlatformError("netsh did not add it");
  }
}

// The accounts whose folders and files the installer trusts: the
// administrators, SYSTEM, and the account the installer runs as.
bool TrustedOwner(PSID owner) {
  for (WELL_KNOWN_SID_TYPE type : {WinBuiltinAdministratorsSid, WinLocalSystemSid}) {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof sid;
    if (CreateWellKnownSid(type, nullptr, sid, &size) && EqualSid(owner, sid)) {
      return true;
    }
  }
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return false;
  }
  ScopedHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  return size != 0 && GetTokenInformation(token.get(), TokenUser, user.data(), size, &size) &&
         EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

// The owner of a file or folder as text (its SID), or nothing when it is
// one the installer trusts.
std::optional<std::string> ForeignOwner(const std::wstring& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD status = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                       &owner, nullptr, nullptr, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    return "an owner that can't be read (" + ErrorText(status) + ")";
  }
  ScopedLocal owned(descriptor);
  if (owner != nullptr && TrustedOwner(owner)) {
    return std::nullopt;
  }
  wchar_t* text = nullptr;
  if (owner == nullptr || !ConvertSidToStringSidW(owner, &text)) {
    return "no owner";
  }
  ScopedLocal owned_text(text);
  return Narrow(text);
}

// Why a folder that exists can't be trusted to hold what the installer puts
// there: it is a reparse point (a junction or link elsewhere), another
// account owns it, or it holds anything but the given files (each a plain
// file with one name, owned as the folder must be). Nothing when it can.
std::optional<std::string> Distrust(const std::wstring& folder,
                                    const std::vector<std::wstring>& ours) {
  DWORD attributes = GetFileAttributesW(folder.c_str());
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return "it is a reparse point";
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return "it is not a folder";
  }
  if (std::optional<std::string> owner = ForeignOwner(folder)) {
    return "it is owned by " + *owner;
  }
  WIN32_FIND_DATAW entry{};
  ScopedFind search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (!search) {
    return "its contents can't be listed (" + ErrorText(GetLastError()) + ")";
  }
  do {
    std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") {
      continue;
    }
    bool known = false;
    for (const std::wstring& our : ours) {
      known = known || _wcsicmp(name.c_str(), our.c_str()) == 0;
    }
    const std::wstring path = folder + L"\\" + name;
    if (!known ||
        (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return "it holds " + Narrow(name) + ", which the installer did not put there";
    }
    if (std::optional<std::string> owner = ForeignOwner(path)) {
      return "its " + Narrow(name) + " is owned by " + *owner;
    }
    ScopedHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
      return "its " + Narrow(name) + " can't be opened (" + ErrorText(GetLastError()) + ")";
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(file.get(), &information) && information.nNumberOfLinks > 1) {
      return "its " + Narrow(name) + " has other names (hard links)";
    }
  } while (FindNextFileW(search.get(), &entry));
  return std::nullopt;
}

// "/PREPARE [/DIR=folder]": before the installer writes anything, the data
// folder (and the install folder) must be the installer's own. One that is
// not is moved aside (renamed, nothing deleted); exit code 2 when it can't
// be. Prints a line for each; writes no log (the log goes into that folder).
int Prepare(const platform::Switches& switches) {
  struct Folder {
    std::wstring path;
    std::vector<std::wstring> ours;
  };
  std::vector<Folder> folders{
      {DataFolderPath(), {L"setup.log", L"setup.1.log", L"zalvos.log", L"zalvos.1.log"}}};
  if (std::optional<std::wstring> install = switches.ValueOf(L"DIR")) {
    folders.push_back(
        {*install,
         {L"zalvos.exe", L"zalvoc.exe", L"uninstall.exe", L"zalvos.exe.old", L"zalvoc.exe.old"}});
  }
  // Lines apart, the last without a line end: the installer logs the text
  // as it stands.
  bool first = true;
  auto say = [&first](const std::string& line) {
    std::fprintf(stdout, "%s%s", first ? "" : "\n", text::Cp1251ToUtf8(line).c_str());
    std::fflush(stdout);
    first = false;
  };
  for (const Folder& folder : folders) {
    if (GetFileAttributesW(folder.path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      continue;  // made by the installer itself
    }
    std::optional<std::string> why = Distrust(folder.path, folder.ours);
    if (!why) {
      continue;
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t stamp[32] = {};
    std::swprintf(stamp, 32, L"%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    const std::wstring aside = folder.path + L".untrusted-" + stamp;
    if (!MoveFileExW(folder.path.c_str(), aside.c_str(), 0)) {
      say("refused: " + Narrow(folder.path) + " can't be trusted (" + *why +
          ") and can't be moved aside: " + ErrorText(GetLastError()) + "; nothing installed");
      return 2;
    }
    say(Narrow(folder.path) + " was moved aside to " + Narrow(aside) + ": " + *why);
  }
  return 0;
}

// The passwords go where the service keeps them: those of a krv.krv the
// station has (the file is then deleted), then the given ones over them, as
// hashes. Says when there is no administrator password. PlatformError when
// a step failed (what was done before it stays).
void SetUpPasswords(const settings::StationSetup& setup, Win32Files& files, SetupLog& log) {
  Win32Registry registry;
  agent::PasswordStore store(registry, {agent::kPasswordIterations,
                                        [](std::string_view path) { ProtectKey(Widen(path)); }});
  const std::string where = "HKLM\\" + std::string(agent::kPasswordKeyPath);
  store.Create();
  const std::string path =
      settings::SettingsFilePath(files.WindowsDirectory(), settings::kPasswordFileName);
  std::optional<std::string> bytes;
  try {
    bytes = files.Read(path);
  } catch (const platform::PlatformError& e) {
    if (e.kind() != platform::ErrorKind::kNotFound) {
      throw;
    }
  }
  if (bytes) {
    for (const std::string& line : agent::TakeOverPasswordFile(store, *bytes, path)) {
      log(line);
    }
    (void)files.Remove(path);
    log(path + " (plain text every account may read) is deleted");
  }
  for (auto [kind, value] : {std::pair{agent::PasswordKind::kAdmin, &setup.admin_password},
                             std::pair{agent::PasswordKind::kSmall, &setup.small_password}}) {
    if (*value) {
      store.Keep(kind, **value);
      log("the " + std::string(agent::PasswordName(kind)) + " is set: only its hash is kept, in " +
          where + " (SYSTEM and administrators only)");
    }
  }
  if (!store.Hash(agent::PasswordKind::kAdmin)) {
    log(std::string("no administrator password is set: the lock screen has no administrator "
                    "log-in (and no settings dialog) until one is given with /ADMINPASSWORD=") +
        (store.CustomerCopiesTaken() ? ""
                                     : ", unless the customer account's own values hold one, "
                                       "which the service takes over at its next log-on"));
  }
}

int Setup(const ServiceDefinition& service, const platform::Switches& switches) {
  SetupLog log;
  settings::StationSetup setup;
  std::vector<std::string> problems;
  auto take = [&](const wchar_t* word, std::optional<std::string>& into, const char* what) {
    if (auto value = switches.ValueOf(word)) {
      if (auto exact = ExactCp1251(*value)) {
        into = *exact;
      } else {
        problems.push_back(std::string(what) + " holds characters outside Windows-1251");
      }
    }
  };
  if (auto server = switches.ValueOf(L"SERVER")) {
    // A character Windows-1251 lacks reads as '?', which no address holds.
    setup.server = Narrow(*server);
  }
  take(L"ADMINPASSWORD", setup.admin_password, "the administrator password");
  take(L"SMALLPASSWORD", setup.small_password, "the small password");

  Win32Files files;
  bool settings_exist = false;
  try {
    settings_exist = settings::SettingsFileExists(files);
  } catch (const platform::PlatformError& e) {
    log(std::string("krvini.ini can't be read: ") + e.what());
    return 1;
  }
  for (const std::string& problem : settings::SetupProblems(setup, settings_exist)) {
    problems.push_back(problem);
  }
  if (!problems.empty()) {
    for (const std::string& problem : problems) {
      log("refused: " + problem + "; nothing changed");
    }
    return 2;
  }
  if (switches.Has(L"CHECK")) {
    log(std::string("checked: the values can be set") +
        (settings_exist ? "" : " (a new station, server " + *setup.server + ")"));
    return 0;
  }

  // Each step's failure is logged and fails the set-up; the steps after it
  // still run.
  bool failed = false;
  auto step = [&](const std::string& failure, auto&& body) {
    try {
      body();
    } catch (const platform::PlatformError& e) {
      log(failure + ": " + e.what());
      failed = true;
    }
  };
  for (const std::wstring& folder : {FolderOf(ModulePath()), DataFolderPath()}) {
    step("rights of " + Narrow(folder) + " not set", [&] {
      SecureFolder(folder);
      log("rights of " + Narrow(folder) +
          " set: Administrators and SYSTEM full control, Users read and execute");
    });
  }
  try {
    for (const std::string& line : settings::ApplySetup(files, setup)) {
      log(line);
    }
  } catch (const platform::PlatformError& e) {
    log(std::string("settings not written: ") + e.what());
    return 1;
  }
  step("passwords not set", [&] { SetUpPasswords(setup, files, log); });

  std::string server;
  try {
    server = settings::SettingsText(files.Read(settings::SettingsFilePath(
                                        files.WindowsDirectory(), settings::kSettingsFileName)))
                 .Value("ServerIP");
  } catch (const platform::PlatformError& e) {
    log(std::string("krvini.ini can't be read: ") + e.what());
  }
  if (settings::IsServerAddress(server)) {
    step("firewall rule not set", [&] { PointFirewallAtServer(server, log); });
  } else {
    log("no firewall rule: krvini.ini holds no server address (ServerIP=" + server + ")");
    failed = true;
  }

  try {
    ApplyServiceCare(service);
    log("service description, recovery and event source set");
  } catch (const platform::PlatformError& e) {
    if (e.kind() != platform::ErrorKind::kNotFound) {
      log(std::string("service care not set: ") + e.what());
      failed = true;
    }
  }
  return failed ? 1 : 0;
}

DWORD QueryState(SC_HANDLE handle, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  if (!QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    return 0;
  }
  return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE handle, DWORD wanted, SERVICE_STATUS_PROCESS& status) {
  for (DWORD waited = 0; waited < kServiceWaitMs; waited += 100) {
    DWORD state = QueryState(handle, status);
    if (state == wanted) {
      return true;
    }
    if (state == SERVICE_STOPPED && wanted == SERVICE_RUNNING) {
      return false;  // it ended while starting
    }
    Sleep(100);
  }
  return false;
}

// The installed service, opened for the access. Throws PlatformError with
// the system's words for why it can't be (of the kind kNotFound when the
// service is not installed).
ScopedServiceHandle OpenInstalled(const ServiceDefinition& service, DWORD access) {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle handle(manager ? OpenServiceW(manager.get(), service.name.c_str(), access)
                                     : nullptr);
  if (!handle) {
    const DWORD error = GetLastError();
    throw platform::SystemError(ErrorText(error), error);
  }
  return handle;
}

int Stop(const ServiceDefinition& service) {
  SetupLog log;
  ScopedServiceHandle handle;
  try {
    handle = OpenInstalled(service, SERVICE_STOP | SERVICE_QUERY_STATUS);
  } catch (const platform::PlatformError& e) {
    if (e.kind() == platform::ErrorKind::kNotFound) {
      log("service not installed: nothing to stop");
      return 0;
    }
    log(std::string("service can't be opened: ") + e.what());
    return 1;
  }
  SERVICE_STATUS_PROCESS status{};
  if (QueryState(handle.get(), status) == SERVICE_STOPPED) {
    log("service already stopped");
    return 0;
  }
  const DWORD process_id = status.dwProcessId;
  SERVICE_STATUS ignored{};
  if (!ControlService(handle.get(), SERVICE_CONTROL_STOP, &ignored) &&
      GetLastError() != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
    log("service refused to stop: " + ErrorText(GetLastError()));
    return 1;
  }
  if (!WaitForState(handle.get(), SERVICE_STOPPED, status)) {
    log("service did not stop within " + std::to_string(kServiceWaitMs / 1000) + " s");
    return 1;
  }
  // Its process may still be ending: the files are free once it has.
  if (process_id != 0) {
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    if (process && WaitForSingleObject(process.get(), kServiceWaitMs) != WAIT_OBJECT_0) {
      log("service stopped, but its process did not end");
      return 1;
    }
  }
  log("service stopped");
  return 0;
}

int Start(const ServiceDefinition& service) {
  SetupLog log;
  ScopedServiceHandle handle;
  try {
    handle = OpenInstalled(service, SERVICE_START | SERVICE_QUERY_STATUS);
  } catch (const platform::PlatformError& e) {
    log(std::string("service can't be opened: ") + e.what());
    return 1;
  }
  if (!StartServiceW(handle.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    log("service not started: " + ErrorText(GetLastError()));
    return 1;
  }
  SERVICE_STATUS_PROCESS status{};
  if (!WaitForState(handle.get(), SERVICE_RUNNING, status)) {
    log("service did not come up: exit code " + std::to_string(status.dwWin32ExitCode) +
        ", its own code " + std::to_string(status.dwServiceSpecificExitCode) +
        " (zalvos.log in the data folder tells why)");
    return 1;
  }
  log("service running");
  return 0;
}

}  // namespace

bool IsSetupCommand(const std::vector<std::wstring>& args) {
  platform::Switches switches(args);
  return switches.Has(L"SETUP") || switches.Has(L"STOP") || switches.Has(L"START") ||
         switches.Has(L"PREPARE");
}

int RunSetupCommand(const ServiceDefinition& service, const std::vector<std::wstring>& args) {
  platform::Switches switches(args);
  // What no step absorbs itself (the data folder its log goes to, made
  // without its rights) ends the step, said on the console.
  try {
    if (switches.Has(L"PREPARE")) {
      return Prepare(switches);
    }
    if (switches.Has(L"SETUP")) {
      return Setup(service, switches);
    }
    if (switches.Has(L"STOP")) {
      return Stop(service);
    }
    return Start(service);
  } catch (const platform::PlatformError& e) {
    std::fprintf(stderr, "zalvos: refused: %s; nothing more done\n",
                 text::Cp1251ToUtf8(e.what()).c_str());
    return 1;
  }
}

std::string StationDataFolder() {
  return PrepareDataFolder(DataFolderPath());
}

}  // namespace zalvo::win32
