// The agent installed and started as a service under Wine, which runs it on
// a window station of its own, as Windows runs services in session 0: its
// desktop commands reach the windows on the user's desktop only through the
// session helper it starts there. A window opened on the desktop is listed,
// reported in front and ended, and the customer's policies reach the hive of
// the user at the console; a helper that is killed is replaced; a helper
// that hangs neither stops the keep-alive nor the service's stop. With no
// session running, the lock screen that is the console user's shell is kept
// running and locked, and one that stops answering is replaced.
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

#include "platform/error.h"
#include "platform/win32/files.h"
#include "platform/win32/lock_screen_windows.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/passwords.h"
#include "settings/registry_names.h"
#include "settings/settings_file.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"
#include "tests/win32/gui_driver.h"

namespace zalvo::testing {
namespace {

using Replies = std::vector<std::string>;
using win32::ScopedHandle;
using win32::ScopedServiceHandle;

DWORD ServiceProcessId(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                       sizeof status, &needed);
  return status.dwProcessId;
}

DWORD ServiceState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  QueryServiceStatus(service, &status);
  return status.dwCurrentState;
}

// The processes the condition picks.
std::vector<DWORD> ProcessesWhere(const std::function<bool(const PROCESSENTRY32W&)>& picks) {
  std::vector<DWORD> found;
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (picks(entry)) {
      found.push_back(entry.th32ProcessID);
    }
  }
  return found;
}

// The command line of a process, from its process parameters.
std::wstring CommandLineOf(DWORD process_id) {
  using Query = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  PROCESS_BASIC_INFORMATION basic{};
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS parameters{};
  ULONG size = 0;
  if (query == nullptr || !process ||
      query(process.get(), ProcessBasicInformation, &basic, sizeof basic, &size) != 0 ||
      !ReadProcessMemory(process.get(), basic.PebBaseAddress, &peb, sizeof peb, nullptr) ||
      !ReadProcessMemory(process.get(), peb.ProcessParameters, &parameters, sizeof parameters,
                         nullptr)) {
    return {};
  }
  std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  ReadProcessMemory(process.get(), parameters.CommandLine.Buffer, line.data(),
                    parameters.CommandLine.Length, nullptr);
  return line;
}

// The zalvos.exe processes the service started: its session helpers, or
// its lock checks.
std::vector<DWORD> HelpersOf(DWORD service_process, bool checks = false) {
  return ProcessesWhere([&](const PROCESSENTRY32W& entry) {
    return entry.th32ParentProcessID == service_process && entry.th32ProcessID != service_process &&
           _wcsicmp(entry.szExeFile, L"zalvos.exe") == 0 &&
           (CommandLineOf(entry.th32ProcessID).find(L"--lock-check") != std::wstring::npos) ==
               checks;
  });
}

std::vector<DWORD> ProcessesNamed(const wchar_t* name) {
  return ProcessesWhere(
      [&](const PROCESSENTRY32W& entry) { return _wcsicmp(entry.szExeFile, name) == 0; });
}

// Suspends every thread of the process: it hangs as a deadlocked program does.
void Suspend(DWORD process_id) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == process_id) {
      ScopedHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
      ASSERT_TRUE(thread);
      SuspendThread(thread.get());
    }
  }
}

bool Ended(DWORD process_id) {
  ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
  return !process || WaitForSingleObject(process.get(), 3000) == WAIT_OBJECT_0;
}

