#include "platform/win32/service_host.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>

#include "platform/error.h"
#include "platform/switches.h"
#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "service_messages.h"

namespace zalvo::win32 {

namespace {

constexpr DWORD kWaitHintMs = 5000;

std::wstring ModuleFileName() {
  std::wstring path = ModulePath();
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

constexpr wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Recovery: the first and second failure restart after 5 s, every later one
// after 60 s; a day without failure starts the count again.
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
constexpr DWORD kFirstRestartMs = 5000;
constexpr DWORD kLaterRestartMs = 60000;

void ShowMessage(const std::wstring& text, bool error, bool box = true) {
  // The console, when there is one, sees the outcome too (scripted installs).
  std::fprintf(error ? stderr : stdout, "%s\n", Narrow(text).c_str());
  std::fflush(error ? stderr : stdout);
  if (box) {
    MessageBoxW(nullptr, text.c_str(), L"zalvos",
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
  }
}

// The system's failure, with its words as the message (the installer shows
// them as they stand).
[[noreturn]] void Fail(DWORD code) {
  throw platform::SystemError(ErrorText(code), code);
}
[[noreturn]] void FailWithLastError() {
  Fail(GetLastError());
}
void Check(LSTATUS status) {
  if (status != ERROR_SUCCESS) {
    Fail(static_cast<DWORD>(status));
  }
}

void RegisterAsEventSource() {
  ScopedKey key;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kEventLogKey + EventSourceKey()).c_str(), 0, nullptr,
                        0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
  // The program's own message table gives the events their text.
  std::wstring path = ModulePath();
  Check(RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))));
  DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  Check(RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&types), sizeof types));
}

// The description and the recovery actions of an open service.
void ConfigureService(SC_HANDLE handle, const ServiceDefinition& service) {
  if (!service.description.empty()) {
    std::wstring text = service.description;
    SERVICE_DESCRIPTIONW description{text.data()};
    if (!ChangeServiceConfig2W(handle, SERVICE_CONFIG_DESCRIPTION, &description)) {
      FailWithLastError();
    }
  }
  SC_ACTION actions[] = {{SC_ACTION_RESTART, kFirstRestartMs},
                         {SC_ACTION_RESTART, kFirstRestartMs},
                         {SC_ACTION_RESTART, kLaterRestartMs}};
  SERVICE_FAILURE_ACTIONSW failure{kFailureResetSeconds, nullptr, nullptr,
                                   static_cast<DWORD>(std::size(actions)), actions};
  if (!ChangeServiceConfig2W(handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    FailWithLastError();
  }
  RegisterAsEventSource();
}

// Installs or uninstalls (`verb`) by the steps, which throw PlatformError:
// a failure is shown with the system's words (a message box unless quiet)
// and its error code is the exit code; success is shown unless silent or
// quiet.
template <typename Steps>
int Carry(const ServiceDefinition& service, const std::wstring& verb, bool silent, bool quiet,
          Steps steps) {
  try {
    steps();
  } catch (const platform::PlatformError& e) {
    ShowMessage(L"Service \"" + service.display_name + L"\" failed to " + verb +
                    L" with error: \"" + Widen(e.what()) + L"\"",
                true, !quiet);
    return e.code() > 0 && e.code() <= 0x7FFFFFFF ? static_cast<int>(e.code()) : 1;
  }
  if (!silent && !quiet) {
    ShowMessage(L"Service " + verb + L"ed successfully", false);
  }
  return 0;
}

int Install(const ServiceDefinition& service, bool silent, bool quiet) {
  return Carry(service, L"install", silent, quiet, [&] {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
      FailWithLastError();
    }
    // The path is quoted, so that a folder with a blank can't start another program.
    std::wstring command = L"\"" + ModulePath() + L"\"";
    ScopedServiceHandle created(CreateServiceW(
        manager.get(), service.name.c_str(), service.display_name.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!created) {
      FailWithLastError();
    }
    ConfigureService(created.get(), service);
  });
}

int Uninstall(const ServiceDefinition& service, bool silent, bool quiet) {
  // The event source goes with the service (also when the service is
  // already gone): its message file is about to be removed.
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kEventLogKey + EventSourceKey()).c_str());
  return Carry(service, L"uninstall", silent, quiet, [&] {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
      FailWithLastError();
    }
    ScopedServiceHandle existing(OpenServiceW(manager.get(), service.name.c_str(), DELETE));
    if (!existing || !DeleteService(existing.get())) {
      FailWithLastError();
    }
  });
}

