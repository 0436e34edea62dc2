// One RAII wrapper for every kind of system handle: a Windows HANDLE, HKEY or
// SC_HANDLE, a POSIX descriptor, a socket. The template arguments name the
// close call and the value that means "no handle".
#pragma once

#include <utility>

namespace zalvo::platform {

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
  // Closes the handle held (if any) and holds the value.
  void reset(T value = Invalid) {
    if (value_ != Invalid) {
      Close(value_);
    }
    value_ = value;
  }
  // Gives the handle up without closing it.
  [[nodiscard]] T release() { return std::exchange(value_, Invalid); }

 private:
  T value_ = Invalid;
};

}  // namespace zalvo::platform