class ServiceHelper : public ::testing::Test {
 protected:
  void SetUp() override {
    // The customer account is the user Wine runs everything as, as the
    // installer's /CUSTOMER= would keep it (its SID looked up at the start).
    wchar_t user[256] = {};
    DWORD user_size = 256;
    ASSERT_TRUE(GetUserNameW(user, &user_size));
    HKEY station = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zalvo", 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &station, nullptr),
              ERROR_SUCCESS);
    win32::ScopedKey station_key(station);
    ASSERT_EQ(
        RegSetValueExW(station, L"CustomerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(user),
                       static_cast<DWORD>((wcslen(user) + 1) * sizeof(wchar_t))),
        ERROR_SUCCESS);
    win32::Win32Files files;
    files.Replace(settings::SettingsFilePath(files.WindowsDirectory(), settings::kSettingsFileName),
                  "ServerIP=127.0.0.1\r\nPlayGame=1\r\nFreeDisk=0\r\nSendDataTime=150\r\n");
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_);
    Remove();  // a left-over of an earlier run
    ASSERT_EQ(RunAndWait(QuotedProgram(Program()) + L" /INSTALL /SILENT"), 0u);
    service_.reset(OpenServiceW(manager_.get(), L"ZalvoService", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service_);
    // A keep-alive about every second; cheap password hashes.
    const wchar_t* start_args[] = {L"--tick-ms", L"10", L"--password-iterations", L"1000"};
    ASSERT_TRUE(StartServiceW(service_.get(), 4, start_args));
    ASSERT_TRUE(WaitFor([&] { return ServiceState(service_.get()) == SERVICE_RUNNING; }));
    ASSERT_TRUE(server_.WaitForAgent());
  }
  void TearDown() override {
    service_.reset();
    Remove();
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zalvo", L"CustomerName");
    // Later tests' lock screens keep their own passwords.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Widen(settings::kPasswordStoreKey).c_str());
  }
  // The zalvos.exe the service runs.
  virtual std::string Program() { return ZALVOS_PROGRAM; }

  // Stops and deletes the service, if it is there (without the message box
  // that "/UNINSTALL" shows when it is not).
  void Remove() {
    ScopedServiceHandle service(OpenServiceW(manager_.get(), L"ZalvoService", SERVICE_ALL_ACCESS));
    if (!service) {
      return;
    }
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    WaitFor([&] { return ServiceState(service.get()) == SERVICE_STOPPED; });
    DeleteService(service.get());
  }

  // Asks until a reply starting with `prefix` holds (or no longer holds) the text.
  bool ReplyHolds(const std::string& command, const std::string& prefix, const std::string& text,
                  bool wanted = true) {
    for (int i = 0; i < 50; ++i) {
      for (const std::string& reply : server_.Exchange(command)) {
        if (reply.rfind(prefix, 0) == 0) {
          last_ = reply;
        }
      }
      if ((last_.find(text) != std::string::npos) == wanted) {
        return true;
      }
      Sleep(200);
    }
    return false;
  }

  // Every datagram that arrives within the time.
  Replies CollectFor(int ms) {
    Replies got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (auto datagram = server_.Receive(static_cast<int>(left.count()) + 1)) {
        got.push_back(*datagram);
      }
    }
    return got;
  }

  // The one helper of the service, once it runs.
  DWORD Helper() {
    std::vector<DWORD> helpers;
    WaitFor([&] { return (helpers = HelpersOf(ServiceProcessId(service_.get()))).size() == 1; });
    return helpers.size() == 1 ? helpers[0] : 0;
  }

  ServerPeer server_;
  ScopedServiceHandle manager_;
  ScopedServiceHandle service_;
  std::string last_;
};

TEST_F(ServiceHelper, DesktopCommandsReachTheUsersDesktopAndTheHelperIsReplacedWhenItFails) {
  std::string probe_output = win32::Narrow(_wgetenv(L"TEMP")) + "\\zalvo-probe.txt";
  auto probe = StartProcess(BuiltProgramPath(WINDOW_HELPER),
                            {"--caption", "Acceptance Probe", "--seconds", "120"}, probe_output);
  EXPECT_TRUE(ReplyHolds("ACTION PROCESS", "PROCESS LIST:", "\"ACCEPTANCE PROBE\"")) << last_;
  EXPECT_TRUE(ReplyHolds("ACTION INFO", "PLAYGAME=", "PLAYGAME=ACCEPTANCE PROBE")) << last_;
  DWORD first = Helper();
  ASSERT_NE(first, 0u);
  EXPECT_EQ(server_.Exchange("ACTION KILL ACCEPTANCE PROBE"), Replies{"PING"});
  EXPECT_TRUE(WaitFor([&] { return !probe->Running(); }, 10000));
  EXPECT_EQ(probe->ExitCode(), 0);  // ended by the agent, not by its own time limit

  // The customer's policies go to the hive of the customer account, the user
  // at the console (under Wine the one user, whose hive is HKEY_CURRENT_USER
  // here too).
  const std::wstring explorer = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, explorer.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  win32::ScopedKey policies(key);
  RegDeleteValueW(key, L"NoRun");
  win32::Win32Files files;
  files.Replace(
      settings::SettingsFilePath(files.WindowsDirectory(), settings::kSettingsFileName),
      "ServerIP=127.0.0.1\r\nPlayGame=1\r\nFreeDisk=0\r\nSendDataTime=150\r\nNoRun=1\r\n");
  EXPECT_EQ(server_.Exchange("ACTION INI"), Replies{"PING"});
  DWORD no_run = 0;
  DWORD size = sizeof no_run;
  EXPECT_EQ(
      RegQueryValueExW(key, L"NoRun", nullptr, nullptr, reinterpret_cast<BYTE*>(&no_run), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(no_run, 1u);
  RegDeleteTreeW(HKEY_CURRENT_USER, explorer.c_str());

  // Killed: the next command starts another helper.
  ScopedHandle helper(OpenProcess(PROCESS_TERMINATE, FALSE, first));
  ASSERT_TRUE(helper);
  ASSERT_TRUE(TerminateProcess(helper.get(), 9));
  ASSERT_TRUE(Ended(first));
  Replies list = server_.Exchange("ACTION PROCESS");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].rfind("PROCESS LIST:", 0), 0u);
  DWORD second = Helper();
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);

  // Hung: the command fails after the bound, the keep-alive goes on, the hung
  // helper is ended and the next command is served by a new one.
  Suspend(second);
  server_.Send("ACTION PROCESS");
  // Every reply for at least 6 s, and on until the keep-alive has come twice
  // (a loaded machine may tick slower than the 10 ms asked for).
  Replies after = CollectFor(6000);
  for (int i = 0; i < 10 && std::count(after.begin(), after.end(), "PING") < 2; ++i) {
    Replies more = CollectFor(1000);
    after.insert(after.end(), more.begin(), more.end());
  }
  EXPECT_EQ(std::count_if(after.begin(), after.end(),
                          [](const std::string& r) { return r.rfind("PROCESS LIST:", 0) == 0; }),
            0);
  EXPECT_GE(std::count(after.begin(), after.end(), "PING"), 2);  // the keep-alive goes on
  EXPECT_TRUE(Ended(second));
  EXPECT_TRUE(ReplyHolds("ACTION PROCESS", "PROCESS LIST:", "PROCESS LIST:")) << last_;
  DWORD third = Helper();
  EXPECT_NE(third, second);

  // The stop ends within its wait hint while a command waits for a hung helper.
  Suspend(third);
  server_.Send("ACTION PROCESS");
  Sleep(200);
  SERVICE_STATUS status{};
  auto stop = std::chrono::steady_clock::now();
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(WaitFor([&] { return ServiceState(service_.get()) == SERVICE_STOPPED; }, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(5000));
  EXPECT_TRUE(Ended(third));
}

