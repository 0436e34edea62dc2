#include "platform/switches.h"

namespace zalvo::platform {

namespace {

std::wstring Capitals(std::wstring_view s) {
  std::wstring out(s);
  for (wchar_t& c : out) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - L'a' + L'A');
    }
  }
  return out;
}

}  // namespace

Switches::Switches(const std::vector<std::wstring>& args) {
  for (const std::wstring& arg : args) {
    if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) {
      continue;
    }
    size_t eq = arg.find(L'=');
    if (eq == std::wstring::npos) {
      switches_.push_back({Capitals(std::wstring_view(arg).substr(1)), std::nullopt});
    } else {
      switches_.push_back({Capitals(std::wstring_view(arg).substr(1, eq - 1)), arg.substr(eq + 1)});
    }
  }
}

bool Switches::Has(std::wstring_view word) const {
  for (const Switch& s : switches_) {
    if (!s.value && s.word == Capitals(word)) {
      return true;
    }
  }
  return false;
}

std::optional<std::wstring> Switches::ValueOf(std::wstring_view word) const {
  for (const Switch& s : switches_) {
    if (s.value && s.word == Capitals(word)) {
      return s.value;
    }
  }
  return std::nullopt;
}

}  // namespace zalvo::platform
