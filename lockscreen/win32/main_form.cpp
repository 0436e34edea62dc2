#include "lockscreen/win32/main_form.h"

#include <commctrl.h>

#include "lockscreen/strings.h"
#include "lockscreen/win32/ids.h"
#include "platform/win32/lock_screen_windows.h"
#include "platform/win32/wide.h"

namespace zalvo::lockscreen::win32 {
namespace {

using zalvo::win32::Widen;

// The designed client area, which the window keeps until it is first shown.
constexpr int kDesignedWidth = 656;
constexpr int kDesignedHeight = 395;
constexpr int kStatusHeight = 27;
constexpr int kStartWidth = 57;
constexpr int kStartHeight = 25;
// Status panel 1 is the status bar's width at creation less 114 pixels, for
// the life of the program.
constexpr int kStatusPanel1Width = kDesignedWidth - 114;
constexpr UINT_PTR kLoginPanelTimer = 1;
// While the screen is held: the hold renewed every second.
constexpr UINT_PTR kHoldTimer = 2;
constexpr UINT kHoldMs = 1000;
// Posted when another program's window took the focus while held.
constexpr UINT kTakeFocusBack = WM_APP + 1;
// Posted at the start when there is no notification area to hold the icon.
constexpr UINT kOpenRemainingTime = WM_APP + 2;
constexpr COLORREF kTeal = RGB(0, 128, 128);

void AppendItem(HMENU menu, UINT id, std::string_view utf8) {
  AppendMenuW(menu, MF_STRING, id, Wide(utf8).c_str());
}

ScreenRect FromRect(const RECT& r) {
  return {r.left, r.top, r.right, r.bottom};
}

BOOL CALLBACK AddMonitor(HMONITOR /*monitor*/, HDC /*dc*/, LPRECT area, LPARAM list) {
  reinterpret_cast<std::vector<ScreenRect>*>(list)->push_back(FromRect(*area));
  return TRUE;
}

// Every monitor and the primary one, as the system reports them now.
CoverLayout CurrentCover() {
  std::vector<ScreenRect> monitors;
  EnumDisplayMonitors(nullptr, nullptr, AddMonitor, reinterpret_cast<LPARAM>(&monitors));
  MONITORINFO info{};
  info.cbSize = sizeof info;
  ScreenRect primary{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info)) {
    primary = FromRect(info.rcMonitor);
  }
  return CoverFor(monitors, primary);
}

// A window of this program (a message box, a menu, the dialog).
bool OfThisProcess(HWND window) {
  DWORD process = 0;
  return window != nullptr && GetWindowThreadProcessId(window, &process) != 0 &&
         process == GetCurrentProcessId();
}

}  // namespace

MainForm::~MainForm() {
  RemoveTrayIcon();
  Destroy();
}