// With ShutDownMonitor=1 the tick sends the monitor message to every window,
// every tick. Windows that look at their messages only every 4 seconds hold
// no command up: every one is answered by the same helper, also after the
// start of a program that does not exist, whose outcome the log names.
TEST_F(ServiceHelper, WindowsThatStopAnsweringHoldNoCommandUp) {
  std::vector<std::unique_ptr<ChildProcess>> stalled;
  for (int i = 0; i < 3; ++i) {
    stalled.push_back(StartProcess(
        BuiltProgramPath(WINDOW_HELPER),
        {"--caption", "Stalled " + std::to_string(i), "--stall-ms", "4000", "--seconds", "120"},
        win32::Narrow(_wgetenv(L"TEMP")) + "\\zalvo-stalled-" + std::to_string(i) + ".txt"));
  }
  win32::Win32Files files;
  files.Replace(settings::SettingsFilePath(files.WindowsDirectory(), settings::kSettingsFileName),
                "ServerIP=127.0.0.1\r\nPlayGame=1\r\nFreeDisk=0\r\nSendDataTime=150\r\n"
                "ShutDownMonitor=1\r\n");
  wchar_t log_path[MAX_PATH] = {};
  ExpandEnvironmentStringsW(L"%ProgramData%\\Zalvo\\zalvos.log", log_path, MAX_PATH);
  auto read_log = [&] {
    try {
      return files.Read(win32::Narrow(log_path));
    } catch (const platform::PlatformError&) {
      return std::string();
    }
  };
  const size_t log_before = read_log().size();
  server_.Send("ACTION INI");
  EXPECT_TRUE(ReplyHolds("ACTION PROCESS", "PROCESS LIST:", "\"STALLED 2\"")) << last_;
  const DWORD helper = Helper();
  ASSERT_NE(helper, 0u);
  // Each command answered, none given up (the keep-alive's PING is not the answer).
  auto answered = [&](const std::string& command, const std::string& prefix) {
    server_.Send(command);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
    while (std::chrono::steady_clock::now() < end) {
      std::optional<std::string> reply = server_.Receive(100);
      if (reply && reply->rfind(prefix, 0) == 0) {
        return true;
      }
    }
    return false;
  };
  int answers = 0;
  for (int i = 0; i < 6; ++i) {
    answers += answered("ACTION PROCESS", "PROCESS LIST:") ? 1 : 0;
  }
  EXPECT_EQ(answers, 6);
  EXPECT_TRUE(answered("ACTION RUN C:\\nowhere\\missing.exe", "PING"));
  answers = 0;
  for (int i = 0; i < 4; ++i) {
    answers += answered("ACTION PROCESS", "PROCESS LIST:") ? 1 : 0;
  }
  EXPECT_EQ(answers, 4);
  EXPECT_EQ(HelpersOf(ServiceProcessId(service_.get())), std::vector<DWORD>{helper});
  std::string log;
  WaitFor([&] {
    log = read_log();
    log = log.size() >= log_before ? log.substr(log_before) : log;
    return log.find("run: C:\\nowhere\\missing.exe not started") != std::string::npos;
  });
  EXPECT_NE(log.find("run: C:\\nowhere\\missing.exe not started (error "), std::string::npos)
      << log;
  EXPECT_EQ(log.find("did not answer within"), std::string::npos);
  for (auto& window : stalled) {
    window->Stop();
  }
}

