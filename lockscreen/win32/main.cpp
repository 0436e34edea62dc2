// zalvoc.exe: the lock screen. The composition root: the real registry,
// Windows directory and desktop, the lock state of the log-on, the windows,
// the log file, and the lock screen's logic between them; then the message
// loop until the main window closes. One lock screen runs in a Windows
// session: a second one (started from the Run key as well as the shell, or
// by the agent while Windows restarts the shell) ends as soon as it has seen
// the first one's window.

#include <windows.h>

#include <commctrl.h>

#include "lockscreen/lock_screen.h"
#include "lockscreen/win32/application.h"
#include "lockscreen/win32/lock_state_store.h"
#include "lockscreen/win32/log_file.h"
#include "lockscreen/win32/main_form.h"
#include "lockscreen/win32/mci_melody.h"
#include "lockscreen/win32/password_form.h"
#include "lockscreen/win32/rest_time_form.h"
#include "lockscreen/win32/window.h"
#include "platform/error.h"
#include "platform/win32/desktop.h"
#include "platform/win32/files.h"
#include "platform/win32/lock_screen_windows.h"
#include "platform/win32/password_pipe.h"
#include "platform/win32/process_identity.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "settings/registry_names.h"

namespace {

// How long a lock screen that finds the mark taken waits for the window of
// the one that made it.
constexpr DWORD kOtherInstanceWaitMs = 5000;
constexpr DWORD kOtherInstancePollMs = 100;

// Whether this is the session's one lock screen, given the mark it made
// and the error of making it. The mark lives in the session's own namespace
// ("Local\"), so the lock screens of other sessions don't count. Any program
// of the session may make that name first, so a mark taken counts only when
// a main window of a lock screen of this program's own file shows up within
// a few seconds; otherwise this one runs.
bool FirstInSession(const zalvo::win32::ScopedHandle& mark, DWORD error,
                    const zalvo::platform::LogSink& log) {
  if (!mark) {
    log("the one-lock-screen-a-session mark could not be made: error " + std::to_string(error));
    return true;
  }
  if (error != ERROR_ALREADY_EXISTS) {
    return true;
  }
  const std::wstring program = zalvo::win32::ModulePath();
  for (DWORD waited = 0;; waited += kOtherInstancePollMs) {
    if (zalvo::win32::LockScreenWindowRuns(program, GetCurrentProcessId())) {
      return false;
    }
    if (waited >= kOtherInstanceWaitMs) {
      break;
    }
    Sleep(kOtherInstancePollMs);
  }
  log("the one-lock-screen-a-session mark was held by a program without a lock screen window: "
      "this one runs");
  return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
  namespace ui = zalvo::lockscreen::win32;
  using zalvo::lockscreen::LockScreen;

  // A window that stops answering stays as it is: Windows would otherwise
  // put a ghost in its place after a few seconds, which the customer may
  // move, minimise and close.
  DisableProcessWindowsGhosting();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_TAB_CLASSES};
  InitCommonControlsEx(&controls);

  const zalvo::platform::LogSink log = ui::MakeLog();
  ui::Window::SetForeignMessageLog(log);
  const zalvo::win32::ScopedHandle mark(CreateMutexW(nullptr, FALSE, L"Local\\ZalvoLockScreen"));
  if (!FirstInSession(mark, GetLastError(), log)) {
    log("a lock screen already runs in this Windows session: this one ends");
    return 0;
  }
  try {
    zalvo::win32::Win32Registry registry;
    zalvo::win32::Win32Files files;
    std::unique_ptr<zalvo::platform::Desktop> desktop = zalvo::win32::MakeWin32Desktop();
    ui::RegistryLockStateStore lock_state;
    // On a station whose service keeps the passwords, the service checks them.
    std::unique_ptr<zalvo::platform::PasswordChannel> passwords =
        zalvo::win32::MakePasswordPipeClient(
            zalvo::win32::Widen(zalvo::settings::kPasswordStoreKey));
    ui::Application application;
    ui::MainForm main_form(application);
    ui::PasswordForm password_form(application);
    ui::RestTimeForm rest_time_form(application);
    ui::MciMelody melody;
    LockScreen screen({registry, files, *desktop, lock_state, passwords.get()},
                      {main_form, password_form, rest_time_form, melody}, log);

    application.Create();
    main_form.Create(screen);
    password_form.Create(screen);
    rest_time_form.Attach(screen);
    screen.Start();
    const int exit_code = application.Run();
    // The windows go while the logic their handlers call still exists.
    rest_time_form.Destroy();
    password_form.Destroy();
    main_form.Destroy();
    application.Destroy();
    return exit_code;
  } catch (const zalvo::platform::PlatformError& e) {
    // Only the windows' creation can fail here.
    log(std::string("the lock screen's windows could not be created: ") + e.what());
    MessageBoxW(nullptr, zalvo::win32::Widen(e.what()).c_str(), nullptr, MB_OK | MB_ICONERROR);
    return 1;
  }
}
