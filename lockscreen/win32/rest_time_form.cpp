#include "lockscreen/win32/rest_time_form.h"

#include "lockscreen/strings.h"
#include "lockscreen/win32/ids.h"

namespace zalvo::lockscreen::win32 {
namespace {
constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 1000;
}  // namespace

RestTimeForm::~RestTimeForm() {
  Destroy();
}

void RestTimeForm::CreateOnce() {
  if (hwnd() != nullptr) {
    return;
  }
  font_ = MakeFont(L"MS Sans Serif", 20);
  RegisterClassOnce(ids::kRestTimeClass, 0, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  // A sizeable tool window (small caption with a close button) above all
  // normal windows, placed by Windows; FormCreate makes it 211 by 80.
  CreateWindowOf(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, ids::kRestTimeClass,
                 Wide(strings::kRestTimeCaption),
                 WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, CW_USEDEFAULT,
                 CW_USEDEFAULT, 211, 80, application_.hwnd());
  RECT client;
  GetClientRect(hwnd(), &client);
  label_ = CreateControl(hwnd(), L"STATIC", L"", WS_VISIBLE | SS_CENTER, 0, 0, 0, client.right,
                         client.bottom, ids::lbRemainingTime, font_.get());
}

bool RestTimeForm::Visible() {
  return hwnd() != nullptr && IsWindowVisible(hwnd());
}

void RestTimeForm::Show() {
  CreateOnce();
  ShowWindow(hwnd(), SW_SHOW);
}

void RestTimeForm::SetLabel(const std::string& text) {
  if (label_ != nullptr) {
    SetText(label_, text);
  }
}

void RestTimeForm::StartTimer() {
  SetTimer(hwnd(), kTickTimer, kTickMs, nullptr);
}

void RestTimeForm::StopTimer() {
  KillTimer(hwnd(), kTickTimer);
}

LRESULT RestTimeForm::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kTickTimer && screen_ != nullptr) {
        screen_->remaining_time().Tick();
      }
      return 0;
    case WM_CLOSE:
      // Hidden, not destroyed.
      ShowWindow(hwnd(), SW_HIDE);
      if (screen_ != nullptr) {
        screen_->remaining_time().Closed();
      }
      return 0;
    case WM_SIZE:
      if (label_ != nullptr) {
        MoveWindow(label_, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
      }
      return 0;
    default:
      break;
  }
  return Window::OnMessage(message, wparam, lparam);
}

}  // namespace zalvo::lockscreen::win32