// The service and the lock screen installed side by side, as the installer
// puts them, with the lock screen as the shell of the user at the console.
class LockScreenShell : public ServiceHelper {
 protected:
  static constexpr const wchar_t* kShellPolicy =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

  void SetUp() override {
    // No session runs; the last one left automatic log-on and Task Manager
    // to the customer.
    auto winlogon = registry_.Create(platform::Hive::kLocalMachine, settings::kWinlogonKey);
    ASSERT_TRUE(winlogon);
    winlogon->WriteString(settings::kZalvoLogon, "0");
    winlogon->WriteString(settings::kAutoAdminLogon, "1");
    registry_.Create(platform::Hive::kCurrentUser, win32::Narrow(kShellPolicy))
        ->WriteDword("DisableTaskMgr", 0);
    // The passwords as the lock screen kept them before the service did:
    // scrambled in the customer's own hive.
    auto copies = registry_.Create(platform::Hive::kCurrentUser, settings::kZalvoKey);
    copies->WriteString(settings::kZalvoPassword, settings::ScramblePassword("adm1n"));
    copies->WriteString(settings::kSmallPassword, settings::ScramblePassword("2468"));
    folder_ = _wgetenv(L"TEMP") + std::wstring(L"\\zalvo-shell");
    CreateDirectoryW(folder_.c_str(), nullptr);
    for (const auto& [from, name] : {std::pair{std::string(ZALVOS_PROGRAM), L"zalvos.exe"},
                                     std::pair{std::string(ZALVOC_PROGRAM), L"zalvoc.exe"}}) {
      ASSERT_TRUE(CopyFileW(win32::Widen(BuiltProgramPath(from)).c_str(),
                            (folder_ + L"\\" + name).c_str(), FALSE));
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kShellPolicy, 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    win32::ScopedKey policy(key);
    const std::wstring shell = L"\"" + folder_ + L"\\zalvoc.exe\"";
    ASSERT_EQ(RegSetValueExW(key, L"Shell", 0, REG_SZ, reinterpret_cast<const BYTE*>(shell.c_str()),
                             static_cast<DWORD>((shell.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ServiceHelper::SetUp();
  }
  void TearDown() override {
    ServiceHelper::TearDown();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellPolicy, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      win32::ScopedKey policy(key);
      RegDeleteValueW(key, L"Shell");
      RegDeleteValueW(key, L"DisableTaskMgr");
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zalvo");
    for (DWORD id : ProcessesNamed(L"zalvoc.exe")) {
      ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, id));
      TerminateProcess(process.get(), 0);
      Ended(id);
    }
  }
  std::string Program() override { return win32::Narrow(folder_ + L"\\zalvos.exe"); }

  // The one lock screen of the installed file, once it runs.
  DWORD LockScreen() {
    std::vector<DWORD> found;
    WaitFor([&] { return (found = ProcessesOfFile(folder_ + L"\\zalvoc.exe")).size() == 1; },
            20000);
    return found.size() == 1 ? found[0] : 0;
  }
  // Whether the process's main window shows the lock: shown, above the others.
  static bool Locked(DWORD process) {
    HWND main = TopLevel(process, win32::kLockScreenWindowClass);
    return main != nullptr && IsWindowVisible(main) &&
           (GetWindowLongW(main, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  }
  std::optional<std::string> AutoAdminLogon() {
    return registry_.Open(platform::Hive::kLocalMachine, settings::kWinlogonKey)
        ->ReadString(settings::kAutoAdminLogon);
  }
  // The copies of the passwords in the customer's hive, and the hashes kept.
  std::optional<std::string> Copy(std::string_view name) {
    auto key = registry_.Open(platform::Hive::kCurrentUser, settings::kZalvoKey);
    return key ? key->ReadString(name) : std::nullopt;
  }
  std::string Kept(std::string_view name) {
    auto key = registry_.Open(platform::Hive::kLocalMachine, settings::kPasswordStoreKey);
    return key ? key->ReadString(name).value_or("") : "";
  }
  std::optional<uint32_t> TaskManager() {
    return registry_.Open(platform::Hive::kCurrentUser, win32::Narrow(kShellPolicy))
        ->ReadDword("DisableTaskMgr");
  }
  // The service's log, %ProgramData%\Zalvo\zalvos.log.
  std::string ServiceLog() {
    wchar_t path[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%ProgramData%\\Zalvo\\zalvos.log", path, MAX_PATH);
    try {
      return win32::Win32Files().Read(win32::Narrow(path));
    } catch (const platform::PlatformError&) {
      return {};
    }
  }

  win32::Win32Registry registry_;
  std::wstring folder_;
};

TEST_F(LockScreenShell, WithNoSessionTheServiceKeepsTheShellsLockScreenRunningAndLocked) {
  // At its first start the service took the customer's copies of the
  // passwords over: their hashes are kept, the copies are gone.
  EXPECT_TRUE(
      WaitFor([&] { return !Copy(settings::kZalvoPassword) && !Copy(settings::kSmallPassword); }));
  EXPECT_EQ(Kept("AdminPassword").rfind("pbkdf2-sha256$1000$", 0), 0u) << Kept("AdminPassword");
  EXPECT_EQ(Kept("SmallPassword").rfind("pbkdf2-sha256$1000$", 0), 0u) << Kept("SmallPassword");

  const size_t log_before = ServiceLog().size();
  auto log = [&] {
    const std::string all = ServiceLog();
    return all.size() >= log_before ? all.substr(log_before) : all;
  };
  // Started unlocked, as Windows starts it, and locked within a few ticks;
  // automatic log-on off, Task Manager disabled.
  const DWORD first = LockScreen();
  ASSERT_NE(first, 0u) << "the service did not start the lock screen";
  EXPECT_TRUE(WaitFor([&] { return Locked(first); }, 5000));
  EXPECT_TRUE(WaitFor([&] { return AutoAdminLogon() == "0" && TaskManager() == 1u; }, 5000));

  // Ended (as Task Manager ends it) while a copy of it runs from elsewhere:
  // the installed one is started again and locked.
  const std::wstring copy_folder = folder_ + L"\\copy";
  CreateDirectoryW(copy_folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((folder_ + L"\\zalvoc.exe").c_str(),
                        (copy_folder + L"\\zalvoc.exe").c_str(), FALSE));
  StartedProcess copy = StartProgram(L"\"" + copy_folder + L"\\zalvoc.exe\"");
  const ScopedHandle copy_process(copy.handle);
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, first));
  ASSERT_TRUE(process);
  ASSERT_TRUE(TerminateProcess(process.get(), 1));
  ASSERT_TRUE(Ended(first));
  const DWORD second = LockScreen();
  EXPECT_NE(second, 0u) << "not started again";
  EXPECT_NE(second, first);
  // (It first waits a few seconds for a window of its own file, as the copy
  // holds its one-a-session mark.)
  EXPECT_TRUE(WaitFor([&] { return Locked(second); }, 15000));
  // The copy goes: it may have covered the screen too (the lock of this
  // log-on), and a cover that is not the installed lock screen's leaves the
  // lock unconfirmed.
  TerminateProcess(copy_process.get(), 0);
  WaitForSingleObject(copy_process.get(), 5000);
  // Running and locked, it is left alone: still the one a few ticks later.
  Sleep(1000);
  EXPECT_EQ(LockScreen(), second);
  EXPECT_TRUE(WaitFor([&] { return log().find("the lock is confirmed") != std::string::npos; }))
      << log();

  // Suspended, it still shows its cover, but it does not answer the
  // service's own look: the service ends it about ten seconds later and
  // starts another, which it locks.
  Suspend(second);
  DWORD third = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        const std::vector<DWORD> running = ProcessesOfFile(folder_ + L"\\zalvoc.exe");
        third = running.size() == 1 && running[0] != second ? running[0] : 0;
        return third != 0;
      },
      30000))
      << log();
  EXPECT_TRUE(Ended(second));
  EXPECT_TRUE(WaitFor([&] { return Locked(third); }, 15000));
  EXPECT_NE(log().find("did not answer within 1 s): the lock screen was ended (1 "
                       "process(es)) and another is started"),
            std::string::npos)
      << log();
}

}  // namespace
}  // namespace zalvo::testing
