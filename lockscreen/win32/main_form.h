// TMainForm "Работна област": the borderless teal window that covers every
// monitor while the station is locked, with the wallpaper, and on the
// primary monitor the status bar, the "Start" button and the log-in panel;
// the notification icon with its two menus; the filter of system commands
// and of closes and ends of the Windows session from other programs; the
// hold of the locked screen (shown, fitted and topmost again every second,
// the focus taken back, the keyboard filter); the service's lock order. It
// shows what the lock screen's logic decides and passes its events to it.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <vector>

#include "lockscreen/cover.h"
#include "lockscreen/lock_screen.h"
#include "lockscreen/views.h"
#include "lockscreen/win32/application.h"
#include "lockscreen/win32/keyboard_filter.h"
#include "lockscreen/win32/ui.h"
#include "lockscreen/win32/window.h"

namespace zalvo::lockscreen::win32 {

class MainForm final : public Window, public MainView {
 public:
  explicit MainForm(Application& application) : application_(application) {}
  ~MainForm() override;

  // FormCreate: the window and its controls (hidden), the status panels'
  // widths and the notification icon.
  void Create(LockScreen& screen);

  // MainView.
  bool Visible() override;
  void Show() override;
  void Hide() override;
  void CoverScreen() override;
  bool HoldScreen(bool held) override;
  void HideApplicationWindow() override;
  void ShowUnlockedControls(bool shown) override;
  void SetStatusText(const std::string& text) override;
  void LoadWallpaper(const std::string& path) override;
  void SetProxyCaption(const std::string& text) override;
  void SetRestTimeChecked(bool checked) override;
  void ShowLoginPanel() override;
  void HideLoginPanel() override;
  void ClearLoginEdits() override;
  void StartLoginPanelTimer(int32_t seconds) override;
  void StopLoginPanelTimer() override;
  void ShowError(const std::string& text) override;
  void Close() override;
  void MonitorOn() override;

 protected:
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  void CreateMenus();
  void AddTrayIcon();
  void RemoveTrayIcon();
  void TrayIconMessage(LPARAM mouse_message);
  void Command(int id, int code);
  void Layout();
  void Paint();
  void DrawStartButton(const DRAWITEMSTRUCT& item);
  void FitToScreen();
  void TakeFocusBack();

  Application& application_;
  LockScreen* screen_ = nullptr;
  UINT taskbar_created_ = 0;
  // The agent's service's lock order (a registered message).
  UINT lock_order_ = 0;
  // The program's own exit path closes the window, locked or not.
  bool closing_ = false;
  // The system asked whether the Windows session may end.
  bool session_ending_ = false;
  bool shown_before_ = false;
  bool tray_icon_added_ = false;
  bool held_ = false;
  KeyboardFilter keyboard_filter_;
  // Where the monitors, and the primary one, are in the client area.
  std::vector<ScreenRect> monitors_;
  ScreenRect primary_;

  ScopedFont font_;
  ScopedFont bold_font_;
  ScopedBrush teal_;
  ScopedBitmap wallpaper_;
  ScopedIcon icon_;
  ScopedMenu popup_left_;
  ScopedMenu popup_right_;
  NOTIFYICONDATAW tray_{};

  HWND status_bar_ = nullptr;
  HWND start_button_ = nullptr;
  Panel password_panel_;
  HWND user_edit_ = nullptr;
  HWND password_edit_ = nullptr;
  // lbRemainder, the label above the status bar, never has text; only its
  // shown state follows the lock.
  bool remainder_shown_ = true;
};

}  // namespace zalvo::lockscreen::win32
