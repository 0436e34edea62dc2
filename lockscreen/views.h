// What the lock screen's logic needs its windows to do. The Win32 program
// implements these with its real windows; the tests with recording fakes.
// Texts are Windows-1251.
#pragma once

#include <cstdint>
#include <string>

namespace zalvo::lockscreen {

// The main window TMainForm and the application's hidden window.
class MainView {
 public:
  virtual ~MainView() = default;

  virtual bool Visible() = 0;
  // Shows the window as it is (unlocking with Hide off).
  virtual void Show() = 0;
  virtual void Hide() = 0;
  // Sizes the window to the whole virtual screen (every monitor), shows it,
  // brings the application to the front and gives the window the keyboard
  // focus.
  virtual void CoverScreen() = 0;
  // While held (the station locked) the window stays above every other
  // window, is fitted again when the monitors change, takes the keyboard
  // focus back from any other program's window, and a low-level keyboard
  // filter swallows the task-switch keys (SwallowWhileLocked); released,
  // none of it is in force. False when the keyboard filter could not be
  // installed.
  [[nodiscard]] virtual bool HoldScreen(bool held) = 0;
  // Hides the application's top-level window, so that no task-bar button
  // shows.
  virtual void HideApplicationWindow() = 0;
  // btStartD and lbRemainder: shown when unlocked, hidden when locked.
  virtual void ShowUnlockedControls(bool shown) = 0;
  // The text of status panel 1.
  virtual void SetStatusText(const std::string& text) = 0;
  // Loads a bitmap file into the Wallpaper image; a file that can't be
  // loaded leaves the picture empty, silently.
  virtual void LoadWallpaper(const std::string& path) = 0;
  // The caption of the menu item mnProxy.
  virtual void SetProxyCaption(const std::string& text) = 0;
  // The check mark of the menu item mnrestTime.
  virtual void SetRestTimeChecked(bool checked) = 0;

  // The log-in panel: shown with both edits emptied and the focus on the
  // user name; hidden; its edits emptied; the timer that hides it after
  // that many seconds without input (restarted by each call).
  virtual void ShowLoginPanel() = 0;
  virtual void HideLoginPanel() = 0;
  virtual void ClearLoginEdits() = 0;
  virtual void StartLoginPanelTimer(int32_t seconds) = 0;
  virtual void StopLoginPanelTimer() = 0;

  // The program's general error message, with a failure's own text.
  virtual void ShowError(const std::string& text) = 0;
  // Closes the main window; its close query removes the notification icon
  // and the program ends.
  virtual void Close() = 0;

  // The monitor-power system command "on"; not checked.
  virtual void MonitorOn() = 0;
};

// The settings dialog TPasswordForm.
class DialogView {
 public:
  virtual ~DialogView() = default;
  virtual bool Visible() = 0;
  // Gives the dialog that size (also its largest), shows it modally and
  // returns when it has been closed.
  virtual void ShowModal(int width, int height) = 0;
  // Hides the dialog at once (its modal showing then returns); nothing is
  // saved.
  virtual void Close() = 0;
  // Shows the warning where the administrator sees it, without waiting for
  // an answer.
  virtual void Warn(const std::string& text) = 0;
};

// The remaining-time window TRestTimeForm.
class RestTimeView {
 public:
  virtual ~RestTimeView() = default;
  virtual bool Visible() = 0;
  // Creates the window on first use, then shows it.
  virtual void Show() = 0;
  virtual void SetLabel(const std::string& text) = 0;
  // The one-second tick.
  virtual void StartTimer() = 0;
  virtual void StopTimer() = 0;
};

// The melody of the remaining-time window.
class Melody {
 public:
  virtual ~Melody() = default;
  virtual bool Playing() = 0;
  // Plays the file from its beginning; a file that can't be opened or played
  // throws PlatformError.
  virtual void Play(const std::string& path) = 0;
  virtual void Stop() = 0;
};

}  // namespace zalvo::lockscreen
