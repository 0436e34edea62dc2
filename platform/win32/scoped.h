// One RAII wrapper for every kind of Win32 handle: the traits name the
// invalid value and the close call.
#pragma once

#include <windows.h>

#include <utility>

namespace zalvo::win32 {

template <typename T, auto Close, auto Invalid = T{}>
class Scoped {
 public:
  Scoped() = default;
  explicit Scoped(T value) : value_(value) {}
  ~Scoped() { reset(); }
  Scoped(Scoped&& other) noexcept : value_(std::exchange(other.value_, Invalid)) {}
  Scoped& operator=(Scoped&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.value_, Invalid));
    }
    return *this;
  }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

  T get() const { return value_; }
  T* put() {
    reset();
    return &value_;
  }
  explicit operator bool() const { return value_ != Invalid; }
  void reset(T value = Invalid) {
    if (value_ != Invalid) {
      Close(value_);
    }
    value_ = value;
  }

 private:
  T value_ = Invalid;
};

inline void CloseHandleValue(HANDLE h) {
  ::CloseHandle(h);
}
inline void CloseKey(HKEY k) {
  ::RegCloseKey(k);
}
inline void CloseService(SC_HANDLE s) {
  ::CloseServiceHandle(s);
}

using ScopedHandle = Scoped<HANDLE, CloseHandleValue>;
using ScopedKey = Scoped<HKEY, CloseKey>;
using ScopedServiceHandle = Scoped<SC_HANDLE, CloseService>;

}  // namespace zalvo::win32
