#include "platform/win32/service_host.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <exception>

#include "platform/win32/error.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"

namespace zalvo::win32 {
namespace {

constexpr DWORD kWaitHintMs = 5000;

std::wstring Upper(std::wstring s) {
  for (wchar_t& c : s) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - L'a' + L'A');
    }
  }
  return s;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring ModuleFileName() {
  std::wstring path = ModulePath();
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void ShowMessage(const std::wstring& text, bool error) {
  // The console, when there is one, sees the outcome too (scripted installs).
  std::fprintf(error ? stderr : stdout, "%s\n", Narrow(text).c_str());
  std::fflush(error ? stderr : stdout);
  MessageBoxW(nullptr, text.c_str(), L"zalvos",
              MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

void WriteEventLog(const std::wstring& operation, const std::string& what) {
  HANDLE source = RegisterEventSourceW(nullptr, ModuleFileName().c_str());
  if (source == nullptr) {
    return;
  }
  std::wstring text = L"Service failed on " + operation + L": " + Widen(what);
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

int Install(const ServiceDefinition& service, bool silent) {
  DWORD error = ERROR_SUCCESS;
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    error = GetLastError();
  } else {
    // The path is quoted, so that a folder with a blank can't start another program.
    std::wstring command = L"\"" + ModulePath() + L"\"";
    ScopedServiceHandle created(CreateServiceW(
        manager.get(), service.name.c_str(), service.display_name.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!created) {
      error = GetLastError();
    }
  }
  if (error != ERROR_SUCCESS) {
    ShowMessage(L"Service \"" + service.display_name + L"\" failed to install with error: \"" +
                    Widen(ErrorText(error)) + L"\"",
                true);
    return 1;
  }
  if (!silent) {
    ShowMessage(L"Service installed successfully", false);
  }
  return 0;
}

int Uninstall(const ServiceDefinition& service, bool silent) {
  DWORD error = ERROR_SUCCESS;
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    error = GetLastError();
  } else {
    ScopedServiceHandle existing(OpenServiceW(manager.get(), service.name.c_str(), DELETE));
    if (!existing || !DeleteService(existing.get())) {
      error = GetLastError();
    }
  }
  if (error != ERROR_SUCCESS) {
    ShowMessage(L"Service \"" + service.display_name + L"\" failed to uninstall with error: \"" +
                    Widen(ErrorText(error)) + L"\"",
                true);
    return 1;
  }
  if (!silent) {
    ShowMessage(L"Service uninstalled successfully", false);
  }
  return 0;
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

void Report(DWORD state, DWORD exit_code = NO_ERROR) {
  ServiceContext& c = *g_context;
  c.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  c.status.dwCurrentState = state;
  c.status.dwWin32ExitCode = exit_code;
  c.status.dwServiceSpecificExitCode = 0;
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                 state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  c.status.dwControlsAccepted =
      pending || state == SERVICE_STOPPED
          ? 0
          : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SESSIONCHANGE;
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
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
    return;
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(c.stop_event, INFINITE);
  try {
    c.handlers->Stop();
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
  ServiceSwitches switches;
  for (const std::wstring& arg : args) {
    if (arg == L"--console") {
      switches.console = true;
      continue;
    }
    if (arg.empty() || (arg[0] != L'/' && arg[0] != L'-')) {
      continue;
    }
    std::wstring word = Upper(arg.substr(1));
    switches.install |= word == L"INSTALL";
    switches.uninstall |= word == L"UNINSTALL";
    switches.silent |= word == L"SILENT";
  }
  return switches;
}

int RunServiceProgram(const ServiceDefinition& service, const HandlersFactory& make_handlers,
                      const std::vector<std::wstring>& args) {
  ServiceSwitches switches = ParseServiceSwitches(args);
  if (switches.install) {
    return Install(service, switches.silent);
  }
  if (switches.uninstall) {
    return Uninstall(service, switches.silent);
  }
  if (switches.console) {
    return RunInConsole(make_handlers, args);
  }
  return RunAsService(service, make_handlers);
}

std::vector<std::wstring> CommandLineArguments() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> args;
  for (int i = 1; i < count; ++i) {
    args.emplace_back(argv[i]);
  }
  LocalFree(argv);
  return args;
}

}  // namespace zalvo::win32
