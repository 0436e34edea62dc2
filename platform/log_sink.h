// Where a program's lines of what it does go: the agent's console or log
// file, the lock screen's log, the simulated station's echo. One line a
// call, in the program's text (Windows-1251; the simulated station's journal
// echoes UTF-8). An empty sink takes every line and keeps none, so
// that code which logs never asks whether anybody listens.
#pragma once

#include <concepts>
#include <functional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace zalvo::platform {

class LogSink {
 public:
  LogSink() = default;
  // Any callable that takes a line: a lambda, a std::function.
  template <typename Write>
  requires(!std::same_as<std::remove_cvref_t<Write>, LogSink> &&
           std::invocable<Write&, std::string_view>)
      LogSink(Write write)  // NOLINT(google-explicit-constructor): a sink is written as its lambda
      : write_(std::move(write)) {}

  void operator()(std::string_view line) const {
    if (write_) {
      write_(line);
    }
  }

  // Whether the lines go anywhere: for a line that costs something to make.
  explicit operator bool() const { return static_cast<bool>(write_); }

 private:
  std::function<void(std::string_view)> write_;
};

}  // namespace zalvo::platform
