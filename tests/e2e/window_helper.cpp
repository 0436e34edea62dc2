// A small Windows program for the agent's end-to-end tests: it opens one
// top-level window with the given caption and ends by itself after a while.
//
//   zalvo_window_helper [--caption TEXT] [--touch FILE] [--seconds N] [--stall-ms N]
//
// --touch first writes FILE (UTF-8): its working directory on the first line,
// then its arguments one per line, so that a test sees how it was started.
// --stall-ms makes it look at its messages only every N milliseconds, as a
// program that is busy most of the time.
// Ends with exit code 3 when its time is up; a test that ends it by
// terminating its process sees the code the terminator gave.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/win32/scoped.h"

namespace {

constexpr UINT_PTR kTimeUp = 1;

std::string Utf8(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

LRESULT CALLBACK HelperWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER && wparam == kTimeUp) {
    PostQuitMessage(3);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void Touch(const std::wstring& file, const std::vector<std::wstring>& args) {
  wchar_t directory[MAX_PATH + 1] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  std::string content = Utf8(directory) + "\n";
  for (size_t i = 1; i < args.size(); ++i) {
    content += Utf8(args[i]) + "\n";
  }
  HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out != INVALID_HANDLE_VALUE) {
    zalvo::win32::ScopedHandle file_handle(out);
    DWORD written = 0;
    WriteFile(file_handle.get(), content.data(), static_cast<DWORD>(content.size()), &written,
              nullptr);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv, argv + argc);
  LocalFree(argv);

  std::wstring caption = L"Zalvo window helper";
  UINT seconds = 60;
  DWORD stall_ms = 0;
  for (size_t i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == L"--caption") {
      caption = args[i + 1];
    } else if (args[i] == L"--touch") {
      Touch(args[i + 1], args);
    } else if (args[i] == L"--seconds") {
      seconds = static_cast<UINT>(_wtoi(args[i + 1].c_str()));
    } else if (args[i] == L"--stall-ms") {
      stall_ms = static_cast<DWORD>(_wtoi(args[i + 1].c_str()));
    }
  }

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = HelperWindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = L"ZalvoWindowHelper";
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, window_class.lpszClassName, caption.c_str(), WS_OVERLAPPEDWINDOW,
                                10, 10, 320, 120, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    return 2;
  }
  ShowWindow(window, SW_SHOWNORMAL);
  SetTimer(window, kTimeUp, seconds * 1000, nullptr);
  MSG message{};
  if (stall_ms > 0) {
    for (;;) {
      Sleep(stall_ms);
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          return static_cast<int>(message.wParam);
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
  }
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
