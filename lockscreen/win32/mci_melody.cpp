#include "lockscreen/win32/mci_melody.h"

#include <windows.h>

#include <mmsystem.h>

#include "platform/error.h"
#include "platform/win32/wide.h"

namespace zalvo::lockscreen::win32 {
namespace {

constexpr wchar_t kAlias[] = L"zalvo_melody";

// Sends an MCI command; a failure throws PlatformError with MCI's own text.
void Send(const std::wstring& command) {
  MCIERROR error = mciSendStringW(command.c_str(), nullptr, 0, nullptr);
  if (error != 0) {
    wchar_t text[256] = {};
    if (!mciGetErrorStringW(error, text, static_cast<UINT>(std::size(text)))) {
      text[0] = L'\0';
    }
    throw platform::PlatformError(zalvo::win32::Narrow(text), platform::ErrorKind::kOther,
                                  static_cast<int64_t>(error));
  }
}

}  // namespace

MciMelody::~MciMelody() {
  Stop();
}

bool MciMelody::Playing() {
  if (!open_) {
    return false;
  }
  wchar_t mode[64] = {};
  std::wstring command = std::wstring(L"status ") + kAlias + L" mode";
  if (mciSendStringW(command.c_str(), mode, static_cast<UINT>(std::size(mode)), nullptr) != 0) {
    return false;
  }
  return std::wstring_view(mode) == L"playing";
}

void MciMelody::Play(const std::string& path) {
  // Opened afresh each time, so that it plays from its beginning.
  Stop();
  Send(L"open \"" + zalvo::win32::Widen(path) + L"\" alias " + kAlias);
  open_ = true;
  Send(std::wstring(L"play ") + kAlias);
}

void MciMelody::Stop() {
  if (open_) {
    mciSendStringW((std::wstring(L"close ") + kAlias).c_str(), nullptr, 0, nullptr);
    open_ = false;
  }
}

}  // namespace zalvo::lockscreen::win32
