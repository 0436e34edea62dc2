// Driving Win32 programs through their windows from a test under Wine, as the
// task bar, the mouse and the keyboard would, and saving screenshots of them.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace zalvo::testing {

// A built program as a quoted command-line word.
std::wstring QuotedProgram(const std::string& build_path);

// Runs the command line and waits for its end; its exit code, or 0xFFFFFFFF
// when it could not start or did not end in time.
DWORD RunAndWait(const std::wstring& command_line, DWORD timeout_ms = 120000);

// Starts the command line and returns the process; throws when it can't.
struct StartedProcess {
  HANDLE handle = nullptr;  // owned by the caller
  DWORD id = 0;
};
StartedProcess StartProgram(const std::wstring& command_line);

// Without a window manager on the virtual display, Wine draws the frames and
// captions of the program's windows itself only when it does not hand them
// over to the display's manager: set that for the program's file name.
void DrawOwnFrames(const std::string& program_file_name);

// Handles this thread's messages while it waits, so that the test's own
// windows answer the messages of the program under test.
void Pump(int ms);

// Waits, pumping messages, until the condition holds; false after ms.
bool WaitFor(const std::function<bool()>& condition, int ms = 15000);

// Whether the task bar holds the notification icon 1 of the window.
bool HasTrayIcon(HWND window);

// The processes that run the program file (told by the file, not its name).
std::vector<DWORD> ProcessesOfFile(const std::wstring& program);

// A top-level window of the process with the class; nullptr when none.
HWND TopLevel(DWORD process, const wchar_t* window_class);

// A descendant window with the control id; nullptr when none.
HWND Child(HWND parent, int id);

// SendMessage bounded to 5 s, so that a test never hangs on a window.
LRESULT Send(HWND hwnd, UINT message, WPARAM wparam = 0, LPARAM lparam = 0);
std::wstring TextOf(HWND hwnd);
void SetTextOf(HWND hwnd, const std::wstring& text);

// Keys typed into a control, as the keyboard posts them.
void Type(HWND hwnd, const std::wstring& text);
void PressEnter(HWND hwnd);
void Click(HWND button);
bool Checked(HWND box);

// Saves the part of the screen, or a window, as <name> in the build folder's
// screenshots/ (scripts/update-screenshots.sh copies them to
// docs/screenshots/).
void SaveScreenshot(const RECT& r, const std::string& name);
void SaveScreenshot(HWND hwnd, const std::string& name);

// Writes a 24-bit bitmap into the directory and returns its path: the
// desktop wallpaper the lock screen shows.
std::string WriteWallpaper(const std::string& directory);

}  // namespace zalvo::testing
