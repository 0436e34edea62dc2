#include "lockscreen/win32/application.h"

#include "lockscreen/win32/ids.h"

namespace zalvo::lockscreen::win32 {

void Application::Create() {
  RegisterClassOnce(ids::kApplicationClass, 0, nullptr);
  // Never shown: the program's windows belong to it, and it has no title.
  CreateWindowOf(0, ids::kApplicationClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr);
}

void Application::Dispatch(MSG& msg) {
  if (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST) {
    for (HWND container : containers_) {
      if (IsWindowVisible(container) && (msg.hwnd == container || IsChild(container, msg.hwnd)) &&
          IsDialogMessageW(container, &msg)) {
        return;
      }
    }
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

void Application::Quit(int exit_code) {
  quitting_ = true;
  exit_code_ = exit_code;
  PostQuitMessage(exit_code);
}

bool Application::OwnQuit() {
  if (quitting_) {
    return true;
  }
  Window::ForeignMessageDropped("WM_QUIT");
  return false;
}

int Application::Run() {
  MSG msg;
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got < 0) {
      return 1;  // the call itself failed: nothing more to wait for
    }
    if (got == 0) {
      if (OwnQuit()) {
        return exit_code_;
      }
      continue;
    }
    Dispatch(msg);
  }
}

void Application::RunWhile(const std::function<bool()>& condition) {
  MSG msg;
  while (condition()) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got < 0) {
      return;
    }
    if (got == 0) {
      if (OwnQuit()) {
        PostQuitMessage(exit_code_);
        return;
      }
      continue;
    }
    Dispatch(msg);
  }
}

void Application::ProcessPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      if (OwnQuit()) {
        PostQuitMessage(exit_code_);
        return;
      }
      continue;
    }
    Dispatch(msg);
  }
}

void Panel::Create(HWND parent, int id, int x, int y, int width, int height, bool raised,
                   bool visible, int default_button) {
  raised_ = raised;
  default_button_ = default_button;
  RegisterClassOnce(ids::kPanelClass, 0, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  CreateWindowOf(WS_EX_CONTROLPARENT, ids::kPanelClass, L"",
                 WS_CHILD | WS_CLIPSIBLINGS | (visible ? WS_VISIBLE : 0), x, y, width, height,
                 parent, static_cast<UINT_PTR>(id));
}

LRESULT Panel::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
      return SendMessageW(GetParent(hwnd()), message, wparam, lparam);
    case DM_GETDEFID:
      return default_button_ != 0 ? MAKELRESULT(default_button_, DC_HASDEFID) : 0;
    case WM_PAINT:
      if (raised_) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd(), &ps);
        RECT r;
        GetClientRect(hwnd(), &r);
        DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
        EndPaint(hwnd(), &ps);
        return 0;
      }
      break;
    default:
      break;
  }
  return Window::OnMessage(message, wparam, lparam);
}

}  // namespace zalvo::lockscreen::win32
