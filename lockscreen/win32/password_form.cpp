#include "lockscreen/win32/password_form.h"

#include <commctrl.h>

#include <vector>

#include "lockscreen/strings.h"
#include "lockscreen/win32/ids.h"
#include "platform/win32/wide.h"

namespace zalvo::lockscreen::win32 {
namespace {

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;

struct ControlStyle {
  const wchar_t* window_class;
  DWORD style;
  DWORD ex_style;
};

ControlStyle StyleOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::kButton:
      return {L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 0};
    case ControlKind::kCheckBox:
      return {L"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX, 0};
    case ControlKind::kLabel:
      return {L"STATIC", SS_LEFT, 0};
    case ControlKind::kEdit:
      return {L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case ControlKind::kPasswordEdit:
      return {L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, WS_EX_CLIENTEDGE};
    case ControlKind::kListBox:
    case ControlKind::kSortedListBox:
      // The model keeps lstOpenWindows sorted; the control shows its order.
      return {L"LISTBOX", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
              WS_EX_CLIENTEDGE};
  }
  return {L"STATIC", 0, 0};
}

struct ThreadWindows {
  HWND except;
  std::vector<HWND> disabled;
};

BOOL CALLBACK DisableWindow(HWND hwnd, LPARAM param) {
  auto* windows = reinterpret_cast<ThreadWindows*>(param);
  if (hwnd != windows->except && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
    EnableWindow(hwnd, FALSE);
    windows->disabled.push_back(hwnd);
  }
  return TRUE;
}

}  // namespace

PasswordForm::~PasswordForm() {
  Destroy();
}

void PasswordForm::Create(LockScreen& screen) {
  screen_ = &screen;
  font_ = MakeControlFont();
  RegisterClassOnce(ids::kDialogClass, 0, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  const DialogGeometry& g = kDialogGeometry;
  RECT frame{0, 0, g.client_width, g.client_height};
  AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  CreateWindowOf(kExStyle, ids::kDialogClass, Wide(strings::kDialogCaption), kStyle, g.left, g.top,
                 frame.right - frame.left, frame.bottom - frame.top, application_.hwnd());

  tabs_ = CreateControl(hwnd(), WC_TABCONTROLW, L"", WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, 0,
                        g.pages_left, g.pages_top, g.pages_width, g.pages_height, ids::PageControl,
                        font_.get());
  const auto& captions = PageCaptions();
  for (size_t i = 0; i < captions.size(); ++i) {
    std::wstring caption = Wide(captions[i]);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(tabs_, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
  RECT display{0, 0, g.pages_width, g.pages_height};
  SendMessageW(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
  for (size_t i = 0; i < pages_.size(); ++i) {
    pages_[i].Create(hwnd(), ids::kFirstPage + static_cast<int>(i), g.pages_left + display.left,
                     g.pages_top + display.top, display.right - display.left,
                     display.bottom - display.top, false, i == 0);
    SetWindowPos(pages_[i].hwnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  }
  CreateControls();
  application_.AddDialogContainer(hwnd());

  DialogModel& model = screen_->dialog();
  for (const ControlLayout& layout : DialogControls()) {
    Push(layout.id);
  }
  model.SetObserver([this](Ctl c) { Push(c); });
}

void PasswordForm::CreateControls() {
  for (const ControlLayout& layout : DialogControls()) {
    HWND parent = layout.page == 0 ? hwnd() : pages_[layout.page - 1].hwnd();
    ControlStyle style = StyleOf(layout.kind);
    HWND control = CreateControl(parent, style.window_class, Wide(layout.caption),
                                 style.style | WS_CLIPSIBLINGS | (layout.hidden ? 0 : WS_VISIBLE),
                                 style.ex_style, layout.left, layout.top, layout.width,
                                 layout.height, ids::ControlId(layout.id), font_.get());
    if (layout.max_length > 0) {
      SendMessageW(control, EM_LIMITTEXT, layout.max_length, 0);
    }
    if (layout.kind == ControlKind::kPasswordEdit) {
      SendMessageW(control, EM_SETPASSWORDCHAR, L'*', 0);
    }
    controls_[Index(layout.id)] = control;
  }
  // The two "Close" buttons overlap the end of cbRestrictRun's line.
  for (Ctl button : {Ctl::btCloseWindow, Ctl::btEndProcess}) {
    SetWindowPos(controls_[Index(button)], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  }
}

void PasswordForm::Push(Ctl c) {
  HWND control = controls_[Index(c)];
  if (control == nullptr) {
    return;
  }
  const DialogModel& model = screen_->dialog();
  pushing_ = true;
  switch (LayoutOf(c).kind) {
    case ControlKind::kCheckBox:
      SendMessageW(control, BM_SETCHECK, model.Checked(c) ? BST_CHECKED : BST_UNCHECKED, 0);
      break;
    case ControlKind::kEdit:
    case ControlKind::kPasswordEdit:
      if (GetText(control) != model.Text(c)) {
        SetText(control, model.Text(c));
      }
      break;
    case ControlKind::kListBox:
    case ControlKind::kSortedListBox:
      SendMessageW(control, LB_RESETCONTENT, 0, 0);
      for (const std::string& item : model.Items(c)) {
        std::wstring wide = zalvo::win32::Widen(item);
        SendMessageW(control, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
      }
      break;
    case ControlKind::kButton:
    case ControlKind::kLabel:
      break;
  }
  pushing_ = false;
}

void PasswordForm::Command(int id, int code) {
  if (pushing_ || id < ids::ControlId(Ctl::btSave) || id > ids::ControlId(Ctl::cbSNMP)) {
    // Enter and Escape (IDOK, IDCANCEL) neither save nor close the dialog.
    return;
  }
  const Ctl c = static_cast<Ctl>(id - ids::ControlId(Ctl::btSave));
  HWND control = controls_[Index(c)];
  DialogModel& model = screen_->dialog();
  switch (LayoutOf(c).kind) {
    case ControlKind::kCheckBox:
      if (code == BN_CLICKED) {
        model.SetChecked(c, SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED);
      }
      return;
    case ControlKind::kEdit:
    case ControlKind::kPasswordEdit:
      if (code == EN_CHANGE) {
        model.SetText(c, GetText(control));
      }
      return;
    case ControlKind::kSortedListBox:
      if (code == LBN_SELCHANGE) {
        LRESULT selected = SendMessageW(control, LB_GETCURSEL, 0, 0);
        if (selected != LB_ERR) {
          screen_->ChooseWindow(static_cast<size_t>(selected));
        }
      }
      return;
    case ControlKind::kButton:
      if (code != BN_CLICKED) {
        return;
      }
      break;
    case ControlKind::kListBox:
    case ControlKind::kLabel:
      return;
  }
  switch (c) {
    case Ctl::btSave:
      screen_->SaveSettings();
      break;
    case Ctl::btRelease:
      screen_->ReleaseStation();
      break;
    case Ctl::btCloseWindow:
      screen_->CloseChosenWindow();
      break;
    case Ctl::btEndProcess:
      screen_->EndChosenProcess();
      break;
    case Ctl::btAddProgram:
      screen_->AddProgram();
      break;
    default:
      break;
  }
}

void PasswordForm::SelectPage(int index) {
  for (size_t i = 0; i < pages_.size(); ++i) {
    ShowWindow(pages_[i].hwnd(), static_cast<int>(i) == index ? SW_SHOW : SW_HIDE);
  }
}

LRESULT PasswordForm::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      Command(LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (header->hwndFrom == tabs_ && header->code == TCN_SELCHANGE) {
        SelectPage(static_cast<int>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0)));
      }
      return 0;
    }
    case WM_GETMINMAXINFO:
      if (max_width_ > 0) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
        info->ptMaxTrackSize = {max_width_, max_height_};
        info->ptMaxSize = {max_width_, max_height_};
      }
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    default:
      break;
  }
  return Window::OnMessage(message, wparam, lparam);
}

bool PasswordForm::Visible() {
  return IsWindowVisible(hwnd()) != FALSE;
}

void PasswordForm::ShowModal(int width, int height) {
  max_width_ = width;
  max_height_ = height;
  SetWindowPos(hwnd(), nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // The lock screen's other windows take no input while the dialog is open.
  ThreadWindows others{hwnd(), {}};
  EnumThreadWindows(GetCurrentThreadId(), DisableWindow, reinterpret_cast<LPARAM>(&others));
  SetWindowTextW(hwnd(), Wide(strings::kDialogCaption).c_str());  // a warning's gone
  ShowWindow(hwnd(), SW_SHOW);
  SetForegroundWindow(hwnd());
  modal_ = true;
  application_.RunWhile([this] { return modal_; });
  modal_ = false;
  for (HWND window : others.disabled) {
    if (IsWindow(window)) {
      EnableWindow(window, TRUE);
    }
  }
  ShowWindow(hwnd(), SW_HIDE);
}

void PasswordForm::Close() {
  // Hidden at once, so that a lock right after it finds it closed.
  ShowWindow(hwnd(), SW_HIDE);
  if (modal_) {
    // The modal loop ends. A WM_CLOSE sent from another thread is handled
    // inside GetMessage, so the loop is woken to see it.
    modal_ = false;
    PostMessageW(hwnd(), WM_NULL, 0, 0);
  }
}

void PasswordForm::Warn(const std::string& text) {
  SetText(hwnd(), text);
  FLASHWINFO flash{sizeof flash, hwnd(), FLASHW_ALL | FLASHW_TIMERNOFG, 5, 0};
  FlashWindowEx(&flash);
  MessageBeep(MB_ICONEXCLAMATION);
}

}  // namespace zalvo::lockscreen::win32
