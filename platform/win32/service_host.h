// The program entry of a Windows service program: installation switches,
// the service control manager's dispatch, and a console run for debugging.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/service_host.h"

namespace zalvo::win32 {

struct ServiceDefinition {
  std::wstring name;          // the service's key name
  std::wstring display_name;  // the name shown to people
};

// Makes the service's handlers from its arguments: the start parameters the
// service control manager passes (after the service name), or the program's
// arguments for a console run.
using HandlersFactory =
    std::function<std::unique_ptr<platform::ServiceHandlers>(const std::vector<std::wstring>&)>;

// The switches of the command line: "INSTALL", "UNINSTALL" and "SILENT" after
// "/" or "-" in any letter case, and "--console".
struct ServiceSwitches {
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  bool console = false;
};
ServiceSwitches ParseServiceSwitches(const std::vector<std::wstring>& args);

// Runs the program by its switches: installs or uninstalls the service (with
// the message boxes of each outcome; "SILENT" suppresses the success
// message), runs the handlers in the console until Ctrl+C, or connects to the
// service control manager and runs as the service. Returns the exit code.
int RunServiceProgram(const ServiceDefinition& service, const HandlersFactory& make_handlers,
                      const std::vector<std::wstring>& args);

// The program's arguments, without the program name.
std::vector<std::wstring> CommandLineArguments();

}  // namespace zalvo::win32
