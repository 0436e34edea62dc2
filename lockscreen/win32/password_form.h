// TPasswordForm "Въведете Име и Парола": the administrator's settings
// dialog. Its controls are created from the layout table and show the
// dialog model; every change the administrator makes goes back into the
// model, and every change the model makes (the load, the guard, the lists)
// comes back to the controls. Shown modally by the local log-in.
#pragma once

#include <array>

#include "lockscreen/lock_screen.h"
#include "lockscreen/views.h"
#include "lockscreen/win32/application.h"
#include "lockscreen/win32/ui.h"
#include "lockscreen/win32/window.h"

namespace zalvo::lockscreen::win32 {

class PasswordForm final : public Window, public DialogView {
 public:
  explicit PasswordForm(Application& application) : application_(application) {}
  ~PasswordForm() override;

  // Creates the (hidden) dialog with every control, showing the model.
  void Create(LockScreen& screen);

  // DialogView.
  bool Visible() override;
  void ShowModal(int width, int height) override;
  void Close() override;
  // In the caption, with a flash and the warning sound.
  void Warn(const std::string& text) override;

 protected:
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  void CreateControls();
  void Push(Ctl c);
  void Command(int id, int code);
  void SelectPage(int index);

  Application& application_;
  LockScreen* screen_ = nullptr;
  ScopedFont font_;
  HWND tabs_ = nullptr;
  std::array<Panel, 4> pages_;
  std::array<HWND, kCtlCount> controls_{};
  bool modal_ = false;
  bool pushing_ = false;
  int max_width_ = 0;
  int max_height_ = 0;
};

}  // namespace zalvo::lockscreen::win32
