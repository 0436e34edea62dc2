// The installer's steps that zalvos.exe carries out on the station, each
// logged to %ProgramData%\Zalvo\setup.log and printed:
//
//   zalvos.exe /SETUP [/SERVER=a.b.c.d] [/ADMINPASSWORD=x] [/SMALLPASSWORD=y] [/CHECK]
//       checks the values (exit code 2 and a line for each one refused, with
//       nothing changed); with /CHECK nothing more. Otherwise gives the
//       program's folder and the data folder their rights, writes the server
//       address into krvini.ini (a new file on a new station, else only its
//       ServerIP line), keeps the passwords where the service keeps them
//       (agent/password_store.h: the hashes of a krv.krv the station has,
//       which is then deleted, and of the given ones over them; the log says
//       when there is no administrator password), points the firewall rule
//       at the server of krvini.ini, and gives an installed service its
//       description, recovery and event source. Exit code 0, or 1 when a
//       step failed (the log says which).
//   zalvos.exe /PREPARE [/DIR=folder]
//       before the installer writes anything: the data folder, and the
//       install folder when given, must be the installer's own, or missing.
//       One that is a reparse point, is owned by an account other than the
//       administrators, SYSTEM or the installer's, or holds anything but
//       the files the installer puts there is moved aside (renamed to
//       "<folder>.untrusted-<date>-<time>"); exit code 2 when it can't be.
//       Prints what it did; writes no log.
//   zalvos.exe /STOP     stops the service and waits until it and its process
//                        have ended; 0 when it is stopped or not installed
//   zalvos.exe /START    starts the service and waits until it runs; 0 when
//                        it runs
//
// The switches are read without regard to letter case, after "/" or "-".
#pragma once

#include <string>
#include <vector>

#include "platform/win32/service_host.h"

namespace zalvo::win32 {

// Whether the arguments ask for one of the steps above.
bool IsSetupCommand(const std::vector<std::wstring>& args);

// Carries out the step and returns the exit code.
int RunSetupCommand(const ServiceDefinition& service, const std::vector<std::wstring>& args);

// The station's data folder, %ProgramData%\Zalvo, created when missing with
// its rights (Administrators and SYSTEM full control, Users read): the
// service's log is kept there. Windows-1251 text. Throws PlatformError when
// a folder it made can't be given its rights (platform/win32/data_folder.h).
std::string StationDataFolder();

}  // namespace zalvo::win32
