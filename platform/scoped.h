// One RAII wrapper for every kind of system handle: a Windows HANDLE, HKEY or
// SC_HANDLE, a POSIX descriptor, a socket. The template arguments name the
// close call and the policy that tells which values hold a handle: the
// default holds every value but the type's zero (nullptr); NoneIs names
// another one; a kind whose calls answer "no handle" in two ways (Windows'
// nullptr and INVALID_HANDLE_VALUE) has a policy of its own (win32/scoped.h),
// so that a caller holds what the call gave and asks the holder.
#pragma once

#include <utility>

namespace zalvo::platform {

template <typename T>
struct ZeroIsNone {
  static constexpr T None() { return T{}; }
  static constexpr bool Holds(T value) { return value != T{}; }
};

template <typename T, T kNone>
struct NoneIs {
  static constexpr T None() { return kNone; }
  static constexpr bool Holds(T value) { return value != kNone; }
};

template <typename T, auto Close, typename Policy = ZeroIsNone<T>>
class Scoped {
 public:
  Scoped() = default;
  explicit Scoped(T value) : value_(value) {}
  ~Scoped() { reset(); }
  Scoped(Scoped&& other) noexcept : value_(std::exchange(other.value_, Policy::None())) {}
  Scoped& operator=(Scoped&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.value_, Policy::None()));
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
  explicit operator bool() const { return Policy::Holds(value_); }
  // Closes the handle held (if any) and holds the value.
  void reset(T value = Policy::None()) {
    if (Policy::Holds(value_)) {
      Close(value_);
    }
    value_ = value;
  }
  // Gives the handle up without closing it.
  [[nodiscard]] T release() { return std::exchange(value_, Policy::None()); }

 private:
  T value_ = Policy::None();
};

}  // namespace zalvo::platform
