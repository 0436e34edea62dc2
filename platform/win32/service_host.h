// The program entry of a Windows service program: installation switches,
// the service control manager's dispatch, and a console run for debugging.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/log_sink.h"
#include "platform/service_host.h"
#include "platform/win32/process_identity.h"

namespace zalvo::win32 {

struct ServiceDefinition {
  std::wstring name;          // the service's key name
  std::wstring display_name;  // the name shown to people
  std::wstring description;   // the services list's description, when not empty
  // Receives, as Windows-1251 text, each failure the host writes to the event
  // log, so that the program's own log has it too.
  platform::LogSink log;
};

// Makes the service's handlers from its arguments: the start parameters the
// service control manager passes (after the service name), or the program's
// arguments for a console run.
using HandlersFactory =
    std::function<std::unique_ptr<platform::ServiceHandlers>(const std::vector<std::wstring>&)>;

// The switches of the command line: "INSTALL", "UNINSTALL", "SILENT" and
// "QUIET" after "/" or "-" in any letter case, and "--console". "QUIET" shows
// no message box at all, for scripted installs: the outcome is printed and
// the exit code tells it (0, or the system's error code).
struct ServiceSwitches {
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  bool quiet = false;
  bool console = false;
};
ServiceSwitches ParseServiceSwitches(const std::vector<std::wstring>& args);

// Runs the program by its switches: installs or uninstalls the service (with
// the message boxes of each outcome; "SILENT" suppresses the success
// message), runs the handlers in the console until Ctrl+C, or connects to the
// service control manager and runs as the service. Returns the exit code.
int RunServiceProgram(const ServiceDefinition& service, const HandlersFactory& make_handlers,
                      const std::vector<std::wstring>& args);

// Gives the installed service its care: the description, recovery after a
// failure (restart after 5 s, 5 s, then 60 s; the count starts again after a
// day without failure) and the program as the event source of the
// Application log, with its message table. "INSTALL" does it; an installer
// calls it again on an upgrade. Throws PlatformError with the first
// failure (of the kind kNotFound when the service is not installed).
void ApplyServiceCare(const ServiceDefinition& service);

// Writes "Service failed on <operation>: <what>" to the Application event
// log as the program's event, where the program's own log can't take it.
void WriteServiceEvent(const std::wstring& operation, const std::string& what);

// The event source's registry key under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application: the program's
// file name.
std::wstring EventSourceKey();

// The program's arguments, without the program name.
std::vector<std::wstring> CommandLineArguments();

}  // namespace zalvo::win32
