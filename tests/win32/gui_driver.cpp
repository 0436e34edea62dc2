// Driving Win32 programs through their windows from a test, and saving
// screenshots of them.
#include "tests/win32/gui_driver.h"

#include <commctrl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>

#include "platform/error.h"
#include "platform/win32/error.h"
#include "platform/win32/files.h"
#include "platform/win32/process_identity.h"
#include "platform/win32/registry.h"
#include "platform/win32/scoped.h"
#include "platform/win32/wide.h"
#include "tests/support/child_process.h"
#include "tests/win32/png_writer.h"

namespace zalvo::testing {

std::wstring QuotedProgram(const std::string& build_path) {
  return L"\"" + win32::Widen(BuiltProgramPath(build_path)) + L"\"";
}

DWORD RunAndWait(const std::wstring& command_line, DWORD timeout_ms) {
  StartedProcess started;
  try {
    started = StartProgram(command_line);
  } catch (const platform::PlatformError&) {
    return 0xFFFFFFFF;
  }
  win32::ScopedHandle process(started.handle);
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.get(), &code);
  }
  return code;
}

StartedProcess StartProgram(const std::wstring& command_line) {
  std::wstring command = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    win32::ThrowLastError("cannot start " + win32::Narrow(command_line));
  }
  win32::ScopedHandle thread(info.hThread);
  return {info.hProcess, info.dwProcessId};
}

void DrawOwnFrames(const std::string& program_file_name) {
  win32::Win32Registry()
      .Create(platform::Hive::kCurrentUser,
              "Software\\Wine\\AppDefaults\\" + program_file_name + "\\X11 Driver")
      ->WriteString("Managed", "N");
}

// Handles this thread's messages while it waits, so that the test's own
// helper window answers the lock screen's messages.
void Pump(int ms) {
  DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  } while (GetTickCount() - start < static_cast<DWORD>(ms));
}

// Whether the task bar holds the icon of the window: only an existing icon
// can be modified.
bool HasTrayIcon(HWND window) {
  NOTIFYICONDATAW data{};
  data.cbSize = NOTIFYICONDATAW_V1_SIZE;
  data.hWnd = window;
  data.uID = 1;
  data.uFlags = NIF_TIP;
  wcscpy(data.szTip, L"Zalvo");
  return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

bool WaitFor(const std::function<bool()>& condition, int ms) {
  DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > static_cast<DWORD>(ms)) {
      return false;
    }
    Pump(50);
  }
  return true;
}

namespace {

struct Search {
  DWORD process;
  const wchar_t* window_class;
  int id;
  HWND found;
};

bool ClassIs(HWND hwnd, const wchar_t* window_class) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return wcscmp(name, window_class) == 0;
}

}  // namespace

// A top-level window of the process with the class.
std::vector<DWORD> ProcessesOfFile(const std::wstring& program) {
  std::vector<DWORD> found;
  win32::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (win32::ProcessRunsFile(entry.th32ProcessID, program)) {
      found.push_back(entry.th32ProcessID);
    }
  }
  return found;
}

HWND TopLevel(DWORD process, const wchar_t* window_class) {
  Search search{process, window_class, 0, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        if (owner == s->process && ClassIs(hwnd, s->window_class)) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A descendant window with the control id.
HWND Child(HWND parent, int id) {
  Search search{0, nullptr, id, nullptr};
  EnumChildWindows(
      parent,
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        if (GetDlgCtrlID(hwnd) == s->id) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(hwnd, message, wparam, lparam, SMTO_NORMAL, 5000, &result);
  return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND hwnd) {
  wchar_t buffer[512] = {};
  Send(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

void SetTextOf(HWND hwnd, const std::wstring& text) {
  Send(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// Keys typed into a control, as the keyboard posts them.
void Type(HWND hwnd, const std::wstring& text) {
  for (wchar_t c : text) {
    PostMessageW(hwnd, WM_CHAR, c, 1);
  }
}

void PressEnter(HWND hwnd) {
  PostMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 1);
  PostMessageW(hwnd, WM_KEYUP, VK_RETURN, 0xC0000001);
}

void Click(HWND button) {
  PostMessageW(button, BM_CLICK, 0, 0);
}

bool Checked(HWND box) {
  return Send(box, BM_GETCHECK) == BST_CHECKED;
}

// The directory the screenshots go to, in the form this program opens.
std::string ScreenshotDirectory() {
  return BuiltProgramPath(ZALVO_SCREENSHOT_DIR);
}

void SaveScreenshot(const RECT& r, const std::string& name) {
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  win32::ScopedScreenDc screen(GetDC(nullptr));
  win32::ScopedMemoryDc memory(CreateCompatibleDC(screen.get()));
  win32::ScopedBitmap bitmap(CreateCompatibleBitmap(screen.get(), width, height));
  HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
  BitBlt(memory.get(), 0, 0, width, height, screen.get(), r.left, r.top, SRCCOPY);
  SelectObject(memory.get(), old);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  std::vector<uint8_t> dib(stride * static_cast<size_t>(height));
  GetDIBits(memory.get(), bitmap.get(), 0, static_cast<UINT>(height), dib.data(), &info,
            DIB_RGB_COLORS);
  std::vector<uint8_t> rgb;
  rgb.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* bgr = &dib[stride * static_cast<size_t>(y) + static_cast<size_t>(x) * 3];
      rgb.insert(rgb.end(), {bgr[2], bgr[1], bgr[0]});
    }
  }
  const std::string directory = ScreenshotDirectory();
  CreateDirectoryW(win32::Widen(directory).c_str(), nullptr);  // when it is there, nothing
  win32::Win32Files().Replace(directory + "\\" + name, EncodePng(width, height, rgb));
}

void SaveScreenshot(HWND hwnd, const std::string& name) {
  RECT r;
  GetWindowRect(hwnd, &r);
  SaveScreenshot(r, name);
}

// A 24-bit bitmap file: the desktop wallpaper the lock screen shows.
std::string WriteWallpaper(const std::string& directory) {
  const int width = 320, height = 200;
  const int stride = width * 3;
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(stride * height);
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
  bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
  for (int y = 0; y < height; ++y) {  // bottom row first: dark blue at the bottom
    for (int x = 0; x < width; ++x) {
      bytes += static_cast<char>(120 + y / 2);  // blue
      bytes += static_cast<char>(40 + y / 3);   // green
      bytes += static_cast<char>(20 + x / 8);   // red
    }
  }
  std::string path = directory + "\\zalvo-test-wallpaper.bmp";
  win32::Win32Files().Replace(path, bytes);
  return path;
}

}  // namespace zalvo::testing
