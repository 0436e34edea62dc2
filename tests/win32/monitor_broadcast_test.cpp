// The monitor-power broadcast of the real desktop: posted, so that a hung
// top-level window holds nobody up while responsive windows still get the
// command; switching the monitor on also moves the pointer a pixel and back.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "platform/win32/desktop.h"
#include "platform/win32/scoped.h"

namespace zalvo::win32 {
namespace {

std::atomic<int> g_monitor_commands{0};
std::atomic<LPARAM> g_last_state{0};

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SYSCOMMAND && (wparam & 0xFFF0) == SC_MONITORPOWER) {
    g_monitor_commands += 1;
    g_last_state = lparam;
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

constexpr const wchar_t* kClassName = L"ZalvoBroadcastTest";

void RegisterTestClass() {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = RecordingProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClassName;
  RegisterClassW(&window_class);
}

HWND CreateTestWindow(const wchar_t* caption) {
  return CreateWindowExW(0, kClassName, caption, WS_OVERLAPPED, 0, 0, 100, 50, nullptr, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

struct WindowThread {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool pump = true;
  HWND window = nullptr;
};

DWORD WINAPI RunWindowThread(void* param) {
  auto* t = static_cast<WindowThread*>(param);
  t->window = CreateTestWindow(t->pump ? L"Zalvo responsive" : L"Zalvo hung");
  SetEvent(t->ready);
  if (t->pump) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      DispatchMessageW(&message);
    }
  } else {
    // Handles no message until released.
    WaitForSingleObject(t->release, INFINITE);
  }
  DestroyWindow(t->window);
  return 0;
}

DWORD WINAPI Broadcast(void*) {
  auto desktop = MakeWin32Desktop();
  desktop->BroadcastMonitorPower(platform::kMonitorOff);
  return 0;
}

TEST(MonitorBroadcast, AHungWindowHoldsNothingUpAndTheOthersGetTheCommand) {
  WindowThread responsive;
  WindowThread hung;
  hung.pump = false;
  RegisterTestClass();
  DWORD responsive_id = 0;
  ScopedHandle responsive_thread(
      CreateThread(nullptr, 0, RunWindowThread, &responsive, 0, &responsive_id));
  ScopedHandle hung_thread(CreateThread(nullptr, 0, RunWindowThread, &hung, 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(responsive.ready, 30000), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(hung.ready, 30000), WAIT_OBJECT_0);
  ASSERT_NE(responsive.window, nullptr) << GetLastError();
  ASSERT_NE(hung.window, nullptr);

  // A sent broadcast would wait for the hung window for good; give it far
  // more than it takes before calling it stuck.
  ScopedHandle broadcaster(CreateThread(nullptr, 0, Broadcast, nullptr, 0, nullptr));
  DWORD waited = WaitForSingleObject(broadcaster.get(), 60000);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the broadcast is still waiting for the hung window";
  // Posted: the responsive window takes it from its queue.
  for (int i = 0; i < 100 && g_monitor_commands.load() == 0; ++i) {
    Sleep(50);
  }
  EXPECT_GE(g_monitor_commands.load(), 1);
  EXPECT_EQ(g_last_state.load(), platform::kMonitorOff);

  // On: the command, and a wake-up that leaves the pointer where it was.
  ASSERT_TRUE(SetCursorPos(100, 120));
  auto desktop = MakeWin32Desktop();
  EXPECT_NO_THROW(desktop->BroadcastMonitorPower(platform::kMonitorOn));
  for (int i = 0; i < 100 && g_last_state.load() != platform::kMonitorOn; ++i) {
    Sleep(50);
  }
  EXPECT_EQ(g_last_state.load(), platform::kMonitorOn);
  POINT where{};
  ASSERT_TRUE(GetCursorPos(&where));
  EXPECT_EQ(where.x, 100);
  EXPECT_EQ(where.y, 120);

  SetEvent(hung.release);
  WaitForSingleObject(broadcaster.get(), INFINITE);
  PostThreadMessageW(responsive_id, WM_QUIT, 0, 0);
  WaitForSingleObject(responsive_thread.get(), 10000);
  WaitForSingleObject(hung_thread.get(), 10000);
}

}  // namespace
}  // namespace zalvo::win32