// The one service of the process, reached from the control manager's
// callbacks, which carry no context of their own into ServiceMain.
struct ServiceContext {
  const ServiceDefinition* service = nullptr;
  const HandlersFactory* make_handlers = nullptr;
  std::unique_ptr<platform::ServiceHandlers> handlers;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  SERVICE_STATUS status{};
  HANDLE stop_event = nullptr;
};
ServiceContext* g_context = nullptr;

void WriteEventLog(const std::wstring& operation, const std::string& what) {
  if (g_context != nullptr) {
    g_context->service->log("Service failed on " + Narrow(operation) + ": " + what);
  }
  WriteServiceEvent(operation, what);
}

}  // namespace

void WriteServiceEvent(const std::wstring& operation, const std::string& what) {
  HANDLE source = RegisterEventSourceW(nullptr, EventSourceKey().c_str());
  if (source == nullptr) {
    return;
  }
  // The message table holds "Service failed on %1: %2".
  std::wstring detail = Widen(what);
  const wchar_t* strings[] = {operation.c_str(), detail.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, ZALVO_MSG_SERVICE_FAILED, nullptr, 2, 0, strings,
               nullptr);
  DeregisterEventSource(source);
}

namespace {

// A failed start's service-specific code: the system's error code of the
// failure when it has one (10048: the port is taken), else 1.
DWORD StartFailureCode(const std::exception& e) {
  if (const auto* platform_error = dynamic_cast<const platform::PlatformError*>(&e)) {
    if (platform_error->code() > 0 && platform_error->code() <= 0x7FFFFFFF) {
      return static_cast<DWORD>(platform_error->code());
    }
  }
  return 1;
}

void Report(DWORD state, DWORD exit_code = NO_ERROR, DWORD specific_code = 0) {
  ServiceContext& c = *g_context;
  c.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  c.status.dwCurrentState = state;
  c.status.dwWin32ExitCode = exit_code;
  c.status.dwServiceSpecificExitCode = specific_code;
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                 state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  c.status.dwControlsAccepted = pending || state == SERVICE_STOPPED
                                    ? 0
                                    : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                          SERVICE_ACCEPT_PAUSE_CONTINUE |
                                          SERVICE_ACCEPT_SESSIONCHANGE;
  c.status.dwWaitHint = pending ? kWaitHintMs : 0;
  c.status.dwCheckPoint = pending ? c.status.dwCheckPoint + 1 : 0;
  SetServiceStatus(c.status_handle, &c.status);
}

// The session changes that move the console to another user or session.
bool ConsoleChange(DWORD event) {
  return event == WTS_CONSOLE_CONNECT || event == WTS_CONSOLE_DISCONNECT ||
         event == WTS_SESSION_LOGON || event == WTS_SESSION_LOGOFF;
}

DWORD WINAPI ControlHandler(DWORD control, DWORD event, void*, void*) {
  ServiceContext& c = *g_context;
  try {
    switch (control) {
      case SERVICE_CONTROL_STOP:
      case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING);
        SetEvent(c.stop_event);
        return NO_ERROR;
      case SERVICE_CONTROL_PAUSE:
        Report(SERVICE_PAUSE_PENDING);
        c.handlers->Pause();
        Report(SERVICE_PAUSED);
        return NO_ERROR;
      case SERVICE_CONTROL_CONTINUE:
        Report(SERVICE_CONTINUE_PENDING);
        c.handlers->Continue();
        Report(SERVICE_RUNNING);
        return NO_ERROR;
      case SERVICE_CONTROL_SESSIONCHANGE:
        if (ConsoleChange(event)) {
          c.handlers->SessionChanged();
        }
        return NO_ERROR;
      case SERVICE_CONTROL_INTERROGATE:
        SetServiceStatus(c.status_handle, &c.status);
        return NO_ERROR;
      default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
  } catch (const std::exception& e) {
    WriteEventLog(control == SERVICE_CONTROL_PAUSE ? L"pause" : L"continue", e.what());
    Report(SERVICE_RUNNING);
    return NO_ERROR;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  ServiceContext& c = *g_context;
  c.status_handle = RegisterServiceCtrlHandlerExW(c.service->name.c_str(), ControlHandler, nullptr);
  if (c.status_handle == nullptr) {
    return;
  }
  Report(SERVICE_START_PENDING);
  try {
    std::vector<std::wstring> args;
    for (DWORD i = 1; i < argc; ++i) {
      args.emplace_back(argv[i]);
    }
    c.handlers = (*c.make_handlers)(args);
    c.handlers->Start();
  } catch (const std::exception& e) {
    WriteEventLog(L"start", e.what());
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, StartFailureCode(e));
    return;
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(c.stop_event, INFINITE);
  // The threads end within about a tick; until then each second moves the
  // check point on, well inside the wait hint.
  std::future<void> stopped = std::async(std::launch::async, [&c] { c.handlers->Stop(); });
  while (stopped.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
    Report(SERVICE_STOP_PENDING);
  }
  try {
    stopped.get();
  } catch (const std::exception& e) {
    WriteEventLog(L"stop", e.what());
  }
  Report(SERVICE_STOPPED);
}

int RunAsService(const ServiceDefinition& service, const HandlersFactory& make_handlers) {
  ServiceContext context;
  context.service = &service;
  context.make_handlers = &make_handlers;
  context.stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ScopedHandle stop_event(context.stop_event);
  g_context = &context;
  std::wstring name = service.name;
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  BOOL ok = StartServiceCtrlDispatcherW(table);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  g_context = nullptr;
  if (!ok) {
    std::fprintf(stderr, "zalvos: cannot run as a service (%s); use --console to run it here\n",
                 ErrorText(error).c_str());
    return 1;
  }
  return 0;
}

HANDLE g_console_stop = nullptr;

BOOL WINAPI ConsoleControl(DWORD) {
  SetEvent(g_console_stop);
  return TRUE;
}

int RunInConsole(const HandlersFactory& make_handlers, const std::vector<std::wstring>& args) {
  SetConsoleOutputCP(CP_UTF8);
  std::unique_ptr<platform::ServiceHandlers> handlers;
  try {
    handlers = make_handlers(args);
    handlers->Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Service failed on start: %s\n", e.what());
    return 1;
  }
  ScopedHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_console_stop = stop.get();
  SetConsoleCtrlHandler(ConsoleControl, TRUE);
  WaitForSingleObject(stop.get(), INFINITE);
  handlers->Stop();
  return 0;
}

}  // namespace

ServiceSwitches ParseServiceSwitches(const std::vector<std::wstring>& args) {
  platform::Switches given(args);
  ServiceSwitches switches;
  switches.install = given.Has(L"INSTALL");
  switches.uninstall = given.Has(L"UNINSTALL");
  switches.silent = given.Has(L"SILENT");
  switches.quiet = given.Has(L"QUIET");
  switches.console = std::find(args.begin(), args.end(), L"--console") != args.end();
  return switches;
}

int RunServiceProgram(const ServiceDefinition& service, const HandlersFactory& make_handlers,
                      const std::vector<std::wstring>& args) {
  ServiceSwitches switches = ParseServiceSwitches(args);
  if (switches.install) {
    return Install(service, switches.silent, switches.quiet);
  }
  if (switches.uninstall) {
    return Uninstall(service, switches.silent, switches.quiet);
  }
  if (switches.console) {
    return RunInConsole(make_handlers, args);
  }
  return RunAsService(service, make_handlers);
}

void ApplyServiceCare(const ServiceDefinition& service) {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    FailWithLastError();
  }
  ScopedServiceHandle handle(
      OpenServiceW(manager.get(), service.name.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START));
  if (!handle) {
    FailWithLastError();
  }
  ConfigureService(handle.get(), service);
}

std::wstring EventSourceKey() {
  return ModuleFileName();
}

std::vector<std::wstring> CommandLineArguments() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  const ScopedLocal owned(argv);
  std::vector<std::wstring> args;
  for (int i = 1; i < count; ++i) {
    args.emplace_back(argv[i]);
  }
  return args;
}

}  // namespace zalvo::win32
