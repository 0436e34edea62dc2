// TRestTimeForm "Time": the small top-most tool window with the remaining
// session time, created on first use and afterwards only shown and hidden.
#pragma once

#include "lockscreen/lock_screen.h"
#include "lockscreen/views.h"
#include "lockscreen/win32/application.h"
#include "lockscreen/win32/ui.h"
#include "lockscreen/win32/window.h"

namespace zalvo::lockscreen::win32 {

class RestTimeForm final : public Window, public RestTimeView {
 public:
  explicit RestTimeForm(Application& application) : application_(application) {}
  ~RestTimeForm() override;

  void Attach(LockScreen& screen) { screen_ = &screen; }

  // RestTimeView.
  bool Visible() override;
  void Show() override;
  void SetLabel(const std::string& text) override;
  void StartTimer() override;
  void StopTimer() override;

 protected:
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  void CreateOnce();

  Application& application_;
  LockScreen* screen_ = nullptr;
  ScopedFont font_;
  HWND label_ = nullptr;
};

}  // namespace zalvo::lockscreen::win32