void MainForm::Create(LockScreen& screen) {
  screen_ = &screen;
  teal_.reset(CreateSolidBrush(kTeal));
  font_ = MakeControlFont();
  bold_font_ = MakeFont(L"MS Sans Serif", 8, true);
  RegisterClassOnce(ids::kMainClass, CS_DBLCLKS, nullptr);
  CreateWindowOf(0, ids::kMainClass, Wide(strings::kMainCaption), WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                 kDesignedWidth, kDesignedHeight, application_.hwnd());
  primary_ = {0, 0, kDesignedWidth, kDesignedHeight};
  monitors_ = {primary_};

  status_bar_ = CreateControl(hwnd(), STATUSCLASSNAMEW, L"",
                              WS_VISIBLE | WS_CLIPSIBLINGS | CCS_NORESIZE | CCS_NOPARENTALIGN, 0, 0,
                              0, kDesignedWidth, kStatusHeight, ids::StatusBar, font_.get());
  int parts[3] = {kStartWidth, kStartWidth + kStatusPanel1Width, -1};
  SendMessageW(status_bar_, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(parts));
  SetStatusText(strings::Cp1251(strings::kStatusAtStart));

  start_button_ = CreateControl(hwnd(), L"BUTTON", Wide(strings::kStartButton),
                                WS_VISIBLE | WS_CLIPSIBLINGS | BS_OWNERDRAW, 0, 0, 0, kStartWidth,
                                kStartHeight, ids::btStartD, bold_font_.get());
  SetWindowPos(start_button_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

  password_panel_.Create(hwnd(), ids::PasswordPanel, 8, 8, 281, 113, true, false, ids::btOK);
  HWND panel = password_panel_.hwnd();
  HFONT font = font_.get();
  CreateControl(panel, L"STATIC", Wide(strings::kUserLabel), WS_VISIBLE, 0, 16, 20, 56, 13,
                ids::lbUser, font);
  user_edit_ = CreateControl(panel, L"EDIT", L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                             WS_EX_CLIENTEDGE, 80, 16, 185, 21, ids::edUser, font);
  CreateControl(panel, L"STATIC", Wide(strings::kPasswordLabel), WS_VISIBLE, 0, 16, 48, 56, 13,
                ids::lbPassword, font);
  password_edit_ =
      CreateControl(panel, L"EDIT", L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD,
                    WS_EX_CLIENTEDGE, 80, 44, 185, 21, ids::edPassword, font);
  SendMessageW(password_edit_, EM_SETPASSWORDCHAR, L'*', 0);
  CreateControl(panel, L"BUTTON", Wide(strings::kOkButton),
                WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 104, 76, 75, 25, ids::btOK, font);
  // btCancel "Отказ" is part of the panel but never shown.
  CreateControl(panel, L"BUTTON", Wide(strings::kCancelButton), WS_TABSTOP | BS_PUSHBUTTON, 0, 190,
                76, 75, 25, ids::btCancel, font);
  application_.AddDialogContainer(panel);

  CreateMenus();
  Layout();

  taskbar_created_ = RegisterWindowMessageW(L"TaskbarCreated");
  lock_order_ = RegisterWindowMessageW(zalvo::win32::kLockOrderMessage);
  icon_ = MakeTrayIcon();
  AddTrayIcon();
}

void MainForm::CreateMenus() {
  namespace s = strings;
  HMENU settings = CreatePopupMenu();
  AppendItem(settings, ids::mnLock, s::kMenuLock);
  AppendItem(settings, ids::mnProxy, s::kMenuProxyOn);
  AppendItem(settings, ids::mnMixer, s::kMenuMixer);
  AppendItem(settings, ids::mnLoadInternet, s::kMenuInternet);
  AppendItem(settings, ids::mnLoadGames, s::kMenuGames);
  HMENU exit = CreatePopupMenu();
  AppendItem(exit, ids::mnReboot, s::kMenuReboot);
  AppendItem(exit, ids::mnShutDown, s::kMenuShutDown);
  AppendItem(exit, ids::btLogOff, s::kMenuLogOff);
  popup_left_.reset(CreatePopupMenu());
  AppendItem(popup_left_.get(), ids::mnrestTime, s::kMenuRestTime);
  AppendMenuW(popup_left_.get(), MF_POPUP, reinterpret_cast<UINT_PTR>(settings),
              Wide(s::kMenuSettings).c_str());
  AppendMenuW(popup_left_.get(), MF_POPUP, reinterpret_cast<UINT_PTR>(exit),
              Wide(s::kMenuExit).c_str());
  SetMenuDefaultItem(popup_left_.get(), ids::mnrestTime, FALSE);

  popup_right_.reset(CreatePopupMenu());
  AppendItem(popup_right_.get(), ids::mnStatusLock, s::kMenuStart);
  AppendMenuW(popup_right_.get(), MF_SEPARATOR, 0, nullptr);
  AppendItem(popup_right_.get(), ids::mnStatusReboot, s::kMenuReboot);
  AppendItem(popup_right_.get(), ids::mnStatusShutDown, s::kMenuShutDown);
  SetMenuDefaultItem(popup_right_.get(), ids::mnStatusLock, FALSE);
}

void MainForm::AddTrayIcon() {
  tray_ = NOTIFYICONDATAW{};
  // The record in its original, smallest form.
  tray_.cbSize = NOTIFYICONDATAW_V1_SIZE;
  tray_.hWnd = hwnd();
  tray_.uID = ids::kTrayIconId;
  tray_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  tray_.uCallbackMessage = ids::kTrayMessage;
  tray_.hIcon = icon_.get();
  std::wstring tip = Wide(strings::kTrayTip);
  tip.copy(tray_.szTip, std::size(tray_.szTip) - 1);
  // Without a task bar (the lock screen is the session's shell) the program
  // has no icon, and nothing else opens the remaining-time window: it opens
  // by itself once, when the program has started.
  if (!Shell_NotifyIconW(NIM_ADD, &tray_) && !tray_icon_added_) {
    PostMessageW(hwnd(), kOpenRemainingTime, 0, 0);
  }
  tray_icon_added_ = true;
}

void MainForm::RemoveTrayIcon() {
  if (tray_icon_added_) {
    Shell_NotifyIconW(NIM_DELETE, &tray_);
    tray_icon_added_ = false;
  }
}

void MainForm::Layout() {
  // The status bar, the "Start" button and the log-in panel sit on the
  // primary monitor; until the first showing that is the designed area.
  const ScreenRect& p = primary_;
  SetWindowPos(status_bar_, nullptr, p.left, p.bottom - kStatusHeight, p.width(), kStatusHeight,
               SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(start_button_, HWND_TOP, p.left, p.bottom - kStartHeight - 1, kStartWidth,
               kStartHeight, SWP_NOACTIVATE);
  SetWindowPos(password_panel_.hwnd(), nullptr, p.left + 8, p.top + 8, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(hwnd(), nullptr, TRUE);
}

void MainForm::FitToScreen() {
  const CoverLayout cover = CurrentCover();
  monitors_ = cover.monitors;
  primary_ = cover.primary;
  SetWindowPos(hwnd(), nullptr, cover.window.left, cover.window.top, cover.window.width(),
               cover.window.height(), SWP_NOZORDER | SWP_NOACTIVATE);
  shown_before_ = true;
  Layout();
}

void MainForm::Paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd(), &ps);
  if (wallpaper_) {
    BITMAP info{};
    GetObjectW(wallpaper_.get(), sizeof info, &info);
    ScopedMemoryDc source(CreateCompatibleDC(dc));
    HGDIOBJ old = SelectObject(source.get(), wallpaper_.get());
    SetStretchBltMode(dc, HALFTONE);
    // The picture on every monitor; on the primary one above the status bar.
    for (const ScreenRect& m : monitors_) {
      const int bottom = m == primary_ ? m.bottom - kStatusHeight : m.bottom;
      StretchBlt(dc, m.left, m.top, m.width(), bottom - m.top, source.get(), 0, 0, info.bmWidth,
                 info.bmHeight, SRCCOPY);
    }
    SelectObject(source.get(), old);
  }
  EndPaint(hwnd(), &ps);
}

void MainForm::DrawStartButton(const DRAWITEMSTRUCT& item) {
  RECT r = item.rcItem;
  DrawFrameControl(item.hDC, &r, DFC_BUTTON,
                   DFCS_BUTTONPUSH | ((item.itemState & ODS_SELECTED) ? DFCS_PUSHED : 0));
  // The small picture: four coloured squares.
  const COLORREF colours[4] = {RGB(255, 0, 0), RGB(0, 128, 0), RGB(0, 0, 255), RGB(255, 255, 0)};
  for (int i = 0; i < 4; ++i) {
    ScopedBrush brush(CreateSolidBrush(colours[i]));
    RECT square{5 + (i % 2) * 6, 6 + (i / 2) * 6, 10 + (i % 2) * 6, 11 + (i / 2) * 6};
    FillRect(item.hDC, &square, brush.get());
  }
  RECT text = r;
  text.left += 19;
  SetBkMode(item.hDC, TRANSPARENT);
  HGDIOBJ old = SelectObject(item.hDC, bold_font_.get());
  DrawTextW(item.hDC, Wide(strings::kStartButton).c_str(), -1, &text,
            DT_SINGLELINE | DT_VCENTER | DT_LEFT);
  SelectObject(item.hDC, old);
}

void MainForm::TrayIconMessage(LPARAM mouse_message) {
  POINT cursor{};
  GetCursorPos(&cursor);
  if (mouse_message == WM_LBUTTONUP) {
    screen_->remaining_time().Toggle();
  } else if (mouse_message == WM_RBUTTONUP) {
    SetForegroundWindow(hwnd());
    application_.ProcessPendingMessages();
    TrackPopupMenu(popup_left_.get(), TPM_LEFTALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0,
                   hwnd(), nullptr);
  }
  PostMessageW(hwnd(), WM_NULL, 0, 0);
}

void MainForm::Command(int id, int code) {
  switch (id) {
    case ids::mnrestTime:
      screen_->remaining_time().Toggle();
      break;
    case ids::mnLock:
    case ids::mnStatusLock:
      screen_->Lock();
      break;
    case ids::mnProxy:
      screen_->ToggleProxy();
      break;
    case ids::mnReboot:
    case ids::mnStatusReboot:
      screen_->Reboot();
      break;
    case ids::mnShutDown:
    case ids::mnStatusShutDown:
      screen_->ShutDown();
      break;
    case ids::btLogOff:
      screen_->LogOff();
      break;
    case ids::btOK:
      if (code == BN_CLICKED) {
        std::string user = GetText(user_edit_);
        std::string password = GetText(password_edit_);
        screen_->LoginInput();
        screen_->Login(user, password);
      }
      break;
    case ids::edUser:
    case ids::edPassword:
      if (code == EN_CHANGE) {
        screen_->LoginInput();
      }
      break;
    default:
      // btStartD, "Mixer", "Зарежда Интернет" and "Зарежда Игри" do nothing.
      break;
  }
}

LRESULT MainForm::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == ids::kTrayMessage) {
    TrayIconMessage(lparam);
    return 0;
  }
  if (lock_order_ != 0 && message == lock_order_) {
    screen_->LockAtServiceWord();
    return 0;
  }
  if (taskbar_created_ != 0 && message == taskbar_created_) {
    // Explorer started again: its new task bar knows no icons yet.
    AddTrayIcon();
    return 0;
  }
  switch (message) {
    case WM_COMMAND:
      Command(LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (header->hwndFrom == status_bar_ && header->code == NM_DBLCLK) {
        screen_->OpenLoginPanel();
      } else if (header->hwndFrom == status_bar_ && header->code == NM_RCLICK) {
        POINT cursor{};
        GetCursorPos(&cursor);
        TrackPopupMenu(popup_right_.get(), TPM_LEFTALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0,
                       hwnd(), nullptr);
      }
      return 0;
    }
    case WM_LBUTTONDBLCLK:
      // A double click on the wallpaper (the status bar has its own).
      screen_->OpenLoginPanel();
      return 0;
    case WM_ACTIVATE:
      // Another program's window took the focus from the locked screen.
      if (held_ && LOWORD(wparam) == WA_INACTIVE &&
          !OfThisProcess(reinterpret_cast<HWND>(lparam))) {
        PostMessageW(hwnd(), kTakeFocusBack, 0, 0);
      }
      break;
    case kTakeFocusBack:
      TakeFocusBack();
      return 0;
    case kOpenRemainingTime:
      if (!screen_->remaining_time().checked()) {
        screen_->remaining_time().Toggle();
      }
      return 0;
    case WM_DISPLAYCHANGE:
      // A monitor came, went or changed its size: cover them all again, now
      // or at the next showing.
      if (Visible()) {
        FitToScreen();
      } else {
        shown_before_ = false;
      }
      return 0;
    case WM_SYSCOMMAND: {
      // The low four bits are the system's own: Alt+F4 and the window menu
      // can't close, minimise or restore the window, whatever they carry.
      const WPARAM command = wparam & 0xFFF0;
      if (command == SC_MINIMIZE || command == SC_CLOSE || command == SC_RESTORE) {
        return 0;
      }
      break;
    }
    case WM_CLOSE:
      // Another program's close does not end the locked screen; the
      // program's own exit paths (the log-off) always do.
      if (!closing_ && !screen_->CloseAllowed()) {
        return 0;
      }
      RemoveTrayIcon();
      Destroy();
      return 0;
    case WM_QUERYENDSESSION:
      session_ending_ = true;
      break;  // the system's answer: it may end
    case WM_ENDSESSION:
      // Only the system's own end of the Windows session, which asked
      // first and is under way, ends the program (Windows ends it after
      // this returns); another program's changes nothing.
      if (wparam == FALSE) {
        session_ending_ = false;
      } else if (session_ending_ && GetSystemMetrics(SM_SHUTTINGDOWN) != 0) {
        RemoveTrayIcon();
      } else {
        Window::ForeignMessageDropped("WM_ENDSESSION");
      }
      return 0;
    case WM_DESTROY:
      // Only the program's own destruction of the window gets here.
      application_.Quit(0);
      return 0;
    case WM_TIMER:
      if (wparam == kLoginPanelTimer) {
        screen_->LoginPanelTimedOut();
      } else if (wparam == kHoldTimer) {
        TakeFocusBack();
      }
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_ERASEBKGND: {
      RECT client;
      GetClientRect(hwnd(), &client);
      FillRect(reinterpret_cast<HDC>(wparam), &client, teal_.get());
      return 1;
    }
    case WM_PAINT:
      Paint();
      return 0;
    case WM_DRAWITEM:
      if (wparam == ids::btStartD) {
        DrawStartButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return Window::OnMessage(message, wparam, lparam);
}

bool MainForm::Visible() {
  return IsWindowVisible(hwnd()) != FALSE;
}

void MainForm::Show() {
  if (!shown_before_) {
    // The window starts maximised: its first showing (and the first after
    // the monitors changed) covers the screen.
    FitToScreen();
  }
  ShowWindow(hwnd(), SW_SHOW);
}

void MainForm::Hide() {
  ShowWindow(hwnd(), SW_HIDE);
}

void MainForm::CoverScreen() {
  FitToScreen();
  ShowWindow(hwnd(), SW_SHOW);
  SetForegroundWindow(hwnd());
  BringWindowToTop(hwnd());
  SetFocus(hwnd());
}

bool MainForm::HoldScreen(bool held) {
  held_ = held;
  if (!held) {
    KillTimer(hwnd(), kHoldTimer);
    keyboard_filter_.Remove();
    SetWindowPos(hwnd(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return true;
  }
  SetWindowPos(hwnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetTimer(hwnd(), kHoldTimer, kHoldMs, nullptr);
  return keyboard_filter_.Renew();
}

void MainForm::TakeFocusBack() {
  if (!held_) {
    return;
  }
  // Shown again and fitted to the monitors again, should another program
  // have hidden, minimised, moved or sized it.
  if (!IsWindowVisible(hwnd()) || IsIconic(hwnd())) {
    ShowWindow(hwnd(), IsIconic(hwnd()) ? SW_RESTORE : SW_SHOW);
  }
  RECT now{};
  GetWindowRect(hwnd(), &now);
  const ScreenRect cover = CurrentCover().window;
  if (FromRect(now) != cover) {
    FitToScreen();
  }
  // Above any window that made itself topmost since, with a fresh keyboard
  // filter in case Windows dropped the last one.
  SetWindowPos(hwnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  static_cast<void>(keyboard_filter_.Renew());
  if (!OfThisProcess(GetForegroundWindow())) {
    SetForegroundWindow(hwnd());
    SetFocus(IsWindowVisible(password_panel_.hwnd()) ? user_edit_ : hwnd());
  }
}

void MainForm::HideApplicationWindow() {
  ShowWindow(application_.hwnd(), SW_HIDE);
}

void MainForm::ShowUnlockedControls(bool shown) {
  ShowWindow(start_button_, shown ? SW_SHOW : SW_HIDE);
  remainder_shown_ = shown;
}

void MainForm::SetStatusText(const std::string& text) {
  std::wstring wide = Widen(text);
  SendMessageW(status_bar_, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(wide.c_str()));
}

void MainForm::LoadWallpaper(const std::string& path) {
  if (path.empty()) {
    return;
  }
  auto bitmap = static_cast<HBITMAP>(
      LoadImageW(nullptr, Widen(path).c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  if (bitmap == nullptr) {
    return;  // missing or not a bitmap: the picture stays as it was
  }
  wallpaper_.reset(bitmap);
  InvalidateRect(hwnd(), nullptr, TRUE);
}

void MainForm::SetProxyCaption(const std::string& text) {
  ModifyMenuW(popup_left_.get(), ids::mnProxy, MF_BYCOMMAND | MF_STRING, ids::mnProxy,
              Widen(text).c_str());
}

void MainForm::SetRestTimeChecked(bool checked) {
  CheckMenuItem(popup_left_.get(), ids::mnrestTime,
                MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void MainForm::ShowLoginPanel() {
  ShowWindow(password_panel_.hwnd(), SW_SHOW);
  ClearLoginEdits();
  SendMessageW(user_edit_, EM_SETSEL, 0, -1);
  SetFocus(user_edit_);
}

void MainForm::HideLoginPanel() {
  ShowWindow(password_panel_.hwnd(), SW_HIDE);
}

void MainForm::ClearLoginEdits() {
  SetWindowTextW(user_edit_, L"");
  SetWindowTextW(password_edit_, L"");
}

void MainForm::StartLoginPanelTimer(int32_t seconds) {
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000;
  SetTimer(hwnd(), kLoginPanelTimer,
           static_cast<UINT>(ms < USER_TIMER_MAXIMUM ? ms : USER_TIMER_MAXIMUM), nullptr);
}

void MainForm::StopLoginPanelTimer() {
  KillTimer(hwnd(), kLoginPanelTimer);
}

void MainForm::ShowError(const std::string& text) {
  HWND owner = GetActiveWindow();
  MessageBoxW(owner != nullptr ? owner : hwnd(), Widen(text).c_str(), nullptr,
              MB_OK | MB_ICONERROR);
}

void MainForm::Close() {
  closing_ = true;
  SendMessageW(hwnd(), WM_CLOSE, 0, 0);
}

void MainForm::MonitorOn() {
  SendMessageW(application_.hwnd(), WM_SYSCOMMAND, SC_MONITORPOWER, static_cast<LPARAM>(-1));
}

}  // namespace zalvo::lockscreen::win32
